#include "storage/GroupCommitTimer.h"

#include "storage/Storage.h"

#include <algorithm>

namespace ostrel {

GroupCommitTimer::GroupCommitTimer(Storage& storage) : Thread("GroupCommit"), _storage(storage) {}

GroupCommitTimer::~GroupCommitTimer() { stop(); }

void GroupCommitTimer::arm() {
    Mutex::ScopedLock lock(_mutex);
    if (_stopping) {
        return;
    }
    _armed = true;
    if (!Thread::isRunning()) {
        start();
    }
    _condition.notify();
}

void GroupCommitTimer::stop() {
    {
        Mutex::ScopedLock lock(_mutex);
        _stopping = true;
        _condition.notifyAll();
    }
    join();
    Mutex::ScopedLock lock(_mutex);
    _stopping = false;
    _armed = false;
}

void GroupCommitTimer::run() {
    Mutex::ScopedLock lock(_mutex);
    while (!_stopping) {
        if (!_armed) {
            _condition.wait();
            continue;
        }
        _armed = false;
        _mutex.unlock();
        int next = -1;
        try {
            next = _storage.commitDuePages(false);
        } catch (...) {
            // commitDuePages keeps a failure for the writer; nothing else may end the thread.
            next = -1;
        }
        _mutex.lock();
        if (next >= 0 && !_stopping && !_armed) {
            // Not due yet, or the writer holds the storage: look again then
            // (an arm() in between wakes the thread earlier).
            _armed = true;
            _condition.wait(static_cast<std::uint32_t>(std::max(next, 1)));
        }
    }
}

} // namespace ostrel
