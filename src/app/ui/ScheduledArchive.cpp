#include "app/ui/ScheduledArchive.h"

namespace ostrel {

ScheduledArchive::ScheduledArchive(int handle, Post post, const Clock& clock)
    : Actor(clock), _handle(handle), _post(std::move(post)) {
    _restartDelay.init(RestartInitialSeconds, RestartFactor, RestartMaximumSeconds);
    reset();
}

void ScheduledArchive::perform(int32_t command) {
    switch (command) {
    case DailyStart:
        _post(Message{Msg::StartArchiving, _handle, 1});
        break;
    case DailyStop:
        _post(Message{Msg::StopArchiving, _handle, 0});
        break;
    case Restart:
        _post(Message{Msg::StartArchiving, _handle, 0});
        break;
    default:
        break;
    }
}

GlobalCommand::GlobalCommand(std::function<void(int)> perform, const Clock& clock)
    : Actor(clock), _perform(std::move(perform)) {
    reset();
}

void GlobalCommand::perform(int32_t command) {
    if (_perform && (command == StartAll || command == StopAll)) {
        _perform(command);
    }
}

} // namespace ostrel
