#pragma once

#include "base/BitMask32.h"
#include "base/Interval.h"
#include "network/client/NetworkPlaybackSession.h"
#include "network/client/PlaybackClient.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

class EventListRequest;
class IPlaybackClientListener;
class NetworkPlaybackContext;

// What the application holds to talk to one site: it connects and logs in
// through the network playback context, asks for recording information and
// drives playback, and reports everything to its listener (see
// IPlaybackClientListener for which thread each report comes on).
//
// Life: construct, start, then any number of connects and requests, then
// shutdown (the destructor does it too). Requests made while the client has no
// session (handle -1) do nothing; requests on a session that has gone raise
// InvalidSessionHandleException, and a full send queue SendQueueOverflowException.
class NetworkPlaybackClient : public PlaybackClient, public NetworkPlaybackSession {
public:
    // The clients of the process share the process-wide context; tests and
    // benchmarks may pass one of their own.
    explicit NetworkPlaybackClient(std::shared_ptr<NetworkPlaybackContext> context = nullptr);
    ~NetworkPlaybackClient() override;

    // Creates the queue of `bufferSize` bytes through which frames reach the
    // listener, and registers it with the media dispatcher. Archiving clients pass
    // ArchivingQueueSize; a client that never plays may pass a few bytes. A frame
    // larger than the queue can hold is dropped (counted in droppedFrameCount()).
    void start(int bufferSize, IPlaybackClientListener* listener);
    // Closes the session if there is one (without reporting it), unregisters from
    // the media dispatcher and leaves the context. Idempotent.
    void shutdown();

    // Starts connecting; the handle, or -1 when the context has no free session.
    // The listener hears playbackConnected after the login, or
    // playbackDisconnected with the reason of the failure. An address that cannot
    // be resolved raises SocketAddressInfoException.
    int connect(std::string_view address, uint16_t port, std::string_view user, std::string_view password);
    // Closes the session; with byRequest the listener hears reason 301.
    void disconnect(bool byRequest);
    // True from the moment the TCP connection is up (or, for a client whose last
    // login succeeded, from the moment connect returned) until the disconnect has
    // been handled.
    bool isConnected() const;
    int handle() const { return NetworkPlaybackSession::handle(); }

    // ---- requests -----------------------------------------------------------------------
    // 513 for 1900-01-01 to 2100-12-31.
    void requestRecordingCalendar();
    void requestRecordingTimeTable(const Interval& range, const BitMask32& channels);
    void requestSectionList(const Interval& range, const BitMask32& channels);
    void requestEventList(const EventListRequest& request);
    void requestEventListContinue(uint32_t count, bool flag);
    // 521 for 1900-01-01 to 2100-12-31, without and with text-in events.
    void requestEventCalendar();
    void requestTextInEventCalendar();
    void requestTextInEventList(const Interval& range, const std::vector<std::string>& keywords, bool flag,
                                uint32_t count);
    void requestTextInEventListContinue(uint32_t count, bool flag);
    void requestPlaybackInterval(const Interval& range);
    // 530, only when the site's product version says it has storages.
    void requestStorageList();
    // Stops the playback and waits for the site to confirm the storage change.
    void changeStorage(std::string_view name);
    // Not offered by this system: traced, nothing sent.
    void requestGSensorInfo(const Interval& range, const BitMask32& channels);

    // Whether a product version ("major.minor...") belongs to a site with storages:
    // not for an empty version, nor for one below 1.2.
    static bool supportsStorages(std::string_view version);

    NetworkPlaybackContext& context() { return *_context; }

protected:
    // ---- PlaybackClient ----------------------------------------------------------------------
    int sessionHandle() const override { return NetworkPlaybackSession::handle(); }
    void sendPlayRequest(const PlaybackRequestRecord& request) override;
    void sendPauseRequest(const MediaPosition& position) override;

    // ---- NetworkPlaybackSession, on the network thread ------------------------------------
    void loginSucceeded() override;
    void disconnected(int reason) override;
    void remoteSystemInfoReceived(const RemoteSystemInfo& info) override;
    void productInfoReceived(const ProductInfo& info) override;
    void recordingCalendarReceived(const std::set<Date>& dates) override;
    void recordingTimeTableReceived(const std::vector<RecordingTimeTableEntry>& list) override;
    void sectionListReceived(const BitMask32& channels, const Interval& range,
                             const std::vector<uint32_t>& sectionIDs) override;
    void textInFrameReceived(const TextInFrame& frame, const MediaPosition& position) override;
    void mediaFrameReceived(const MediaFrame& frame, bool flag, const MediaPosition& position) override;
    void playbackStoppedReceived(uint32_t reason) override;
    void eventCalendarReceived(const std::set<Date>& dates) override;
    void eventListReceived(const std::vector<EventListEntry>& list) override;
    void textInEventListReceived(const std::vector<TextInEventListEntry>& list) override;
    void storageListReceived(const std::vector<StorageListEntry>& list) override;
    void storageChanged() override;

private:
    bool hasSession() const { return NetworkPlaybackSession::handle() >= 0; }

    std::shared_ptr<NetworkPlaybackContext> _context;
    bool _started = false;
    bool _shutDown = false;
};

} // namespace ostrel
