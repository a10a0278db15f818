#pragma once

#include "base/thread/Condition.h"
#include "base/thread/Mutex.h"

#include <cstdint>

namespace ostrel {

class Storage;

// Commits a storage's group of filled pages when its time is up and no write
// comes to do it, so that a frame is durable at most the group's wait after
// its page filled even when the recording pauses. It asks the storage
// (commitDuePages) without waiting for the storage's write lock: while a
// writer holds it, that writer checks the time itself.
//
// The timers of all storages share one thread ("GroupCommit"), started when
// a timer is armed and ending once no timer waits, so a process archiving
// many sites has one such thread, not one per storage. It serves the timer
// that is due first; a commit it makes for one storage delays the others'
// by that commit's time, which the group's wait easily absorbs.
class GroupCommitTimer {
public:
    explicit GroupCommitTimer(Storage& storage);
    ~GroupCommitTimer();
    GroupCommitTimer(const GroupCommitTimer&) = delete;
    GroupCommitTimer& operator=(const GroupCommitTimer&) = delete;

    // Pages wait: the storage is looked at as soon as the shared thread can,
    // and again when commitDuePages says.
    void arm();
    // Takes the timer off the thread and waits until no look at the storage
    // is in progress; a later arm() puts it on again.
    void stop();
    // Armed, or being served.
    bool isRunning() const;

private:
    friend class GroupCommitTimerThread;

    Storage& _storage;
};

} // namespace ostrel
