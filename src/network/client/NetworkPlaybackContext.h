#pragma once

#include "base/thread/Mutex.h"
#include "network/media/MediaDispatcher.h"
#include "network/protocol/playback/PlaybackClientFacade.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string_view>

namespace ostrel {

class NetworkPlaybackSession;
class SelectDispatcher;

// The process-wide home of every playback client: the playback facade over 100
// sessions with its select dispatcher (one worker thread, "NetworkPlaybackContext
// Dispatcher") and the media dispatcher that delivers the clients' frames. It
// routes each session's events and replies to the client that owns the session.
//
// instance() creates and starts it on first use; shutdown() stops its threads
// (open sessions are reported disconnected with 201) and lets it go, so that the
// next instance() starts a fresh one. Clients keep the context they were made
// with alive, stopped or not, so a client never outlives its context's memory.
// create() makes a context of one's own, outside the process-wide one (tests,
// benchmarks).
//
// Locks: the callback mutex is held while a reply or event is handed to its
// client (frames excepted: they may wait for room in the client's queue), the
// map mutex while the handle-to-client map is read or changed, in that order.
class NetworkPlaybackContext : public PlaybackClientFacade {
public:
    static constexpr int Channels = 100;
    static constexpr const char* DispatcherThreadName = "NetworkPlaybackContext Dispatcher";

    static NetworkPlaybackContext& instance();
    static std::shared_ptr<NetworkPlaybackContext> shared();
    static void shutdown();
    static std::shared_ptr<NetworkPlaybackContext> create();

    ~NetworkPlaybackContext() override;

    // Stops the media dispatcher (releasing producers waiting for room) and the
    // sessions; waits for both threads. Idempotent; nothing can be started again.
    void stopAll();
    MediaDispatcher& mediaDispatcher() { return *_mediaDispatcher; }
    // Bytes of send queues and receive buffers its sessions hold now: memory
    // follows the connections in use, not the 100 sessions there are.
    std::size_t allocatedSessionBytes() const;

    // ---- for the clients ------------------------------------------------------------
    // Connects a session for the client and maps the new handle to it, as one step
    // with respect to the session's events (none reaches the client before it is
    // mapped). A previous session of the client that is still mapped is closed
    // first and no longer reported. Returns the handle or -1 when every session is
    // in use (or the context is stopped).
    int connectClient(NetworkPlaybackSession& client, std::string_view address, uint16_t port,
                      std::string_view user, std::string_view password);
    // Marks whether the disconnect is the client's wish (reported as 301) and
    // closes the client's session.
    void disconnectClient(NetworkPlaybackSession& client, bool byRequest);
    // False when the client's handle is not mapped; otherwise whether its TCP
    // connection is up or its last login succeeded.
    bool isClientConnected(const NetworkPlaybackSession& client) const;
    // Unmaps the client (closing a session it still has, unreported) and waits
    // until no callback of the context uses it any more.
    void removeClient(NetworkPlaybackSession& client);
    // Clients currently mapped.
    int mappedClientCount() const;

    // ---- session events and replies, on the dispatcher's worker thread ----------------
    void connected(int handle) override;
    void disconnected(int handle, int reason) override;
    void loginSucceeded(int handle, const LoginResult& result) override;
    void loginFailed(int handle, const LoginResult& result) override;
    void remoteSystemInfoReceived(int handle, const RemoteSystemInfo& info) override;
    void productInfoReceived(int handle, const ProductInfo& info) override;
    void finReceived(int handle, const FinOption& option) override;
    void recordingCalendarReceived(int handle, const std::vector<Date>& dates) override;
    void recordingTimeTableReceived(int handle, const std::vector<RecordingTimeTableEntry>& list) override;
    void eventListReceived(int handle, const std::vector<EventListEntry>& list) override;
    void sectionListReceived(int handle, const BitMask32& channels, const Interval& range,
                             const std::vector<uint32_t>& sectionIDs) override;
    void mediaFrameReceived(int handle, const MediaFrame& frame, bool flag, const MediaPosition& position) override;
    void playbackStoppedReceived(int handle, uint32_t reason) override;
    void eventCalendarReceived(int handle, const std::vector<Date>& dates) override;
    void textInFrameReceived(int handle, const TextInFrame& frame, bool flag, const MediaPosition& position) override;
    void textInEventListReceived(int handle, const std::vector<TextInEventListEntry>& list) override;
    void storageListReceived(int handle, bool flag, const std::vector<StorageListEntry>& list) override;
    void storageChanged(int handle) override;

    // Only create() and the process-wide accessor make contexts.
    class Key {
        friend class NetworkPlaybackContext;
        Key() = default;
    };
    NetworkPlaybackContext(Key, std::unique_ptr<SelectDispatcher> dispatcher);

private:
    // The client mapped to the handle, or nullptr; under the map mutex.
    NetworkPlaybackSession* find(int handle) const;
    // Runs `call` on the handle's client under the callback mutex; nothing when
    // the handle is not mapped.
    template <typename Call>
    void forward(int handle, Call&& call);
    // Runs `call` on the handle's client without the callback mutex, counted so
    // that removeClient can wait for it.
    template <typename Call>
    void forwardFrame(int handle, Call&& call);

    std::unique_ptr<SelectDispatcher> _dispatcher;
    std::unique_ptr<MediaDispatcher> _mediaDispatcher;
    mutable Mutex _callbackMutex;
    mutable Mutex _mapMutex;
    std::map<int, NetworkPlaybackSession*> _clients;
    Mutex _stopMutex;
    bool _stopped = false;
};

} // namespace ostrel
