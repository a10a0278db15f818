#pragma once

#include "base/thread/Condition.h"
#include "base/thread/Mutex.h"
#include "base/thread/Thread.h"

#include <atomic>

namespace ostrel {

// A thread that calls step() again and again until stop() is requested, and that
// can be parked (suspend) and woken (resume) between steps.
//
// Its mutex guards only the state and the condition: step() runs without it, so a
// step may call stop() or suspend() on its own thread.
//
// The destructor stops and joins the loop, which keeps this class's own members
// alive while it runs. A derived class whose step() uses its own members must stop
// and join in its own destructor, since those members are gone by the time this
// destructor runs (and an overridden stop() is no longer reachable).
class LoopingThread : public Thread {
public:
    enum class State : int { NotRunning = 0, Running = 1, Suspended = 2 };

    explicit LoopingThread(const char* name = nullptr);
    ~LoopingThread() override;

    // Clears the stop request, then starts the thread.
    void start() override;
    // Requests the loop to end before its next step and wakes a suspended loop.
    // Does not wait: callers that must wait call join() afterwards.
    virtual void stop();
    // Parks the loop before its next step; no effect unless it is running and no
    // stop was requested.
    void suspend();
    // Wakes a suspended loop; no effect otherwise.
    void resume();

    State state() const;
    bool isStopRequested() const { return _stopRequested.load(std::memory_order_acquire); }

    void run() override;

protected:
    // Called on the thread before the first step, after the last one, and once per
    // pass of the loop. They do nothing unless overridden.
    virtual void onStart() {}
    virtual void step() {}
    virtual void onStop() {}

private:
    std::atomic<bool> _stopRequested{false};
    State _state = State::NotRunning; // guarded by _mutex
    mutable Mutex _mutex;
    Condition _condition{_mutex};
};

} // namespace ostrel
