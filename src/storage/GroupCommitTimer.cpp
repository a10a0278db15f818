#include "storage/GroupCommitTimer.h"

#include "storage/Storage.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <pthread.h>
#include <thread>

namespace ostrel {

// The one thread that serves every armed GroupCommitTimer of the process.
class GroupCommitTimerThread {
public:
    // Never destroyed: storages that other process-wide objects close while
    // the process ends still stop their timers here. The thread itself ends
    // whenever no timer is armed, so none is left once every storage closed.
    static GroupCommitTimerThread& instance() {
        static GroupCommitTimerThread* const thread = std::make_unique<GroupCommitTimerThread>().release();
        return *thread;
    }

    void arm(GroupCommitTimer& timer) {
        Mutex::ScopedLock lock(_mutex);
        Entry& entry = _timers[&timer];
        entry.due = now();
        entry.armedAgain = true;
        if (!_active) {
            // A thread that ran out of timers has left its loop; only its
            // return is left, so joining it here cannot wait for this lock.
            if (_thread.joinable()) {
                _thread.join();
            }
            _active = true;
            _thread = std::thread([this] { run(); });
        }
        _changed.notifyAll();
    }

    void remove(GroupCommitTimer& timer) {
        Mutex::ScopedLock lock(_mutex);
        _timers.erase(&timer);
        while (_serving == &timer) {
            _changed.wait();
        }
    }

    bool isArmed(const GroupCommitTimer& timer) const {
        Mutex::ScopedLock lock(_mutex);
        return _serving == &timer || _timers.count(const_cast<GroupCommitTimer*>(&timer)) > 0;
    }

private:
    struct Entry {
        std::int64_t due = 0;
        // Armed since the thread last took it up: look again at once.
        bool armedAgain = false;
    };

    static std::int64_t now() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    void run() {
        ::pthread_setname_np(::pthread_self(), "GroupCommit");
        Mutex::ScopedLock lock(_mutex);
        while (!_timers.empty()) {
            const auto first = std::min_element(_timers.begin(), _timers.end(), [](const auto& a, const auto& b) {
                return a.second.due < b.second.due;
            });
            const std::int64_t wait = first->second.due - now();
            if (wait > 0) {
                _changed.wait(static_cast<std::uint32_t>(wait));
                continue;
            }
            GroupCommitTimer* timer = first->first;
            first->second.armedAgain = false;
            _serving = timer;
            _mutex.unlock();
            int next = -1;
            try {
                next = timer->_storage.commitDuePages(false);
            } catch (...) {
                // commitDuePages keeps a failure for the writer; nothing else may end the thread.
                next = -1;
            }
            _mutex.lock();
            _serving = nullptr;
            const auto entry = _timers.find(timer);
            if (entry != _timers.end() && !entry->second.armedAgain) {
                if (next >= 0) {
                    // Not due yet, or the writer holds the storage: look again then.
                    entry->second.due = now() + std::max(next, 1);
                } else {
                    _timers.erase(entry);
                }
            }
            _changed.notifyAll();
        }
        _active = false;
    }

    mutable Mutex _mutex;
    Condition _changed{_mutex};
    std::map<GroupCommitTimer*, Entry> _timers;
    GroupCommitTimer* _serving = nullptr;
    bool _active = false;
    std::thread _thread;
};

GroupCommitTimer::GroupCommitTimer(Storage& storage) : _storage(storage) {}

GroupCommitTimer::~GroupCommitTimer() { stop(); }

void GroupCommitTimer::arm() { GroupCommitTimerThread::instance().arm(*this); }

void GroupCommitTimer::stop() { GroupCommitTimerThread::instance().remove(*this); }

bool GroupCommitTimer::isRunning() const { return GroupCommitTimerThread::instance().isArmed(*this); }

} // namespace ostrel
