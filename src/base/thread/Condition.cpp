#include "base/thread/Condition.h"

#include "base/Exception.h"

#include <cerrno>
#include <chrono>

namespace ostrel {

void Condition::checkHeld() const {
    if (!_mutex.isHeldByCurrentThread()) {
        throw SystemException(EPERM, "wait on a condition without holding its mutex");
    }
}

void Condition::wait() {
    checkHeld();
    ++_waiters;
    FullRelease release(_mutex);
    _variable.wait(release, [this] { return _signals > 0; });
    --_signals;
    --_waiters;
}

bool Condition::wait(std::uint32_t milliseconds) {
    checkHeld();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    ++_waiters;
    FullRelease release(_mutex);
    // A wake-up that arrives together with the deadline is still taken, so that
    // a notify() handed to this waiter is never silently dropped.
    const bool signalled = _variable.wait_until(release, deadline, [this] { return _signals > 0; });
    if (signalled) {
        --_signals;
    }
    --_waiters;
    return signalled;
}

void Condition::notify() {
    Mutex::ScopedLock lock(_mutex);
    if (_signals < _waiters) {
        ++_signals;
        _variable.notify_one();
    }
}

void Condition::notifyAll() {
    Mutex::ScopedLock lock(_mutex);
    if (_signals < _waiters) {
        _signals = _waiters;
        _variable.notify_all();
    }
}

} // namespace ostrel
