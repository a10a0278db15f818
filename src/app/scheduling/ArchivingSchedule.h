#pragma once

#include "app/archiving/ArchivingDelegate.h"
#include "app/archiving/NetworkArchivingClient.h"
#include "app/archiving/ResumeRecord.h"
#include "app/persistence/SiteStorage.h"
#include "app/scheduling/Actor.h"
#include "app/scheduling/ArchivingEvent.h"
#include "app/scheduling/ConnectionInfo.h"
#include "app/scheduling/ExponentialDelay.h"
#include "app/scheduling/MergedTimeTable.h"
#include "app/util/ArchiveProfiler.h"
#include "base/Clock.h"
#include "base/DateTime.h"
#include "base/Interval.h"
#include "base/UniqueID.h"
#include "base/thread/Mutex.h"
#include "storage/IStorageGroupListener.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace ostrel {

class EventManager;
class NetworkPlaybackContext;
class ScheduleListener;

// The archiving engine of one site. It owns the site's storage (group file and
// storage group) and its archiving client, connects to the site, asks it for
// the recording sections of a stretch of time, picks the next chunk of
// recorded time, plays it into the storage group, keeps the resume position
// and after every chunk goes on at once, retries later with a growing delay
// or starts over. Failures are posted as ArchivingEvents to the EventManager;
// progress goes to the ScheduleListeners.
//
// Work happens in three places: commands performed by the scheduler's action
// loop (this is an Actor), callbacks of the archiving client (network and
// media threads) and public calls (user interface or document). Locks, outer
// to inner: the state lock (phase changes, commands' decisions, callbacks),
// then the actor's own lock. The position lock (resume position, last
// archived time, dirty flag), the connect-request lock, the request-queue
// lock and the listener lock are each taken alone.
//
// A schedule runs until stopped. A schedule given an end time (setBounds: the
// command-line archiver) archives up to it and stops by itself once the site
// holds nothing more up to that time, reporting scheduleCompleted first.
class ArchivingSchedule : public ArchivingDelegate, public Actor, public IStorageGroupListener {
public:
    enum Phase : int {
        PhaseIdle = 0,
        PhaseStart = 1,
        PhaseContinue = 2,
        PhaseStop = 4,
        PhaseResume = 5,
    };
    enum Command : int {
        CommandConnect = 0,
        CommandStart = 1,
        CommandContinue = 2,
        CommandResume = 3,
        CommandFinish = 4,
        CommandDisconnect = 5,
    };
    // Where a start begins.
    enum ArchiveFrom : int {
        FromFirst = 0,    // the first recorded data
        FromLast = 1,     // the last recorded data: only what is recorded from now on
        FromInterval = 2, // the current interval's start (a given time; after the first chunk always)
    };
    // Kinds of outstanding recording-section requests.
    static constexpr int RequestQuery = 0;
    static constexpr int RequestArchiving = 1;
    // Connect-request flags.
    static constexpr int ConnectForArchiving = 1;
    static constexpr int ConnectForQuery = 2;

    static constexpr int DefaultChunkSeconds = 1800;
    // A chunk that gained less recorded time than this is retried later.
    static constexpr int MinimumProgressSeconds = 30;
    static constexpr uint32_t SpeedWindowMilliseconds = 5000;
    // The resume position is stored at most this often, in archived recording time.
    static constexpr int StoreEverySeconds = 300;
    static constexpr std::size_t RequestQueueCapacity = 100;
    static constexpr int ReconnectInitialSeconds = 1;
    static constexpr int ReconnectFactor = 2;
    static constexpr int ReconnectMaximumSeconds = 1800;

    // What the command-line archiver bounds a run by (all off by default).
    struct Bounds {
        // Archive up to this time and stop once nothing more is recorded up
        // to it; unset: run until stopped.
        DateTime end;
        // A resume position the site overwrote stops the schedule (failure
        // event ArchivingEvent::PositionOverwritten) instead of starting over
        // from its time.
        bool stopWhenPositionOverwritten = false;
        // Also store the resume position this often in wall-clock time while
        // a chunk is archived; 0: only by archived recording time.
        uint32_t storeEveryMilliseconds = 0;
    };

    // `context`: the playback context of the archiving client (null: the
    // process-wide one); `events`: where failures are posted (null: the
    // process-wide EventManager).
    ArchivingSchedule(int handle, const UniqueID& siteId, const ConnectionInfo& connection,
                      int chunkSeconds = DefaultChunkSeconds, const Clock& clock = Clock::system(),
                      std::shared_ptr<NetworkPlaybackContext> context = nullptr, EventManager* events = nullptr);
    ~ArchivingSchedule() override;

