#pragma once

#include "base/BitMask32.h"
#include "base/Interval.h"

#include <cstdint>
#include <vector>

namespace ostrel {

class EventListEntry;
class MediaFrame;
class MediaPosition;
class RecordingTimeTableEntry;
class RemoteSystemInfo;
class TextInFrame;

// What a playback client reports to its one listener. The handle is the
// client's session handle. Each operation says on which thread it runs: the
// network thread (the playback context's dispatcher) or the media dispatcher
// thread; frames and stops come on the latter, in the order the site sent them.
//
// Frames are only valid during the call: their data lies in a buffer that the
// next delivery reuses. Every operation does nothing unless overridden.
class IPlaybackClientListener {
public:
    virtual ~IPlaybackClientListener() = default;

    // Network thread: the site's time table (message 514), sorted.
    virtual void playbackRecordingTimeTableReceived(int /*handle*/,
                                                    const std::vector<RecordingTimeTableEntry>& /*list*/) {}
    // Network thread: the recording sections of a range (message 516).
    virtual void playbackRecordingSectionListReceived(int /*handle*/, const BitMask32& /*channels*/,
                                                      const Interval& /*range*/,
                                                      const std::vector<uint32_t>& /*sectionIDs*/) {}
    // Media dispatcher thread.
    virtual void playbackAudioFrameReceived(int /*handle*/, const MediaFrame& /*frame*/,
                                            const MediaPosition& /*position*/) {}
    // Media dispatcher thread. The flag is the site's per-frame flag; the speed is
    // the signed speed of the play being delivered (negative backwards, 0 for jumps).
    virtual void playbackVideoFrameReceived(int /*handle*/, bool /*flag*/, int /*speed*/,
                                            const MediaFrame& /*frame*/, const MediaPosition& /*position*/) {}
    // Media dispatcher thread.
    virtual void playbackTextInReceived(int /*handle*/, const TextInFrame& /*frame*/,
                                        const MediaPosition& /*position*/) {}
    // Network thread: the first frame of a play or jump has arrived; mode is the
    // play request's mode for a play and 3 for every jump.
    virtual void playbackStarted(int /*handle*/, uint32_t /*mode*/) {}
    // Media dispatcher thread, after every frame queued before the stop. The
    // site's reason, except 3 which arrives as 10; 1 for a stop asked for while
    // nothing was playing.
    virtual void playbackStopped(int /*handle*/, uint32_t /*reason*/) {}
    // Network thread: logged in.
    virtual void playbackConnected(int /*handle*/) {}
    // Network thread: the connection is gone; 301 when the client asked for it.
    virtual void playbackDisconnected(int /*handle*/, int /*reason*/) {}
    // Network thread: what the site said about itself during the login.
    virtual void playbackRemoteSystemInfoReceived(int /*handle*/, const RemoteSystemInfo& /*info*/) {}
    // Network thread: the events of a range (message 515).
    virtual void playbackEventListReceived(int /*handle*/, const std::vector<EventListEntry>& /*list*/) {}
    // Media dispatcher thread: a callback the owner posted through the client's
    // queue, after every record queued before it; `record` is what it posted.
    virtual void playbackCallback(int /*handle*/, int /*kind*/, void* /*record*/) {}
};

} // namespace ostrel
