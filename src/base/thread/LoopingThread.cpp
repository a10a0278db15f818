#include "base/thread/LoopingThread.h"

#include "base/Trace.h"

namespace ostrel {

LoopingThread::LoopingThread(const char* name) : Thread(name) {}

LoopingThread::~LoopingThread() {
    LoopingThread::stop();
    join();
}

void LoopingThread::start() {
    _stopRequested.store(false, std::memory_order_release);
    Thread::start();
}

void LoopingThread::run() {
    {
        Mutex::ScopedLock lock(_mutex);
        _state = State::Running;
    }
    onStart();
    while (!isStopRequested()) {
        {
            Mutex::ScopedLock lock(_mutex);
            if (_state == State::Suspended) {
                trace("%s: Thread suspended.\n", name());
                // resume() sets the state back under the mutex; waiting until it has
                // keeps a stray wake-up from running a step while still suspended.
                while (_state == State::Suspended) {
                    _condition.wait();
                }
                trace("%s: Thread resumed.\n", name());
            }
            // Checked under the mutex as well, so that a stop() that raced with the
            // loop test still ends the loop before the next step.
            if (isStopRequested()) {
                break;
            }
        }
        step();
    }
    onStop();
    Mutex::ScopedLock lock(_mutex);
    _state = State::NotRunning;
}

void LoopingThread::stop() {
    _stopRequested.store(true, std::memory_order_release);
    resume();
}

void LoopingThread::suspend() {
    Mutex::ScopedLock lock(_mutex);
    if (!isStopRequested() && _state == State::Running) {
        _state = State::Suspended;
    }
}

void LoopingThread::resume() {
    Mutex::ScopedLock lock(_mutex);
    if (_state == State::Suspended) {
        _state = State::Running;
        _condition.notify();
    }
}

LoopingThread::State LoopingThread::state() const {
    Mutex::ScopedLock lock(_mutex);
    return _state;
}

} // namespace ostrel
