#include "network/client/StorageUnknownPlaybackState.h"

#include "network/client/InitialPlaybackState.h"
#include "network/client/PlaybackStateMachine.h"

namespace ostrel {

void StorageUnknownPlaybackState::storageChanged() { _machine.transit(_machine.initialState()); }

} // namespace ostrel
