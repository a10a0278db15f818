#pragma once

#include "base/thread/Mutex.h"

#include <condition_variable>
#include <cstdint>

namespace ostrel {

// A condition bound to one Mutex. The waiter holds the mutex; waiting releases it
// completely (all recursion levels) and takes it back before returning.
//
// A notify() wakes the longest-waiting thread and is lost when nobody waits: a
// later wait() does not see it, so every caller re-tests its own predicate in a
// loop. Each notify() is handed to one particular waiter: two notifies with two
// waiters wake both, and a woken thread that waits again cannot take a wake-up
// meant for another. notifyAll() wakes everyone waiting at the time (used when a
// state change concerns every waiter, such as closing a queue).
class Condition {
public:
    explicit Condition(Mutex& mutex) : _mutex(mutex) {}
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    // Waits until notified. The calling thread must hold the bound mutex
    // (SystemException EPERM otherwise).
    void wait();
    // Waits at most the given time; true when notified, false when the time ran out.
    bool wait(std::uint32_t milliseconds);
    // Wakes one waiter, if any. Takes the bound mutex itself (it is recursive, so
    // callers may or may not hold it).
    void notify();
    void notifyAll();

    Mutex& mutex() const { return _mutex; }

private:
    // Releases every recursion level of the bound mutex while blocked.
    class FullRelease {
    public:
        explicit FullRelease(Mutex& mutex) : _mutex(mutex) {}
        void unlock() { _depth = _mutex.releaseAll(); }
        void lock() { _mutex.reacquire(_depth); }

    private:
        Mutex& _mutex;
        int _depth = 0;
    };

    // One waiting thread, on its own stack, linked in arrival order.
    struct Waiter {
        Waiter* previous = nullptr;
        Waiter* next = nullptr;
        bool signalled = false;
    };

    void checkHeld() const;
    void append(Waiter& waiter);
    void remove(Waiter& waiter);

    Mutex& _mutex;
    std::condition_variable_any _variable;
    // The threads waiting and not yet notified, oldest first; guarded by _mutex.
    Waiter* _first = nullptr;
    Waiter* _last = nullptr;
};

} // namespace ostrel
