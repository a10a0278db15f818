#include "base/thread/Mutex.h"

#include "base/Exception.h"

#include <cerrno>

namespace ostrel {

void Mutex::lock() {
    _mutex.lock();
    if (_depth++ == 0) {
        _owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
}

bool Mutex::tryLock() {
    if (!_mutex.try_lock()) {
        return false;
    }
    if (_depth++ == 0) {
        _owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    return true;
}

void Mutex::unlock() {
    if (!isHeldByCurrentThread()) {
        // Unlocking a mutex one does not own would corrupt it for its real owner.
        throw SystemException(EPERM, "unlock of a mutex the calling thread does not hold");
    }
    if (--_depth == 0) {
        _owner.store(std::thread::id(), std::memory_order_relaxed);
    }
    _mutex.unlock();
}

bool Mutex::isHeldByCurrentThread() const {
    return _owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

int Mutex::releaseAll() {
    const int depth = _depth;
    _depth = 0;
    _owner.store(std::thread::id(), std::memory_order_relaxed);
    for (int i = 0; i < depth; ++i) {
        _mutex.unlock();
    }
    return depth;
}

void Mutex::reacquire(int depth) {
    for (int i = 0; i < depth; ++i) {
        _mutex.lock();
    }
    _depth = depth;
    _owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

} // namespace ostrel
