#pragma once

#include "network/client/PlaybackState.h"

namespace ostrel {

// No session, or not logged in yet: requests are ignored until the login.
class DisconnectedPlaybackState : public PlaybackState {
public:
    using PlaybackState::PlaybackState;

    const char* name() const override { return "DISCONNECTED"; }
    // A storage change needs a session: ignored here.
    void storageChange() override {}
};

} // namespace ostrel