    // Resets the actor, adds `listener`, registers with the storage group and
    // sets the archiving client up on it (bufferSize: its frame queue).
    void initialise(ScheduleListener* listener, int bufferSize);
    // Stops any playback, stores the resume position at once, shuts the
    // client down, closes the site storage. The schedule must no longer be
    // stepped by a loop. False when the storage group did not close cleanly
    // (its writes may not all have reached the files); true when torn down already.
    bool teardown();

    void addListener(ScheduleListener* listener);
    void removeListener(ScheduleListener* listener);

    void startFromTime(const DateTime& time);
    void startFromFirst();
    void startFromLast();
    // Continues from the stored resume position (after cutting the group back to it).
    void resume();
    // New connection information; a connected client is disconnected (and so
    // ends in scheduleStopped; the caller starts it again).
    void updateConnection(const ConnectionInfo& connection);
    void stopSchedule();
    void setOverwrite(bool overwrite);
    // Asks the site for its recording sections in `interval`; the answer comes
    // as scheduleQueryListReceived.
    void queryRecordings(const Interval& interval);
    void setBounds(const Bounds& bounds);

    // The recorded interval of the storage group (unset ends when not open).
    Interval recordedInterval() const;
    // 0 none, 1 bad, 2 good: the last reported speed class.
    int archiveSpeed() const;
    // Called by the site storage once it opened the group: takes the resume
    // record stored in the group as the resume position.
    void loadResumePosition();

    int handle() const { return _handle; }
    const UniqueID& siteId() const { return _siteId; }
    SiteStorage& siteStorage() { return _siteStorage; }
    const SiteStorage& siteStorage() const { return _siteStorage; }
    NetworkArchivingClient& client() { return _client; }
    // A copy, taken under the position lock.
    ResumeRecord resumePosition() const;
    DateTime lastArchivedTime() const;
    int phase() const { return _phase.load(); }
    int archiveFrom() const;
    Interval currentInterval() const;
    ConnectionInfo connection() const;
    bool overwrite() const;
    int chunkSeconds() const { return _chunkSeconds; }
    // The last failure posted (or reported) since the last start; type 0 for none.
    ArchivingEvent lastFailure() const;
    // A bounded schedule reached its end.
    bool isCompleted() const { return _completed.load(); }
    // Media frames and their bytes (header and data) archived since creation.
    uint64_t archivedFrames() const { return _archivedFrames.load(); }
    uint64_t archivedBytes() const { return _archivedBytes.load(); }

    // ---- ArchivingDelegate -----------------------------------------------------------------
    void archivingConnected() override;
    void archivingDisconnected(int reason) override;
    void recordingSectionListReceived(const std::vector<RecordingTimeTableEntry>& list) override;
    void archivingStopped(bool noFrame) override;
    void archivingFailed(int code) override;
    void frameArchived(const MediaFrame& frame, uint32_t mediaIDLow, uint32_t mediaIDHigh) override;
    void archivingCallback() override;

    // ---- IStorageGroupListener ---------------------------------------------------------------
    void recordingStorageChanging(StorageGroup& group) override;
    void recordingStorageChanged(StorageGroup& group) override;
    // Posts a StorageDamaged event and tells the listeners; archiving goes on.
    // It runs on the writing thread under the member's write lock, so it
    // takes only the schedule's position and listener locks (held briefly,
    // never around a call into the storage), not its state lock.
    void storageDamaged(StorageGroup& group, Storage& member, const std::string& report) override;

    // The next chunk of `seconds` seconds of recorded time from `from` over
    // sorted, disjoint sections (counted across the gaps between them); both
    // ends unset when no section ends at or after `from`.
    static Interval nextChunk(const MergedTimeTable& sections, const DateTime& from, int seconds);

    // The earliest and latest times a request may name.
    static const DateTime EarliestTime;
    static const DateTime LatestTime;

protected:
    void idle() override;
    void perform(int32_t command) override;

private:
    void requestCommand(int command, uint32_t delaySeconds);
    void requestConnect(bool forQuery, uint32_t delaySeconds);
    void requestSections(const Interval& interval, int kind);
    int connectFlags() const;
    void clearConnectFlags();
    // When only a query wanted the connection: asks for the finish, clears
    // the flags and returns true (one step under the connect-request lock).
    bool takeQueryOnlyConnect();
    // Archiving uses the connection that is up (perhaps one a query opened).
    void claimConnectionForArchiving();
    void clearRequestQueue();

