#include "network/client/InitialPlaybackState.h"

#include "network/client/IPlaybackStateMachineContext.h"
#include "network/client/PlaybackStateMachine.h"
#include "network/client/WaitingForReplyPlaybackState.h"

namespace ostrel {

void InitialPlaybackState::play(const PlaybackRequestRecord& request) {
    _machine.waitingForReplyState().setRequest(request);
    _machine.transit(_machine.waitingForReplyState());
    _machine.context().sendPlay(request);
    _machine.context().announce(request);
}

} // namespace ostrel
