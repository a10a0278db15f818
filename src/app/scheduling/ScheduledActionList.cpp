#include "app/scheduling/ScheduledActionList.h"

namespace ostrel {

void ScheduledActionList::add(int32_t command, const Time& time, const DateTime& now) {
    const Time today = now.time();
    if (_entries.empty()) {
        _entries.push_back(Entry{command, time});
        _next = time.greaterThan(today) ? _entries.begin() : _entries.end();
        return;
    }
    auto position = _entries.begin();
    while (position != _entries.end() && !position->time.greaterThan(time)) {
        ++position;
    }
    const auto added = _entries.insert(position, Entry{command, time});
    // An entry of the same time as the next one goes behind it and must not
    // take its place: both fire, in the order they were added.
    if (time.greaterThan(today) && (_next == _entries.end() || time.lessThan(_next->time))) {
        _next = added;
    }
}

void ScheduledActionList::clear() {
    _entries.clear();
    _next = _entries.end();
}

int32_t ScheduledActionList::poll(const DateTime& now) {
    if (!_lastDate.isSet() || _lastDate.lessThan(now.date())) {
        _lastDate = now.date();
        if (!_entries.empty()) {
            _next = _entries.begin();
        }
    }
    if (_next == _entries.end()) {
        return -1;
    }
    if (!_next->time.greaterThan(now.time())) {
        const int32_t command = _next->command;
        ++_next;
        return command;
    }
    return -1;
}

void ScheduledActionList::reset(const DateTime& now) {
    _lastDate = now.date();
    // Entries already in the list fire from now on only when their time is
    // still ahead today (the system resets an empty list only).
    _next = _entries.begin();
    while (_next != _entries.end() && !_next->time.greaterThan(now.time())) {
        ++_next;
    }
}

} // namespace ostrel
