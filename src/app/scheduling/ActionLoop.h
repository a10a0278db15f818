#pragma once

#include "base/thread/Condition.h"
#include "base/thread/LoopingThread.h"
#include "base/thread/Mutex.h"

#include <cstdint>
#include <vector>

namespace ostrel {

class Actor;

// A thread that, ten times a second, gives every registered actor one step in
// registration order. The list lock is held for a whole pass, so add() and
// remove() from another thread wait for the end of the current pass: once
// remove() returned, the actor is not stepped any more and its owner may
// destroy it. Actors are not owned. Actors must not add or remove actors of
// their own loop from inside a step.
class ActionLoop : public LoopingThread {
public:
    static constexpr uint32_t PassMilliseconds = 100;

    explicit ActionLoop(uint32_t passMilliseconds = PassMilliseconds);
    ~ActionLoop() override;

    void add(Actor& actor);
    // Removes every occurrence; waits for a pass in progress to end.
    void remove(Actor& actor);
    bool contains(const Actor& actor) const;
    // Starts the thread and returns once it has reset every actor, so a
    // command requested after start() returns is never wiped by that reset.
    void start() override;
    // Stops the thread, waits for it and forgets every actor. Not from the
    // loop's own thread.
    void stop() override;

protected:
    // Resets every actor.
    void onStart() override;
    // Steps every actor, then waits one pass (a stop ends the wait at once).
    void step() override;

private:
    const uint32_t _passMilliseconds;
    mutable Mutex _listMutex;
    std::vector<Actor*> _actors;
    Mutex _waitMutex;
    Condition _wake{_waitMutex};
    bool _reset = false; // guarded by _waitMutex
    Condition _resetDone{_waitMutex};
};

} // namespace ostrel