    void performConnect();
    void performStart();
    void performContinue();
    void performResume();
    void performFinish();
    void performDisconnect();

    // Bodies that run under the state lock.
    void startLocked(int archiveFrom, const DateTime* time);
    void stopLocked();
    void reportError(const ArchivingEvent& event);
    void post(const ArchivingEvent& event);
    // Stopped, or the connection ended: the reports still delivered from the
    // old session (a chunk end, an empty section list, an overwritten
    // position) must not ask for a next chunk on it, which would replace the
    // finish the stop or the disconnect asked for.
    bool sessionEndedLocked() const;
    void retry();
    void restart();
    void continues();
    void complete();
    void failLocked(int code);
    ArchivingEvent storageEvent(int type);

    // Stores the resume position: queued behind the frames still on their
    // way (when dirty), or at once (whatever the dirty flag says).
    void storeResumePosition();
    void storeResumePositionNow();
    // At a chunk's end, on the thread that reported it: at once, when dirty.
    void storeResumePositionAtChunkEnd();
    void speedCheck();
    void positionCheck();

    bool bounded() const { return _bounds.end.isSet(); }
    Interval boundedInterval(const Interval& interval) const;

    template <typename Report>
    void notify(Report report);

    const int _handle;
    const UniqueID _siteId;
    const int _chunkSeconds;
    const Clock& _clock;
    EventManager& _events;

    mutable Mutex _listenerMutex;
    std::vector<ScheduleListener*> _listeners;

    SiteStorage _siteStorage;
    NetworkArchivingClient _client;
    ExponentialDelay _reconnectDelay;
    ArchiveProfiler _profiler;
    std::atomic<int> _lastSpeed{0};
    uint32_t _lastSpeedCheck = 0;

    mutable Mutex _connectionMutex;
    ConnectionInfo _connection;

    // Guarded by the state lock.
    mutable Mutex _stateMutex;
    std::atomic<int> _phase{PhaseIdle};
    int _archiveFrom = FromInterval;
    MergedTimeTable _sections;
    Interval _interval;
    Bounds _bounds;
    // The next CommandStart keeps the reconnect delay growing (a restart).
    bool _keepBackoff = false;
    // Something was archived since the last start (a retry then continues
    // instead of starting over, which would archive the last second again).
    std::atomic<bool> _archivedSinceStart{false};
    // A bounded schedule already looked for more recording once without
    // finding any since its last progress.
    std::atomic<bool> _probed{false};
    // The group file disappeared under a storage failure: the storage is
    // closed by the next CommandFinish on the loop's thread.
    std::atomic<bool> _closeStoragePending{false};
    std::atomic<bool> _completed{false};
    // The connection ended and its CommandFinish is requested (guarded by
    // the state lock; cleared by the next connect). What was queued before
    // the disconnect is still delivered afterwards, and nothing it reports
    // may replace that finish with a next chunk on a connection that is gone.
    bool _disconnected = false;
    // A connection update asked for the session to be dropped and its
    // disconnect has not been reported yet. Until it is, every command that
    // would go on on the old session is turned into that disconnect: the
    // actor keeps one pending command, and the end of a chunk (or a retry)
    // racing with the update would otherwise replace the disconnect, so the
    // schedule would keep archiving from the old address for good.
    std::atomic<bool> _disconnectRequested{false};
    bool _initialised = false;
    std::atomic<bool> _tornDown{false};

    // Guarded by the position lock.
    mutable Mutex _positionMutex;
    ArchivingEvent _lastFailure;
    // Start of the chunk being played: recorded time counts from there.
    DateTime _chunkStart;
    ResumeRecord _resume;
    bool _dirty = false;
    DateTime _lastArchived;
    DateTime _lastStored;
    uint32_t _lastStoreTick = 0;

    mutable Mutex _connectMutex;
    int _connectFlags = 0;

    mutable Mutex _queueMutex;
    std::deque<int> _requestQueue;
    Interval _queryInterval;
    MergedTimeTable _queryResult;

    std::atomic<uint64_t> _archivedFrames{0};
    std::atomic<uint64_t> _archivedBytes{0};
};

} // namespace ostrel
