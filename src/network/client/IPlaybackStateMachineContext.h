#pragma once

#include <cstdint>

namespace ostrel {

class MediaFrame;
class MediaPosition;
class PlaybackRequestRecord;

// What the playback state machine asks of the client it drives.
class IPlaybackStateMachineContext {
public:
    virtual ~IPlaybackStateMachineContext() = default;

    // Clears the queued frames and the stopped flag, then sends the request.
    virtual void sendPlay(const PlaybackRequestRecord& request) = 0;
    // Clears the queued frames, sets the stopped flag and asks the site to pause
    // at the last position delivered; a failure to send is traced, not thrown.
    virtual void sendStop() = 0;
    // Records the request as the one being played.
    virtual void announce(const PlaybackRequestRecord& request) = 0;
    // Queues the stop for the listener behind every frame queued before it.
    virtual void reportStopped(uint32_t reason) = 0;

    // Called without the state machine's mutex, on the network thread.
    // The first frame of the request has arrived.
    virtual void notifyStarted(const PlaybackRequestRecord& request) = 0;
    // Queues a frame of the request for the listener (may wait for room).
    virtual void deliverFrame(const MediaFrame& frame, bool flag, const MediaPosition& position,
                              const PlaybackRequestRecord& request) = 0;
};

} // namespace ostrel
