#pragma once

#include "base/thread/Mutex.h"

#include <condition_variable>
#include <cstdint>

namespace ostrel {

// A condition bound to one Mutex. The waiter holds the mutex; waiting releases it
// completely (all recursion levels) and takes it back before returning.
//
// A notify() wakes one waiter and is lost when nobody waits: a later wait()
// does not see it, so every caller re-tests its own predicate in a loop.
// Each notify() counts on its own: two notifies with two waiters wake both,
// they never merge into one wake-up. notifyAll() wakes everyone waiting at the
// time (used when a state change concerns every waiter, such as closing a queue).
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

    void checkHeld() const;

    Mutex& _mutex;
    std::condition_variable_any _variable;
    int _waiters = 0; // guarded by _mutex
    int _signals = 0; // wake-ups handed out but not yet taken; never more than _waiters
};

} // namespace ostrel
