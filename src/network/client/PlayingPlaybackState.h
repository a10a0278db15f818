#pragma once

#include "network/client/PlaybackRequestRecord.h"
#include "network/client/PlaybackState.h"

namespace ostrel {

// Frames of a request are arriving.
class PlayingPlaybackState : public PlaybackState {
public:
    using PlaybackState::PlaybackState;

    const char* name() const override { return "PLAYING"; }
    void play(const PlaybackRequestRecord& request) override;
    void stop() override;
    void stopped(uint32_t reason) override;
    FrameAction frame() override { return FrameAction::Deliver; }

    // The request whose frames arrive.
    const PlaybackRequestRecord& request() const { return _request; }
    void setRequest(const PlaybackRequestRecord& request) { _request = request; }

private:
    PlaybackRequestRecord _request;
};

} // namespace ostrel
