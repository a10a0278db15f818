#pragma once

#include "network/client/PlaybackState.h"

namespace ostrel {

// Logged in, nothing playing. Remembers whether the last playback ended while
// playing, in which case the site is asked to pause before the next play.
class StoppedPlaybackState : public PlaybackState {
public:
    using PlaybackState::PlaybackState;

    const char* name() const override { return "STOPPED"; }
    void play(const PlaybackRequestRecord& request) override;
    // Nothing plays: the site is still asked to pause, and the listener hears of
    // the stop with reason 1.
    void stop() override;

    bool fromPlaying() const { return _fromPlaying; }
    void setFromPlaying(bool value) { _fromPlaying = value; }

    static constexpr uint32_t StopRequestedReason = 1;

private:
    bool _fromPlaying = false;
};

} // namespace ostrel
