#include "network/client/WaitingForStopPlaybackState.h"

#include "network/client/IPlaybackStateMachineContext.h"
#include "network/client/PlaybackStateMachine.h"
#include "network/client/StoppedPlaybackState.h"
#include "network/client/WaitingForReplyPlaybackState.h"

namespace ostrel {

void WaitingForStopPlaybackState::stopped(uint32_t reason) {
    if (_stopOnly) {
        _machine.stoppedState().setFromPlaying(false);
        _machine.transit(_machine.stoppedState());
        _machine.context().reportStopped(reason);
        return;
    }
    // The old playback is over: the stored request goes out, unreported.
    const PlaybackRequestRecord request = _request;
    _machine.waitingForReplyState().setRequest(request);
    _machine.transit(_machine.waitingForReplyState());
    _machine.context().sendPlay(request);
    _machine.context().announce(request);
}

} // namespace ostrel
