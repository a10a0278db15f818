#include "network/client/PlaybackState.h"

#include "network/client/IPlaybackStateMachineContext.h"
#include "network/client/PlaybackStateMachine.h"

namespace ostrel {

void PlaybackState::connected() { _machine.transit(_machine.stoppedState()); }

void PlaybackState::disconnected() { _machine.transit(_machine.disconnectedState()); }

void PlaybackState::storageChange() {
    _machine.sendStop();
    _machine.transit(_machine.storageUnknownState());
}

} // namespace ostrel
