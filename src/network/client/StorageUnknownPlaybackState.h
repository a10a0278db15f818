#pragma once

#include "network/client/PlaybackState.h"

namespace ostrel {

// A storage change was asked for and the site has not confirmed it: nothing
// can be played until it has.
class StorageUnknownPlaybackState : public PlaybackState {
public:
    using PlaybackState::PlaybackState;

    const char* name() const override { return "STORAGE_UNKNOWN"; }
    void storageChanged() override;
};

} // namespace ostrel
