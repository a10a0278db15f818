#pragma once

#include "app/scheduling/Actor.h"
#include "app/scheduling/ExponentialDelay.h"
#include "app/ui/Message.h"

#include <functional>

namespace ostrel {

// The document's actor for one active site: starts and stops its archiving at
// the site's daily times and restarts it after a failure. It only posts
// messages to the controller thread; every effect happens there.
class ScheduledArchive : public Actor {
public:
    static constexpr int DailyStart = 0;
    static constexpr int DailyStop = 1;
    static constexpr int Restart = 2;
    static constexpr int RestartInitialSeconds = 3;
    static constexpr int RestartFactor = 2;
    static constexpr int RestartMaximumSeconds = 300;

    using Post = std::function<void(const Message&)>;

    ScheduledArchive(int handle, Post post, const Clock& clock = Clock::system());

    int handle() const { return _handle; }
    // Guarded by the document's restart mutex.
    ExponentialDelay& restartDelay() { return _restartDelay; }
    bool restartAfterStop() const { return _restartAfterStop; }
    void setRestartAfterStop(bool flag) { _restartAfterStop = flag; }

protected:
    void idle() override {}
    void perform(int32_t command) override;

private:
    const int _handle;
    Post _post;
    ExponentialDelay _restartDelay;
    bool _restartAfterStop = false;
};

// The document's actor for "Start All Schedules" (0) and "Stop All Schedules" (1).
class GlobalCommand : public Actor {
public:
    static constexpr int StartAll = 0;
    static constexpr int StopAll = 1;

    // `perform` runs on the document's loop and only hands the command on.
    GlobalCommand(std::function<void(int command)> perform, const Clock& clock = Clock::system());

protected:
    void idle() override {}
    void perform(int32_t command) override;

private:
    std::function<void(int)> _perform;
};

} // namespace ostrel
