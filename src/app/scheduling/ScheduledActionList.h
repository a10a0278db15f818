#pragma once

#include "base/Date.h"
#include "base/DateTime.h"
#include "base/Time.h"

#include <cstddef>
#include <cstdint>
#include <list>

namespace ostrel {

// Commands that fall due at fixed times of day. Each entry fires at most once
// a day: once it fired, the list moves past it, and the change of date re-arms
// the whole list from its first entry. An entry added after its time of day
// has passed first fires the next day. Times of day compare by hour, minute
// and second (the zone takes no part). Not locked: its Actor guards it.
class ScheduledActionList {
public:
    struct Entry {
        int32_t command;
        Time time;
    };

    ScheduledActionList() = default;
    virtual ~ScheduledActionList() = default;
    ScheduledActionList(const ScheduledActionList&) = delete;
    ScheduledActionList& operator=(const ScheduledActionList&) = delete;

    // Inserts the entry in time order (after the entries of the same time);
    // `now` decides whether it can still fire today.
    void add(int32_t command, const Time& time, const DateTime& now);
    void clear();
    // The command of the entry that fell due at `now`, or -1. One entry per call.
    int32_t poll(const DateTime& now);
    // Marks `now`'s date as armed already: entries fire from the next day on,
    // or from the next one added for a later time today.
    void reset(const DateTime& now);

    bool empty() const { return _entries.empty(); }
    std::size_t size() const { return _entries.size(); }
    const std::list<Entry>& entries() const { return _entries; }

private:
    std::list<Entry> _entries;
    // The entry that falls due next; _entries.end() for none.
    std::list<Entry>::iterator _next = _entries.end();
    Date _lastDate;
};

} // namespace ostrel
