#include "network/client/WaitingForReplyPlaybackState.h"

#include "network/client/IPlaybackStateMachineContext.h"
#include "network/client/PlayingPlaybackState.h"
#include "network/client/PlaybackStateMachine.h"
#include "network/client/StoppedPlaybackState.h"
#include "network/client/WaitingForStopPlaybackState.h"

namespace ostrel {

void WaitingForReplyPlaybackState::play(const PlaybackRequestRecord& request) {
    _machine.waitingForStopState().setRequest(request);
    _machine.transit(_machine.waitingForStopState());
    _machine.sendStop();
}

void WaitingForReplyPlaybackState::stop() {
    _machine.waitingForStopState().setStopOnly();
    _machine.transit(_machine.waitingForStopState());
    _machine.sendStop();
}

void WaitingForReplyPlaybackState::stopped(uint32_t reason) {
    _machine.stoppedState().setFromPlaying(false);
    _machine.transit(_machine.stoppedState());
    _machine.context().reportStopped(reason);
}

PlaybackState::FrameAction WaitingForReplyPlaybackState::frame() {
    _machine.playingState().setRequest(_request);
    _machine.transit(_machine.playingState());
    return FrameAction::StartAndDeliver;
}

} // namespace ostrel
