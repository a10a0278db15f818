#pragma once

#include "network/client/PlaybackState.h"

namespace ostrel {

// The site has just changed its storage: nothing plays, a play goes out at once.
class InitialPlaybackState : public PlaybackState {
public:
    using PlaybackState::PlaybackState;

    const char* name() const override { return "INIT"; }
    void play(const PlaybackRequestRecord& request) override;
};

} // namespace ostrel
