#include "network/client/PlaybackStateMachine.h"

#include "base/Trace.h"
#include "network/client/IPlaybackStateMachineContext.h"

namespace ostrel {
namespace {

// The reason with which a site answers a pause request.
constexpr uint32_t PauseAnswerReason = 1;

} // namespace

PlaybackStateMachine::PlaybackStateMachine(IPlaybackStateMachineContext& context) : _context(context) {}

void PlaybackStateMachine::play(const PlaybackRequestRecord& request) {
    Mutex::ScopedLock lock(_mutex);
    _current->play(request);
}

void PlaybackStateMachine::stop() {
    Mutex::ScopedLock lock(_mutex);
    _current->stop();
}

void PlaybackStateMachine::stopped(uint32_t reason) {
    Mutex::ScopedLock lock(_mutex);
    if (reason == PauseAnswerReason && _unansweredPauses > 0) {
        --_unansweredPauses;
        if (_current == &_waitingForReply) {
            trace("PlaybackStateMachine: stop notice answering an earlier pause ignored\n");
            return;
        }
    }
    _current->stopped(reason);
}

void PlaybackStateMachine::frame(const MediaFrame& frame, bool flag, const MediaPosition& position) {
    PlaybackState::FrameAction action;
    PlaybackRequestRecord request;
    {
        Mutex::ScopedLock lock(_mutex);
        action = _current->frame();
        if (action == PlaybackState::FrameAction::Drop) {
            return;
        }
        _unansweredPauses = 0;
        request = _playing.request();
    }
    if (action == PlaybackState::FrameAction::StartAndDeliver) {
        _context.notifyStarted(request);
    }
    _context.deliverFrame(frame, flag, position, request);
}

void PlaybackStateMachine::connected() {
    Mutex::ScopedLock lock(_mutex);
    _unansweredPauses = 0;
    _current->connected();
}

void PlaybackStateMachine::disconnected() {
    Mutex::ScopedLock lock(_mutex);
    _unansweredPauses = 0;
    _current->disconnected();
}

void PlaybackStateMachine::storageChange() {
    Mutex::ScopedLock lock(_mutex);
    _current->storageChange();
}

void PlaybackStateMachine::storageChanged() {
    Mutex::ScopedLock lock(_mutex);
    _current->storageChanged();
}

const char* PlaybackStateMachine::stateName() const {
    Mutex::ScopedLock lock(_mutex);
    return _current->name();
}

bool PlaybackStateMachine::takesTextIn() const {
    Mutex::ScopedLock lock(_mutex);
    return _current == &_waitingForReply || _current == &_playing;
}

bool PlaybackStateMachine::isIn(const PlaybackState& state) const {
    Mutex::ScopedLock lock(_mutex);
    return _current == &state;
}

void PlaybackStateMachine::sendStop() {
    ++_unansweredPauses;
    _context.sendStop();
}

void PlaybackStateMachine::transit(PlaybackState& state) {
    _current = &state;
    trace("TRANSIT TO: %s\n", state.name());
}

} // namespace ostrel
