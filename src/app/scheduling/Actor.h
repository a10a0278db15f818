#pragma once

#include "app/scheduling/ScheduledActionList.h"
#include "base/Clock.h"
#include "base/DateTime.h"
#include "base/Time.h"
#include "base/thread/Mutex.h"

#include <cstdint>

namespace ostrel {

// Something an ActionLoop drives: it holds one pending command with a due
// time (a newer request replaces an older one) and a list of daily commands.
// At each step of the loop it either performs the command that fell due or
// does its idle work. Commands are plain integers whose meaning belongs to
// the actor. Time is read through the clock given at construction.
//
// The actor's mutex guards the pending command, its due time and the daily
// list; idle() and perform() run outside it, so they may request commands
// (which stay pending for a later step).
class Actor {
public:
    static constexpr int32_t NoCommand = -1;

    explicit Actor(const Clock& clock = Clock::system());
    virtual ~Actor() = default;
    Actor(const Actor&) = delete;
    Actor& operator=(const Actor&) = delete;

    void requestAt(int32_t command, const DateTime& when);
    void requestNow(int32_t command);
    void cancel();
    void addDaily(int32_t command, const Time& time);
    void clearDaily();
    // No pending command; the daily list starts counting from today.
    virtual void reset();

    // One step, called by the action loop: a daily command that fell due
    // replaces the pending one; a pending command that is due is taken (and
    // cleared in the same hold of the lock, so a request made meanwhile is
    // never lost) and performed; otherwise idle().
    void step();

    // The pending command (NoCommand for none) and its due time.
    int32_t pendingCommand() const;
    DateTime dueTime() const;
    const Clock& clock() const { return _clock; }

protected:
    virtual void idle() = 0;
    virtual void perform(int32_t command) = 0;

private:
    const Clock& _clock;
    ScheduledActionList _daily;
    int32_t _pending = NoCommand;
    DateTime _due;
    mutable Mutex _mutex;
};

} // namespace ostrel
