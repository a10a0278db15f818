#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace ostrel {

class Condition;

// A recursive mutex: the owning thread may lock it again and must unlock it as
// often. It counts its own depth so that a Condition can release it completely
// while waiting (and restore the depth afterwards), even when the waiter holds
// it more than once.
class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Waits without limit.
    void lock();
    bool tryLock();
    // Throws SystemException(EPERM) when the calling thread does not hold the mutex.
    void unlock();
    bool isHeldByCurrentThread() const;

    // Locks on construction, unlocks on destruction.
    class ScopedLock {
    public:
        explicit ScopedLock(Mutex& mutex) : _mutex(mutex) { _mutex.lock(); }
        ~ScopedLock() { _mutex.unlock(); }
        ScopedLock(const ScopedLock&) = delete;
        ScopedLock& operator=(const ScopedLock&) = delete;

    private:
        Mutex& _mutex;
    };

private:
    friend class Condition;

    // Releases every level the calling thread holds and returns how many there were.
    int releaseAll();
    // Takes the mutex again with the depth releaseAll() returned.
    void reacquire(int depth);

    std::recursive_mutex _mutex;
    std::atomic<std::thread::id> _owner{};
    int _depth = 0; // touched only by the owner
};

} // namespace ostrel
