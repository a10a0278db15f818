#include "network/client/StoppedPlaybackState.h"

#include "network/client/IPlaybackStateMachineContext.h"
#include "network/client/PlaybackStateMachine.h"
#include "network/client/WaitingForReplyPlaybackState.h"

namespace ostrel {

void StoppedPlaybackState::play(const PlaybackRequestRecord& request) {
    _machine.waitingForReplyState().setRequest(request);
    _machine.transit(_machine.waitingForReplyState());
    if (_fromPlaying) {
        _machine.sendStop();
    }
    _machine.context().sendPlay(request);
    _machine.context().announce(request);
}

void StoppedPlaybackState::stop() {
    _machine.sendStop();
    _machine.context().reportStopped(StopRequestedReason);
}

} // namespace ostrel
