#pragma once

#include "network/protocol/EncryptionKey.h"
#include "network/protocol/Packet.h"
#include "network/protocol/PacketReader.h"
#include "ostrel-sitesim/RecordingCursor.h"
#include "ostrel-sitesim/RecordingItem.h"
#include "ostrel-sitesim/SendQueue.h"
#include "ostrel-sitesim/UniqueFd.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ostrel {

class MediaPosition;
class PlayRequest;
class SyntheticRecording;
struct SiteSettings;

// One client of a simulated site, served by its own thread from accept to
// close: the handshake (the client's sync, the site's sync, the login), then
// the requests of an established session, with a playback streaming frames
// in between.
//
// One poll loop does all the I/O on a non-blocking socket, so a request (a
// pause above all) is read and acted on while a playback is being sent.
// Frames are produced only while less than LowWater bytes wait to be sent:
// a client that reads slowly slows the playback down instead of growing the
// site's memory. Every wait is bounded: the loop wakes at least every
// 200 ms, and a closing connection is dropped after CloseTimeout.
//
// Stop reasons the site sends in 519:
//   1 paused on request (the client's 519)
//   2 a Play reached the end of the requested range
//   3 a Play reached the newest (or, backward, the oldest) recorded second
//     before the end of the range
//   4 a Jump or Step delivered its frames
//   5 nothing to play: no recording at the requested range, section or position
class SiteConnection {
public:
    static constexpr int MaxPayloadSize = 1048576;
    static constexpr size_t LowWater = 256 * 1024;
    static constexpr std::chrono::milliseconds CloseTimeout{2000};
    // How long a stopping site waits for each client to take its last bytes.
    static constexpr std::chrono::milliseconds StopTimeout{500};
    static constexpr std::chrono::seconds AliveCheckAfter{120};
    static constexpr std::chrono::seconds DropAfter{240};

    static constexpr uint32_t ReasonPaused = 1;
    static constexpr uint32_t ReasonRangeEnd = 2;
    static constexpr uint32_t ReasonRecordingEnd = 3;
    static constexpr uint32_t ReasonJumped = 4;
    static constexpr uint32_t ReasonNothing = 5;

    // `overCapacity`: the site already serves its maximum of clients; this
    // one is told that the channels are full.
    SiteConnection(UniqueFd socket, uint64_t id, bool overCapacity, const SiteSettings& settings,
                   const SyntheticRecording& recording, std::function<int64_t()> elapsed,
                   const std::atomic<bool>& stopping, int wakeFd);

    // Serves the client until either side closes or the site stops.
    void run();

    uint64_t framesSent() const { return _framesSent; }

private:
    enum class State { AwaitingSync, AwaitingLogin, Established, Closing };
    using Clock = std::chrono::steady_clock;

    void log(const std::string& text) const;
    void queue(const Packet& packet);
    void startClosing(const std::string& why);
    bool readAvailable();
    bool writePending();
    void produce();
    void checkAlive();

    void handle(Packet& packet);
    void handleSync(Packet& packet);
    void handleLogin(Packet& packet);
    void handleRequest(Packet& packet);
    void startPlay(const PlayRequest& request);
    void jumpToPosition(const MediaPosition& position, uint32_t mask);
    void startBurst(std::vector<RecordingItem> items, uint32_t reason);
    void stopPlayback();
    void queueItem(const RecordingItem& item);

    UniqueFd _socket;
    uint64_t _id;
    bool _overCapacity;
    const SiteSettings& _settings;
    const SyntheticRecording& _recording;
    std::function<int64_t()> _elapsed;
    const std::atomic<bool>& _stopping;
    int _wakeFd;

    State _state = State::AwaitingSync;
    EncryptionKey _key;
    PacketReader _reader{MaxPayloadSize};
    Packet _packet;
    SendQueue _out;
    std::vector<uint8_t> _received;

    // The playback being sent: a walk over a range, or a burst of a few items.
    bool _playing = false;
    std::unique_ptr<RecordingCursor> _cursor;
    std::vector<RecordingItem> _burst;
    size_t _burstNext = 0;
    uint32_t _endReason = 0;

    uint64_t _framesSent = 0;
    bool _finSent = false;
    bool _writeShut = false;
    bool _peerClosed = false;
    bool _aliveCheckPending = false;
    Clock::time_point _lastReceive = Clock::now();
    Clock::time_point _closeDeadline;
};

} // namespace ostrel
