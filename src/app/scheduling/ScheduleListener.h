#pragma once

#include "base/DateTime.h"
#include "base/thread/Mutex.h"

#include <string>
#include <vector>

namespace ostrel {

class MergedTimeTable;

// Hears what the archiving schedules do. Every report is called on the thread
// that causes it (the scheduler's action loop or a network thread), so an
// implementation must not block: the main view queues each report and returns.
//
// A listener may forward what it hears to further listeners attached to it
// (the main view forwards to the dialogs that are open): every report's
// default implementation forwards to the attached listeners in attach order,
// so an override that wants forwarding calls the base.
class ScheduleListener {
public:
    ScheduleListener() = default;
    virtual ~ScheduleListener() = default;
    ScheduleListener(const ScheduleListener&) = delete;
    ScheduleListener& operator=(const ScheduleListener&) = delete;

    virtual void attach(ScheduleListener* listener);
    virtual void detach(ScheduleListener* listener);

    virtual void scheduleConnecting(int handle);
    virtual void scheduleConnected(int handle);
    virtual void scheduleDisconnected(int handle, int reason);
    // An archiving interval is being requested.
    virtual void scheduleStarting(int handle);
    virtual void scheduleResuming(int handle);
    virtual void scheduleRetrying(int handle);
    // A new current interval was chosen and its playback is being started.
    virtual void scheduleIntervalChosen(int handle);
    virtual void scheduleStopped(int handle);
    virtual void scheduleFailed(int handle);
    // The last archived time moved to `time`.
    virtual void schedulePositionChanged(int handle, const DateTime& time);
    // Reserved; no schedule calls it.
    virtual void scheduleReserved(int handle);
    // The result of a recording-list query (queryRecordings).
    virtual void scheduleQueryListReceived(int handle, const MergedTimeTable& list);
    // A recording-list query got no answer because the connection made only
    // for it failed. Such a failure belongs to the query: the schedule is
    // neither failed nor stopped for it, and no event is posted.
    virtual void scheduleQueryFailed(int handle);
    // A schedule bounded by an end time has archived everything up to it that
    // the site holds; scheduleStopped follows. Only bounded schedules (the
    // command-line archiver) call it.
    virtual void scheduleCompleted(int handle);
    // A storage of the schedule's group took a damaged page out of use and
    // archiving goes on; `text` is the StorageDamaged event's text.
    virtual void scheduleStorageDamaged(int handle, const std::string& text);

protected:
    // The attached listeners, copied under the mutex.
    std::vector<ScheduleListener*> attached() const;

private:
    mutable Mutex _mutex;
    std::vector<ScheduleListener*> _listeners;
};

} // namespace ostrel
