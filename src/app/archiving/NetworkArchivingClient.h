#pragma once

#include "app/archiving/Archiver.h"
#include "app/archiving/ArchivingDelegate.h"
#include "app/archiving/ResumeRecord.h"
#include "base/BitMask32.h"
#include "base/Interval.h"
#include "base/thread/Mutex.h"
#include "network/client/IPlaybackClientListener.h"
#include "network/protocol/playback/MediaPosition.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

namespace ostrel {

class NetworkPlaybackClient;
class NetworkPlaybackContext;
class StorageGroup;

// Turns one site's remote playback into archiving: for each stretch of time
// its owner asks for, it learns the site's recording sections and events of
// the stretch, starts the site playing (or jumping to a resume position
// first), hands every frame to the Archiver and reports progress and the end
// of the stretch to its ArchivingDelegate.
//
// Frames the storage already holds are not archived twice: the client keeps
// the site position of the last item it archived (or of the resume record)
// and skips items at or before it, which a continuation or a resume replays
// from the start of their second.
class NetworkArchivingClient : public IPlaybackClientListener {
public:
    enum Phase : int {
        PhaseIdle = 0,
        PhaseFirstPlay = 1,
        PhaseContinuation = 2,
        PhaseResume = 3,
        PhaseWaitingForPlaybackStart = 4,
        PhaseJumping = 5,
        PhasePlaying = 6,
        PhaseStorageIOError = 7,
        PhaseStorageFull = 8,
        PhaseStorageFailure = 9,
    };
    static constexpr int CallbackStoreResume = 0;
    static constexpr int CallbackTruncate = 1;
    // Runs nothing: it tells a waiter that everything queued before it was delivered.
    static constexpr int CallbackMarker = 2;

    // Clients use the process-wide playback context unless given one.
    explicit NetworkArchivingClient(std::shared_ptr<NetworkPlaybackContext> context = nullptr);
    ~NetworkArchivingClient() override;
    NetworkArchivingClient(const NetworkArchivingClient&) = delete;
    NetworkArchivingClient& operator=(const NetworkArchivingClient&) = delete;

    void setUp(StorageGroup& group, int bufferSize, ArchivingDelegate* delegate);
    // Shuts the playback client down and closes the archiver (and with it the
    // storage group); false when the group did not close cleanly.
    // beforeClose runs once no frame can reach the archiver any more and
    // before the group closes: the place for the owner's final resume record,
    // which then names the last frame written.
    bool cleanup(const std::function<void()>& beforeClose = {});

    bool connect(std::string_view address, uint16_t port, std::string_view user, std::string_view password);
    bool isConnected() const;
    void disconnect();
    void requestRecordingTimeTable(const Interval& range);

    void playFirst(const Interval& range);
    void playContinue(const Interval& range);
    void resume(const Interval& range, const ResumeRecord& record);
    void stopPlayback();

    // Stores the record at once, or after every frame already queued.
    void saveResumePosition(const ResumeRecord& record, bool immediately);
    // Cuts the storage group back after the record, after every frame already
    // queued; archivingCallback follows.
    // Waits (at most `bound`) until every frame and callback queued for the
    // archiver so far has been delivered: the frames a site sent before a
    // disconnect are still written after it, and whoever reports the archiving
    // stopped must not do so while they are.
    bool waitForQueuedDeliveries(std::chrono::milliseconds bound);
    void postTruncate(const ResumeRecord& record);
    bool loadResumePosition(ResumeRecord& record);

    MediaPosition lastVideoPosition() const;
    // The site position of the video frame reported last by frameArchived
    // (valid during that call and after it).
    MediaPosition lastArchivedVideoPosition() const;
    Archiver& archiver() { return _archiver; }
    int phase() const { return _phase.load(); }
    // The archiver's way of reporting a storage failure.
    void setPhase(int phase) { _phase.store(phase); }
    NetworkPlaybackClient* playbackClient() { return _playback.get(); }

    // ---- IPlaybackClientListener ---------------------------------------------------------
    void playbackConnected(int handle) override;
    void playbackDisconnected(int handle, int reason) override;
    void playbackRemoteSystemInfoReceived(int handle, const RemoteSystemInfo& info) override;
    void playbackRecordingTimeTableReceived(int handle, const std::vector<RecordingTimeTableEntry>& list) override;
    void playbackRecordingSectionListReceived(int handle, const BitMask32& channels, const Interval& range,
                                              const std::vector<uint32_t>& sectionIDs) override;
    void playbackEventListReceived(int handle, const std::vector<EventListEntry>& list) override;
    void playbackStarted(int handle, uint32_t mode) override;
    void playbackStopped(int handle, uint32_t reason) override;
    void playbackVideoFrameReceived(int handle, bool flag, int speed, const MediaFrame& frame,
                                    const MediaPosition& position) override;
    void playbackAudioFrameReceived(int handle, const MediaFrame& frame, const MediaPosition& position) override;
    void playbackTextInReceived(int handle, const TextInFrame& frame, const MediaPosition& position) override;
    void playbackCallback(int handle, int kind, void* record) override;

private:
    struct PendingCallback {
        int kind;
        ResumeRecord record;
    };

    void startStretch(const Interval& range, int phase);
    void play();
    void request(const char* type);
    void archiveOrCompare(const MediaFrame& frame, const MediaPosition& position);
    // Whether the storage already holds the item at this site position.
    bool alreadyArchived(const MediaPosition& position) const;
    void markArchived(const MediaPosition& position);
    void post(int kind, const ResumeRecord& record);
    void runCallback(int kind, const ResumeRecord& record);
    // Callbacks a stop removed from the queue are run here instead of lost.
    void runDroppedCallbacks();

    const BitMask32 _channels{BitMask32::AllBits};
    std::shared_ptr<NetworkPlaybackContext> _context;
    ArchivingDelegate* _delegate = nullptr;
    std::unique_ptr<NetworkPlaybackClient> _playback;
    Interval _range;
    bool _archiveWhileJumping = true;
    bool _waitForKeyFrame = false;
    std::atomic<int> _phase{PhaseIdle};
    MediaPosition _resumePosition;
    DateTime _resumeTime;
    bool _positionMismatch = false;
    std::optional<MediaPosition> _archivedUpTo;
    MediaPosition _lastArchivedVideo;
    Archiver _archiver{*this};
    Mutex _callbackMutex;
    std::list<PendingCallback> _callbacks;
    std::mutex _markerMutex;
    std::condition_variable _markerRun;
    uint64_t _markersRun = 0;
};

} // namespace ostrel
