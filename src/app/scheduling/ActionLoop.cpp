#include "app/scheduling/ActionLoop.h"

#include "app/scheduling/Actor.h"
#include "base/Exception.h"
#include "base/Trace.h"

#include <algorithm>

namespace ostrel {

ActionLoop::ActionLoop(uint32_t passMilliseconds) : _passMilliseconds(passMilliseconds) {}

ActionLoop::~ActionLoop() { ActionLoop::stop(); }

void ActionLoop::add(Actor& actor) {
    Mutex::ScopedLock lock(_listMutex);
    _actors.push_back(&actor);
}

void ActionLoop::remove(Actor& actor) {
    Mutex::ScopedLock lock(_listMutex);
    _actors.erase(std::remove(_actors.begin(), _actors.end(), &actor), _actors.end());
}

bool ActionLoop::contains(const Actor& actor) const {
    Mutex::ScopedLock lock(_listMutex);
    return std::find(_actors.begin(), _actors.end(), &actor) != _actors.end();
}

void ActionLoop::start() {
    {
        Mutex::ScopedLock lock(_waitMutex);
        _reset = false;
    }
    LoopingThread::start();
    Mutex::ScopedLock lock(_waitMutex);
    while (!_reset && isRunning()) {
        _resetDone.wait(10);
    }
}

void ActionLoop::stop() {
    LoopingThread::stop();
    _wake.notifyAll();
    join();
    Mutex::ScopedLock lock(_listMutex);
    _actors.clear();
}

void ActionLoop::onStart() {
    {
        Mutex::ScopedLock lock(_listMutex);
        for (Actor* actor : _actors) {
            actor->reset();
        }
    }
    Mutex::ScopedLock lock(_waitMutex);
    _reset = true;
    _resetDone.notifyAll();
}

void ActionLoop::step() {
    {
        Mutex::ScopedLock lock(_listMutex);
        // By index: a step that (against the rules) removes an actor must not
        // leave the walk on a dangling iterator.
        for (std::size_t i = 0; i < _actors.size(); ++i) {
            try {
                _actors[i]->step();
            } catch (const Exception& e) {
                // One actor's failure must not end the loop every other actor runs on.
                traceException(e);
            }
        }
    }
    Mutex::ScopedLock lock(_waitMutex);
    if (!isStopRequested()) {
        _wake.wait(_passMilliseconds);
    }
}

} // namespace ostrel
