#pragma once

#include "network/client/PlaybackRequestRecord.h"
#include "network/client/PlaybackState.h"

namespace ostrel {

// A play or jump went out and no frame of it has arrived yet.
class WaitingForReplyPlaybackState : public PlaybackState {
public:
    using PlaybackState::PlaybackState;

    const char* name() const override { return "WAITING_FOR_REPLY"; }
    // A newer request: the current one is stopped first, the newer one kept.
    void play(const PlaybackRequestRecord& request) override;
    void stop() override;
    // The site ended the request before any frame.
    void stopped(uint32_t reason) override;
    // The first frame: the request now plays.
    FrameAction frame() override;

    const PlaybackRequestRecord& request() const { return _request; }
    void setRequest(const PlaybackRequestRecord& request) { _request = request; }

private:
    PlaybackRequestRecord _request;
};

} // namespace ostrel
