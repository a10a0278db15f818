#include "network/client/PlayingPlaybackState.h"

#include "network/client/IPlaybackStateMachineContext.h"
#include "network/client/PlaybackStateMachine.h"
#include "network/client/StoppedPlaybackState.h"
#include "network/client/WaitingForStopPlaybackState.h"

namespace ostrel {

void PlayingPlaybackState::play(const PlaybackRequestRecord& request) {
    _machine.waitingForStopState().setRequest(request);
    _machine.transit(_machine.waitingForStopState());
    _machine.sendStop();
}

void PlayingPlaybackState::stop() {
    _machine.waitingForStopState().setStopOnly();
    _machine.transit(_machine.waitingForStopState());
    _machine.sendStop();
}

void PlayingPlaybackState::stopped(uint32_t reason) {
    _machine.stoppedState().setFromPlaying(true);
    _machine.transit(_machine.stoppedState());
    _machine.context().reportStopped(reason);
}

} // namespace ostrel
