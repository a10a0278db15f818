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

void Condition::append(Waiter& waiter) {
    waiter.previous = _last;
    waiter.next = nullptr;
    if (_last != nullptr) {
        _last->next = &waiter;
    } else {
        _first = &waiter;
    }
    _last = &waiter;
}

void Condition::remove(Waiter& waiter) {
    if (waiter.previous != nullptr) {
        waiter.previous->next = waiter.next;
    } else {
        _first = waiter.next;
    }
    if (waiter.next != nullptr) {
        waiter.next->previous = waiter.previous;
    } else {
        _last = waiter.previous;
    }
    waiter.previous = waiter.next = nullptr;
}

void Condition::wait() {
    checkHeld();
    Waiter self;
    append(self);
    FullRelease release(_mutex);
    // The notifier unlinks the waiter it signals.
    _variable.wait(release, [&self] { return self.signalled; });
}

bool Condition::wait(std::uint32_t milliseconds) {
    checkHeld();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    Waiter self;
    append(self);
    FullRelease release(_mutex);
    // A wake-up that arrives together with the deadline still counts, so that a
    // notify() handed to this waiter is never silently dropped.
    const bool signalled = _variable.wait_until(release, deadline, [&self] { return self.signalled; });
    if (!signalled) {
        remove(self);
    }
    return signalled;
}

void Condition::notify() {
    Mutex::ScopedLock lock(_mutex);
    if (_first == nullptr) {
        return; // nobody waits: the notify is lost
    }
    Waiter& oldest = *_first;
    remove(oldest);
    oldest.signalled = true;
    // Every blocked thread re-tests its own flag; only the one chosen proceeds.
    _variable.notify_all();
}

void Condition::notifyAll() {
    Mutex::ScopedLock lock(_mutex);
    if (_first == nullptr) {
        return;
    }
    while (_first != nullptr) {
        Waiter& waiter = *_first;
        remove(waiter);
        waiter.signalled = true;
    }
    _variable.notify_all();
}

} // namespace ostrel
