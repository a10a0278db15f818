#include "app/scheduling/Actor.h"

namespace ostrel {

Actor::Actor(const Clock& clock) : _clock(clock) {}

void Actor::requestAt(int32_t command, const DateTime& when) {
    Mutex::ScopedLock lock(_mutex);
    _pending = command;
    _due = when;
}

void Actor::requestNow(int32_t command) { requestAt(command, _clock.now()); }

void Actor::cancel() {
    Mutex::ScopedLock lock(_mutex);
    _pending = NoCommand;
}

void Actor::addDaily(int32_t command, const Time& time) {
    Mutex::ScopedLock lock(_mutex);
    _daily.add(command, time, _clock.now());
}

void Actor::clearDaily() {
    Mutex::ScopedLock lock(_mutex);
    _daily.clear();
}

void Actor::reset() {
    Mutex::ScopedLock lock(_mutex);
    const DateTime now = _clock.now();
    _pending = NoCommand;
    _due = now;
    _daily.reset(now);
}

void Actor::step() {
    int32_t command = NoCommand;
    {
        Mutex::ScopedLock lock(_mutex);
        const DateTime now = _clock.now();
        const int32_t daily = _daily.poll(now);
        if (daily != NoCommand) {
            _pending = daily;
            _due = now;
        }
        // Taken and cleared in one hold of the lock: a command requested
        // between the look and the clearing would otherwise be wiped.
        if (_pending != NoCommand && !_due.greaterThan(now)) {
            command = _pending;
            _pending = NoCommand;
        }
    }
    if (command == NoCommand) {
        idle();
    } else {
        perform(command);
    }
}

int32_t Actor::pendingCommand() const {
    Mutex::ScopedLock lock(_mutex);
    return _pending;
}

DateTime Actor::dueTime() const {
    Mutex::ScopedLock lock(_mutex);
    return _due;
}

} // namespace ostrel
