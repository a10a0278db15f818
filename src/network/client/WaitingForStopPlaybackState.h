#pragma once

#include "network/client/PlaybackRequestRecord.h"
#include "network/client/PlaybackState.h"

namespace ostrel {

// The site was asked to pause and has not confirmed it yet. Holds the request
// to send once it has, unless only a stop was asked for; frames of the old
// playback still arriving are dropped.
class WaitingForStopPlaybackState : public PlaybackState {
public:
    using PlaybackState::PlaybackState;

    const char* name() const override { return "WAITING_FOR_STOP"; }
    // Replaces the request to send next (a stop asked for before is overridden).
    void play(const PlaybackRequestRecord& request) override { setRequest(request); }
    void stop() override { setStopOnly(); }
    void stopped(uint32_t reason) override;

    // The request to send after the stop; clears the stop-only mark.
    void setRequest(const PlaybackRequestRecord& request) {
        _request = request;
        _stopOnly = false;
    }
    void setStopOnly() { _stopOnly = true; }
    bool isStopOnly() const { return _stopOnly; }
    const PlaybackRequestRecord& request() const { return _request; }

private:
    PlaybackRequestRecord _request;
    bool _stopOnly = false;
};

} // namespace ostrel
