#pragma once

// What the schedule tests share: a listener that keeps every report, and a
// listener of archiving events.

#include "app/scheduling/ArchivingEvent.h"
#include "app/scheduling/EventListener.h"
#include "app/scheduling/MergedTimeTable.h"
#include "app/scheduling/ScheduleListener.h"
#include "base/DateTime.h"

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel::testing {

// Every schedule report, in order, as "<handle>:<name>" ("0:stopped",
// "3:disconnected 301"); position reports only keep the last time.
class ScheduleRecorder : public ScheduleListener {
public:
    void scheduleConnecting(int handle) override { add(handle, "connecting"); }
    void scheduleConnected(int handle) override { add(handle, "connected"); }
    void scheduleDisconnected(int handle, int reason) override {
        add(handle, "disconnected " + std::to_string(reason));
    }
    void scheduleStarting(int handle) override { add(handle, "starting"); }
    void scheduleResuming(int handle) override { add(handle, "resuming"); }
    void scheduleRetrying(int handle) override { add(handle, "retrying"); }
    void scheduleIntervalChosen(int handle) override { add(handle, "interval"); }
    void scheduleStopped(int handle) override { add(handle, "stopped"); }
    void scheduleFailed(int handle) override { add(handle, "failed"); }
    void schedulePositionChanged(int handle, const DateTime& time) override;
    void scheduleQueryListReceived(int handle, const MergedTimeTable& list) override;
    void scheduleQueryFailed(int handle) override { add(handle, "query failed"); }
    void scheduleCompleted(int handle) override { add(handle, "completed"); }

    // The reports of one schedule, without the handle.
    std::vector<std::string> reports(int handle) const;
    int count(int handle, const std::string& name) const;
    // Waits (bounded) until the schedule reported `name` at least `times` times.
    bool waitFor(int handle, const std::string& name, int times = 1,
                 std::chrono::seconds patience = std::chrono::seconds(60)) const;
    DateTime lastPosition(int handle) const;
    std::vector<Interval> lastQuery(int handle) const;
    void clear();

private:
    void add(int handle, const std::string& name);

    mutable std::mutex _mutex;
    std::vector<std::pair<int, std::string>> _reports;
    std::vector<std::pair<int, DateTime>> _positions;
    std::vector<std::pair<int, std::vector<Interval>>> _queries;
};

class EventRecorder : public EventListener {
public:
    void onEvent(const ArchivingEvent& event) override;
    std::vector<ArchivingEvent> events() const;

private:
    mutable std::mutex _mutex;
    std::vector<ArchivingEvent> _events;
};

} // namespace ostrel::testing
