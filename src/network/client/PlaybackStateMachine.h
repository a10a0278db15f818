#pragma once

#include "base/thread/Mutex.h"
#include "network/client/DisconnectedPlaybackState.h"
#include "network/client/InitialPlaybackState.h"
#include "network/client/PlayingPlaybackState.h"
#include "network/client/StorageUnknownPlaybackState.h"
#include "network/client/StoppedPlaybackState.h"
#include "network/client/WaitingForReplyPlaybackState.h"
#include "network/client/WaitingForStopPlaybackState.h"

#include <cstdint>

namespace ostrel {

class IPlaybackStateMachineContext;
class MediaFrame;
class MediaPosition;

// Serialises a client's playback requests against its site: a new play while
// an earlier one still runs first stops the earlier one and goes out only when
// the site has confirmed the stop, so frames and stop notices of different
// requests never mix.
//
// A stop notice with reason 1 (paused by the client) that arrives while a play
// waits for its first frame, and answers a pause sent before that play, is
// taken for what it is and not reported as the end of the play.
//
// Every event runs under the machine's mutex in the current state, except
// that a frame is queued for the listener after the mutex is released (the
// queue may make the network thread wait, and requests of other threads must
// not wait with it).
class PlaybackStateMachine {
public:
    explicit PlaybackStateMachine(IPlaybackStateMachineContext& context);
    PlaybackStateMachine(const PlaybackStateMachine&) = delete;
    PlaybackStateMachine& operator=(const PlaybackStateMachine&) = delete;

    // ---- events ----------------------------------------------------------------
    void play(const PlaybackRequestRecord& request);
    void stop();
    void stopped(uint32_t reason);
    void frame(const MediaFrame& frame, bool flag, const MediaPosition& position);
    void connected();
    void disconnected();
    void storageChange();
    void storageChanged();

    // Whether a text-in frame that arrives now belongs to the current play: a
    // text-in travels beside the media frames and is taken where they are
    // (a play waiting for its first frame, or playing). Elsewhere it is the
    // rest of a play already stopped or replaced, whose media frames are
    // dropped too.
    bool takesTextIn() const;

    // The current state's name.
    const char* stateName() const;
    bool isIn(const PlaybackState& state) const;

    // ---- for the states, under the mutex --------------------------------------------
    // Makes the state current and traces "TRANSIT TO:" with its name.
    void transit(PlaybackState& state);
    // Asks the context to stop the playback, counting the pause request sent.
    void sendStop();
    IPlaybackStateMachineContext& context() { return _context; }
    DisconnectedPlaybackState& disconnectedState() { return _disconnected; }
    InitialPlaybackState& initialState() { return _initial; }
    StoppedPlaybackState& stoppedState() { return _stopped; }
    WaitingForReplyPlaybackState& waitingForReplyState() { return _waitingForReply; }
    PlayingPlaybackState& playingState() { return _playing; }
    WaitingForStopPlaybackState& waitingForStopState() { return _waitingForStop; }
    StorageUnknownPlaybackState& storageUnknownState() { return _storageUnknown; }

private:
    IPlaybackStateMachineContext& _context;
    DisconnectedPlaybackState _disconnected{*this};
    InitialPlaybackState _initial{*this};
    StoppedPlaybackState _stopped{*this};
    WaitingForReplyPlaybackState _waitingForReply{*this};
    PlayingPlaybackState _playing{*this};
    WaitingForStopPlaybackState _waitingForStop{*this};
    StorageUnknownPlaybackState _storageUnknown{*this};
    PlaybackState* _current = &_disconnected;
    // Pause requests whose answer (a stop notice with reason 1) may still come. A
    // site may answer a pause even when nothing plays; such an answer arriving
    // after the next play went out is not that play's end. Cleared by the first
    // frame of a play, since a site answers requests in order.
    int _unansweredPauses = 0;
    mutable Mutex _mutex;
};

} // namespace ostrel
