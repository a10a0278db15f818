#include "app/support/ScheduleTestSupport.h"

#include "support/TestThreads.h"

#include <algorithm>

namespace ostrel::testing {

void ScheduleRecorder::add(int handle, const std::string& name) {
    std::lock_guard lock(_mutex);
    _reports.emplace_back(handle, name);
}

void ScheduleRecorder::schedulePositionChanged(int handle, const DateTime& time) {
    std::lock_guard lock(_mutex);
    for (auto& [h, t] : _positions) {
        if (h == handle) {
            t = time;
            return;
        }
    }
    _positions.emplace_back(handle, time);
}

void ScheduleRecorder::scheduleQueryListReceived(int handle, const MergedTimeTable& list) {
    add(handle, "query");
    std::lock_guard lock(_mutex);
    _queries.emplace_back(handle, list.intervals());
}

std::vector<std::string> ScheduleRecorder::reports(int handle) const {
    std::lock_guard lock(_mutex);
    std::vector<std::string> out;
    for (const auto& [h, name] : _reports) {
        if (h == handle) {
            out.push_back(name);
        }
    }
    return out;
}

int ScheduleRecorder::count(int handle, const std::string& name) const {
    std::lock_guard lock(_mutex);
    return static_cast<int>(std::count(_reports.begin(), _reports.end(), std::make_pair(handle, name)));
}

bool ScheduleRecorder::waitFor(int handle, const std::string& name, int times, std::chrono::seconds patience) const {
    return eventually([&] { return count(handle, name) >= times; }, patience);
}

DateTime ScheduleRecorder::lastPosition(int handle) const {
    std::lock_guard lock(_mutex);
    for (const auto& [h, t] : _positions) {
        if (h == handle) {
            return t;
        }
    }
    return DateTime();
}

std::vector<Interval> ScheduleRecorder::lastQuery(int handle) const {
    std::lock_guard lock(_mutex);
    for (auto it = _queries.rbegin(); it != _queries.rend(); ++it) {
        if (it->first == handle) {
            return it->second;
        }
    }
    return {};
}

void ScheduleRecorder::clear() {
    std::lock_guard lock(_mutex);
    _reports.clear();
}

void EventRecorder::onEvent(const ArchivingEvent& event) {
    std::lock_guard lock(_mutex);
    _events.push_back(event);
}

std::vector<ArchivingEvent> EventRecorder::events() const {
    std::lock_guard lock(_mutex);
    return _events;
}

} // namespace ostrel::testing
