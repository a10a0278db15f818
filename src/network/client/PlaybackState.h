#pragma once

#include <cstdint>

namespace ostrel {

class PlaybackRequestRecord;
class PlaybackStateMachine;

// One state of the playback state machine. Every event runs under the
// machine's mutex, in the current state; an event a state does not handle is
// ignored. In every state a login leads to Stopped and a disconnect to
// Disconnected; in every state but Disconnected a storage change stops the
// playback and waits in StorageUnknown.
class PlaybackState {
public:
    // What becomes of a received frame once the machine's mutex is released.
    enum class FrameAction { Drop, Deliver, StartAndDeliver };

    explicit PlaybackState(PlaybackStateMachine& machine) : _machine(machine) {}
    virtual ~PlaybackState() = default;
    PlaybackState(const PlaybackState&) = delete;
    PlaybackState& operator=(const PlaybackState&) = delete;

    // The name traced on entering the state ("PLAYING" ...).
    virtual const char* name() const = 0;

    virtual void play(const PlaybackRequestRecord& /*request*/) {}
    virtual void stop() {}
    virtual void stopped(uint32_t /*reason*/) {}
    virtual FrameAction frame() { return FrameAction::Drop; }
    virtual void connected();
    virtual void disconnected();
    virtual void storageChange();
    virtual void storageChanged() {}

protected:
    PlaybackStateMachine& _machine;
};

} // namespace ostrel
