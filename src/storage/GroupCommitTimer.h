#pragma once

#include "base/thread/Condition.h"
#include "base/thread/Mutex.h"
#include "base/thread/Thread.h"

namespace ostrel {

class Storage;

// The thread that commits a storage's group of filled pages when its time is
// up and no write comes to do it, so that a frame is durable at most the
// group's wait after its page filled even when the recording pauses. It asks
// the storage (commitDuePages) without waiting for the storage's write lock:
// while a writer holds it, that writer checks the time itself.
//
// Started on the first arm(), stopped (and joined) by stop(), which the
// storage calls at close.
class GroupCommitTimer : private Thread {
public:
    explicit GroupCommitTimer(Storage& storage);
    ~GroupCommitTimer() override;
    GroupCommitTimer(const GroupCommitTimer&) = delete;
    GroupCommitTimer& operator=(const GroupCommitTimer&) = delete;

    // Pages wait: (re)computes when to look again, starting the thread when
    // it does not run.
    void arm();
    // Ends the thread and waits for it; a later arm() starts it again.
    void stop();
    bool isRunning() const { return Thread::isRunning(); }

private:
    void run() override;

    Storage& _storage;
    Mutex _mutex;
    Condition _condition{_mutex};
    bool _armed = false;
    bool _stopping = false;
};

} // namespace ostrel
