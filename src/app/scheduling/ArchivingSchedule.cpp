#include "app/scheduling/ArchivingSchedule.h"

#include "app/scheduling/EventManager.h"
#include "app/scheduling/LogCodes.h"
#include "app/scheduling/ScheduleListener.h"
#include "base/Exception.h"
#include "base/Trace.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/session/InvalidSessionHandleException.h"
#include "storage/Storage.h"

#include <cinttypes>

namespace ostrel {

const DateTime ArchivingSchedule::EarliestTime(1970, 1, 1, 0, 0, 0);
const DateTime ArchivingSchedule::LatestTime(2100, 12, 31, 11, 59, 59);

namespace {

DateTime plus(DateTime time, int64_t seconds) {
    if (!time.isSet()) {
        return time;
    }
    return time.addSeconds(seconds);
}

// Whether `time` lies in the interval, ends included; an unset end is open.
bool contains(const Interval& interval, const DateTime& time) {
    if (!time.isSet()) {
        return false;
    }
    if (interval.from().isSet() && time.lessThan(interval.from())) {
        return false;
    }
    if (interval.to().isSet() && time.greaterThan(interval.to())) {
        return false;
    }
    return true;
}

std::string messageOf(const Exception& e) { return e.message() ? e.message() : e.typeName(); }

} // namespace

ArchivingSchedule::ArchivingSchedule(int handle, const UniqueID& siteId, const ConnectionInfo& connection,
                                     int chunkSeconds, const Clock& clock,
                                     std::shared_ptr<NetworkPlaybackContext> context, EventManager* events)
    : Actor(clock),
      _handle(handle),
      _siteId(siteId),
      _chunkSeconds(chunkSeconds > 0 ? chunkSeconds : DefaultChunkSeconds),
      _clock(clock),
      _events(events != nullptr ? *events : EventManager::instance()),
      _siteStorage(this, siteId),
      _client(std::move(context)),
      _profiler(clock),
      _connection(connection) {
    _reconnectDelay.init(ReconnectInitialSeconds, ReconnectFactor, ReconnectMaximumSeconds);
}

ArchivingSchedule::~ArchivingSchedule() { teardown(); }

// ---- life ---------------------------------------------------------------------------------

void ArchivingSchedule::initialise(ScheduleListener* listener, int bufferSize) {
    Actor::reset();
    addListener(listener);
    _reconnectDelay.init(ReconnectInitialSeconds, ReconnectFactor, ReconnectMaximumSeconds);
    _siteStorage.storageGroup().addGroupListener(this);
    _client.setUp(_siteStorage.storageGroup(), bufferSize, this);
    _initialised = true;
    clearConnectFlags();
}

bool ArchivingSchedule::teardown() {
    if (_tornDown.exchange(true)) {
        return true;
    }
    bool closed = true;
    trace("ArchivingSchedule::teardown : %d", _handle);
    if (_initialised) {
        // Nothing may be handed to the archiver while the record is written
        // and the group closed.
        if (_client.playbackClient() != nullptr && _client.phase() != NetworkArchivingClient::PhaseIdle) {
            _client.stopPlayback();
        }
        StorageGroup& group = _siteStorage.storageGroup();
        // The record is stored once the playback has shut down: frames still
        // queued for the archiver at the stop are written before it, so it
        // names the last frame in the group rather than one a few frames back.
        closed = _client.cleanup([this, &group] {
            if (!_siteStorage.isOpen()) {
                return;
            }
            storeResumePositionNow();
            if (Storage* current = group.current()) {
                _siteStorage.groupFile().setLastStorageID(current->storageID());
                _siteStorage.groupFile().setLastRecordingSectionID(group.lastSectionID());
            }
        });
        group.removeGroupListener(this);
    }
    _siteStorage.close();
    return closed;
}

void ArchivingSchedule::addListener(ScheduleListener* listener) {
    if (listener == nullptr) {
        return;
    }
    Mutex::ScopedLock lock(_listenerMutex);
    _listeners.push_back(listener);
}

void ArchivingSchedule::removeListener(ScheduleListener* listener) {
    Mutex::ScopedLock lock(_listenerMutex);
    std::erase(_listeners, listener);
}

template <typename Report>
void ArchivingSchedule::notify(Report report) {
    Mutex::ScopedLock lock(_listenerMutex);
    for (ScheduleListener* listener : _listeners) {
        report(*listener);
    }
}

// ---- public operations ------------------------------------------------------------------------

void ArchivingSchedule::startFromTime(const DateTime& time) {
    Mutex::ScopedLock lock(_stateMutex);
    startLocked(FromInterval, &time);
}

void ArchivingSchedule::startFromFirst() {
    Mutex::ScopedLock lock(_stateMutex);
    startLocked(FromFirst, nullptr);
}

void ArchivingSchedule::startFromLast() {
    Mutex::ScopedLock lock(_stateMutex);
    startLocked(FromLast, nullptr);
}

void ArchivingSchedule::startLocked(int archiveFrom, const DateTime* time) {
    _phase.store(PhaseStart);
    _archiveFrom = archiveFrom;
    if (time != nullptr) {
        _interval = Interval(*time, *time);
    }
    _reconnectDelay.reset();
    _probed.store(false);
    _completed.store(false);
    {
        Mutex::ScopedLock position(_positionMutex);
        _lastFailure = ArchivingEvent();
    }
    if (_client.isConnected()) {
        // The connection may be one a query opened: from now on archiving
        // needs it too, so the query's answer must not close it.
        claimConnectionForArchiving();
        requestCommand(CommandStart, 0);
    } else {
        requestConnect(false, 0);
    }
}

void ArchivingSchedule::resume() {
    Mutex::ScopedLock lock(_stateMutex);
    if (_phase.load() == PhaseContinue) {
        return;
    }
    if (!resumePosition().isValid()) {
        // A cut back to no record would empty the whole group.
        trace("ArchivingSchedule::resume : no resume position");
        return;
    }
    _phase.store(PhaseResume);
    if (_client.isConnected()) {
        claimConnectionForArchiving();
    }
    _reconnectDelay.reset();
    _probed.store(false);
    _completed.store(false);
    {
        Mutex::ScopedLock position(_positionMutex);
        _lastFailure = ArchivingEvent();
    }
    requestCommand(CommandResume, 0);
}

void ArchivingSchedule::updateConnection(const ConnectionInfo& connection) {
    {
        Mutex::ScopedLock lock(_connectionMutex);
        _connection = connection;
    }
    if (_client.isConnected()) {
        _disconnectRequested.store(true);
        requestCommand(CommandDisconnect, 0);
    }
}

void ArchivingSchedule::stopSchedule() {
    trace("ArchivingSchedule::stopSchedule");
    Mutex::ScopedLock lock(_stateMutex);
    stopLocked();
}

void ArchivingSchedule::stopLocked() {
    _phase.store(PhaseStop);
    _reconnectDelay.reset();
    if (_client.isConnected()) {
        trace("ArchivingSchedule::stopSchedule : disconnect");
        requestCommand(CommandDisconnect, 0);
    } else {
        requestCommand(CommandFinish, 0);
    }
}

void ArchivingSchedule::setOverwrite(bool overwrite) { _client.archiver().setOverwrite(overwrite); }

bool ArchivingSchedule::overwrite() const { return const_cast<NetworkArchivingClient&>(_client).archiver().overwrite(); }

void ArchivingSchedule::queryRecordings(const Interval& interval) {
    {
        Mutex::ScopedLock lock(_queueMutex);
        _queryInterval = interval;
    }
    if (_client.isConnected()) {
        requestSections(interval, RequestQuery);
    } else {
        requestConnect(true, 0);
    }
}

void ArchivingSchedule::setBounds(const Bounds& bounds) {
    Mutex::ScopedLock lock(_stateMutex);
    _bounds = bounds;
}

Interval ArchivingSchedule::recordedInterval() const { return _siteStorage.recordedInterval(); }

int ArchivingSchedule::archiveSpeed() const { return ArchiveProfiler::parseArchiveSpeed(_lastSpeed.load()); }

void ArchivingSchedule::loadResumePosition() {
    {
        Mutex::ScopedLock lock(_positionMutex);
        _resume = ResumeRecord();
        _dirty = false;
    }
    if (!_siteStorage.isOpen() || !_initialised) {
        return;
    }
    // The group was (re)opened: what the archiver remembers of the records it
    // stored belongs to the files it had before.
    _client.archiver().open(_siteStorage.storageGroup());
    ResumeRecord record;
    if (!_client.loadResumePosition(record) || !record.isValid()) {
        return;
    }
    {
        Mutex::ScopedLock lock(_positionMutex);
        _resume = record;
        _lastArchived = record.time;
    }
    Mutex::ScopedLock lock(_stateMutex);
    _interval = Interval(record.time, plus(record.time, _chunkSeconds));
}

ResumeRecord ArchivingSchedule::resumePosition() const {
    Mutex::ScopedLock lock(_positionMutex);
    return _resume;
}

DateTime ArchivingSchedule::lastArchivedTime() const {
    Mutex::ScopedLock lock(_positionMutex);
    return _lastArchived;
}

int ArchivingSchedule::archiveFrom() const {
    Mutex::ScopedLock lock(_stateMutex);
    return _archiveFrom;
}

Interval ArchivingSchedule::currentInterval() const {
    Mutex::ScopedLock lock(_stateMutex);
    return _interval;
}

ConnectionInfo ArchivingSchedule::connection() const {
    Mutex::ScopedLock lock(_connectionMutex);
    return _connection;
}

ArchivingEvent ArchivingSchedule::lastFailure() const {
    Mutex::ScopedLock lock(_positionMutex);
    return _lastFailure;
}

// ---- requests ---------------------------------------------------------------------------------

void ArchivingSchedule::requestCommand(int command, uint32_t delaySeconds) {
    if (_disconnectRequested.load() && command != CommandFinish && command != CommandDisconnect) {
        trace("ArchivingSchedule::requestCommand : %d held back, the session is being dropped", command);
        command = CommandDisconnect;
        delaySeconds = 0;
    }
    trace("ArchivingSchedule::requestCommand : %d, delay = %u", command, delaySeconds);
    requestAt(command, plus(_clock.now(), delaySeconds));
}

void ArchivingSchedule::requestConnect(bool forQuery, uint32_t delaySeconds) {
    Mutex::ScopedLock lock(_connectMutex);
    const int old = _connectFlags;
    _connectFlags |= forQuery ? ConnectForQuery : ConnectForArchiving;
    if (old == 0) {
        requestCommand(CommandConnect, delaySeconds);
    }
}

int ArchivingSchedule::connectFlags() const {
    Mutex::ScopedLock lock(_connectMutex);
    return _connectFlags;
}

void ArchivingSchedule::clearConnectFlags() {
    Mutex::ScopedLock lock(_connectMutex);
    _connectFlags = 0;
}

void ArchivingSchedule::clearRequestQueue() {
    Mutex::ScopedLock lock(_queueMutex);
    _requestQueue.clear();
}

void ArchivingSchedule::requestSections(const Interval& interval, int kind) {
    bool sessionGone = false;
    {
        Mutex::ScopedLock lock(_queueMutex);
        if (_requestQueue.size() >= RequestQueueCapacity) {
            trace("ArchivingSchedule::requestSections : %zu requests outstanding, none sent", _requestQueue.size());
            return;
        }
        // Sent and queued as one step: the reply cannot be taken before its kind is queued.
        try {
            _client.requestRecordingTimeTable(interval);
            _requestQueue.push_back(kind);
        } catch (const InvalidSessionHandleException& e) {
            traceException(e);
            sessionGone = true;
        } catch (const Exception& e) {
            traceException(e);
        }
    }
    if (sessionGone) {
        clearConnectFlags();
    }
}

Interval ArchivingSchedule::boundedInterval(const Interval& interval) const {
    if (!bounded() || !interval.to().isSet() || !interval.to().greaterThan(_bounds.end)) {
        return interval;
    }
    return Interval(interval.from(), _bounds.end);
}

// ---- commands ----------------------------------------------------------------------------------

void ArchivingSchedule::perform(int32_t command) {
    try {
        switch (command) {
        case CommandConnect:
            performConnect();
            break;
        case CommandStart:
            performStart();
            break;
        case CommandContinue:
            performContinue();
            break;
        case CommandResume:
            performResume();
            break;
        case CommandFinish:
            performFinish();
            break;
        case CommandDisconnect:
            performDisconnect();
            break;
        default:
            break;
        }
    } catch (const Exception& e) {
        traceException(e);
        Mutex::ScopedLock lock(_stateMutex);
        reportError(ArchivingEvent{_handle, ArchivingEvent::InternalException, 0, messageOf(e)});
    }
}

void ArchivingSchedule::performConnect() {
    notify([this](ScheduleListener& l) { l.scheduleConnecting(_handle); });
    clearRequestQueue();
    const ConnectionInfo info = connection();
    ArchivingEvent failure{_handle, ArchivingEvent::ConnectFailed, 0, std::string()};
    try {
        if (_client.connect(info.address, info.port, info.user, info.password)) {
            return;
        }
    } catch (const Exception& e) {
        traceException(e);
        failure.text = messageOf(e);
    }
    if (takeQueryOnlyConnect()) {
        // Only a recording-list query wanted this connection: the failure is
        // the query's. The site is neither failed nor restarted for it; the
        // dialog that asked hears of it.
        notify([this](ScheduleListener& l) { l.scheduleQueryFailed(_handle); });
        return;
    }
    {
        Mutex::ScopedLock lock(_stateMutex);
        reportError(failure);
    }
    // Whatever failed, the flags go: a later request must be able to connect again.
    clearConnectFlags();
}

bool ArchivingSchedule::takeQueryOnlyConnect() {
    Mutex::ScopedLock lock(_connectMutex);
    if (_connectFlags != ConnectForQuery) {
        return false;
    }
    // The finish brings the listeners back from "connecting"; it is asked for
    // before the flags clear, so a start that comes in between connects anew
    // (its connect replaces the finish) instead of being lost.
    requestCommand(CommandFinish, 0);
    _connectFlags = 0;
    return true;
}

void ArchivingSchedule::claimConnectionForArchiving() {
    Mutex::ScopedLock lock(_connectMutex);
    _connectFlags |= ConnectForArchiving;
}

void ArchivingSchedule::performStart() {
    Mutex::ScopedLock lock(_stateMutex);
    if (_phase.load() == PhaseStop) {
        return;
    }
    notify([this](ScheduleListener& l) { l.scheduleStarting(_handle); });
    if (!_keepBackoff) {
        _reconnectDelay.reset();
    }
    _keepBackoff = false;
    switch (_archiveFrom) {
    case FromFirst:
    case FromLast:
        _interval = Interval(EarliestTime, LatestTime);
        break;
    case FromInterval:
        _interval = Interval(_interval.from(), plus(_interval.from(), _chunkSeconds));
        break;
    default:
        return;
    }
    _interval = boundedInterval(_interval);
    {
        Mutex::ScopedLock position(_positionMutex);
        _lastArchived = _interval.from();
    }
    _archivedSinceStart.store(false);
    if (bounded() && _interval.from().greaterThan(_bounds.end)) {
        complete();
        return;
    }
    requestSections(_interval, RequestArchiving);
}

void ArchivingSchedule::performContinue() {
    Mutex::ScopedLock lock(_stateMutex);
    if (_phase.load() == PhaseStop) {
        return;
    }
    notify([this](ScheduleListener& l) { l.scheduleStarting(_handle); });
    const Interval interval = boundedInterval(_interval);
    if (bounded() && interval.from().isSet() && interval.from().greaterThan(_bounds.end)) {
        complete();
        return;
    }
    requestSections(interval, RequestArchiving);
}

void ArchivingSchedule::performResume() {
    if (!_client.isConnected()) {
        requestConnect(false, 1);
        return;
    }
    const ResumeRecord record = resumePosition();
    if (!record.isValid()) {
        Mutex::ScopedLock lock(_stateMutex);
        reportError(ArchivingEvent{_handle, ArchivingEvent::InternalException, 0, "no resume position"});
        return;
    }
    notify([this](ScheduleListener& l) { l.scheduleResuming(_handle); });
    _client.postTruncate(record);
}

void ArchivingSchedule::performFinish() {
    // Frames the site sent before the disconnect are still on their way to
    // the group; "stopped" tells listeners they may change or close it, so
    // it waits for them (and the record stored here names the last of them).
    _client.waitForQueuedDeliveries(std::chrono::seconds(10));
    storeResumePosition();
    clearConnectFlags();
    {
        // Nothing goes on after a finish: a later resume() must start again.
        Mutex::ScopedLock lock(_stateMutex);
        _phase.store(PhaseStop);
    }
    if (_closeStoragePending.exchange(false)) {
        // The group file went away under a storage failure; the storage is
        // closed here, on the schedule's own thread, not on the media thread
        // that found the failure.
        _siteStorage.closeAll();
    }
    notify([this](ScheduleListener& l) { l.scheduleStopped(_handle); });
}

void ArchivingSchedule::performDisconnect() {
    if (!_client.isConnected()) {
        // The session ended already (its report came or comes on its own):
        // nothing is left to drop, later commands run as asked.
        _disconnectRequested.store(false);
    }
    _client.disconnect();
}

// ---- decisions under the state lock -------------------------------------------------------------

void ArchivingSchedule::post(const ArchivingEvent& event) {
    if (event.type != ArchivingEvent::SpeedChanged && event.type != ArchivingEvent::StorageDamaged) {
        Mutex::ScopedLock lock(_positionMutex);
        _lastFailure = event;
    }
    _events.post(event);
}

void ArchivingSchedule::reportError(const ArchivingEvent& event) {
    if (_phase.load() == PhaseStop) {
        return;
    }
    post(event);
    stopLocked();
    notify([this](ScheduleListener& l) { l.scheduleFailed(_handle); });
}

bool ArchivingSchedule::sessionEndedLocked() const { return _phase.load() == PhaseStop || _disconnected; }

void ArchivingSchedule::retry() {
    const int phase = _phase.load();
    if (sessionEndedLocked()) {
        return; // a late report after a stop or a disconnect never starts archiving again
    }
    // Once something was archived a retry continues behind it: starting over
    // would archive the last second again.
    if (phase != PhaseStart || _archivedSinceStart.load()) {
        _phase.store(PhaseContinue);
    }
    const DateTime last = lastArchivedTime();
    _interval = Interval(last, bounded() ? _bounds.end : LatestTime);
    trace("ArchivingSchedule::retry : _interval = %s", _interval.toString().c_str());
    notify([this](ScheduleListener& l) { l.scheduleRetrying(_handle); });
    if (bounded()) {
        // A bounded run looks once more at once; finding nothing new again
        // means everything up to its end is archived.
        if (_probed.exchange(true) || (last.isSet() && last.greaterThan(_bounds.end))) {
            complete();
            return;
        }
        requestCommand(CommandContinue, 0);
        return;
    }
    requestCommand(CommandContinue, static_cast<uint32_t>(_reconnectDelay.next()));
}

void ArchivingSchedule::restart() {
    if (sessionEndedLocked()) {
        return;
    }
    trace("ArchivingSchedule::restart : _interval = %s", _interval.toString().c_str());
    _phase.store(PhaseStart);
    // A site that lists sections but plays nothing is asked again on the
    // back-off, not in a tight loop.
    _keepBackoff = true;
    requestCommand(CommandStart, static_cast<uint32_t>(_reconnectDelay.next()));
}

void ArchivingSchedule::continues() {
    if (sessionEndedLocked()) {
        return;
    }
    _phase.store(PhaseContinue);
    _reconnectDelay.reset();
    const DateTime last = lastArchivedTime();
    _interval = Interval(last, plus(last, _chunkSeconds));
    trace("ArchivingSchedule::continues : _interval = %s", _interval.toString().c_str());
    requestCommand(CommandContinue, 0);
}

void ArchivingSchedule::complete() {
    trace("ArchivingSchedule::complete : %d", _handle);
    _completed.store(true);
    notify([this](ScheduleListener& l) { l.scheduleCompleted(_handle); });
    stopLocked();
}

ArchivingEvent ArchivingSchedule::storageEvent(int type) {
    ArchivingEvent event{_handle, type, 0, std::string()};
    if (Storage* current = _siteStorage.storageGroup().current()) {
        event.text = current->path();
    }
    // The failure's own words, so that the log says what went wrong.
    const std::string cause = _client.archiver().failureCause();
    if (!cause.empty()) {
        event.text += (event.text.empty() ? "" : ": ") + cause;
    }
    return event;
}

void ArchivingSchedule::failLocked(int code) {
    switch (code) {
    case NothingRecorded:
        retry();
        break;
    case PositionOverwritten: {
        if (sessionEndedLocked()) {
            return;
        }
        if (_bounds.stopWhenPositionOverwritten) {
            reportError(ArchivingEvent{_handle, ArchivingEvent::PositionOverwritten, 0, std::string()});
            return;
        }
        const DateTime time = resumePosition().time;
        startLocked(FromInterval, &time);
        break;
    }
    case StorageFull:
        post(ArchivingEvent{_handle, ArchivingEvent::StorageFull, 0, std::string()});
        stopLocked();
        break;
    case StorageIOError: {
        ArchivingEvent event = storageEvent(ArchivingEvent::StorageIOError);
        if (!_siteStorage.groupFileExists()) {
            event.text.clear();
            _closeStoragePending.store(true);
        }
        reportError(event);
        break;
    }
    default:
        reportError(storageEvent(ArchivingEvent::StorageBad));
        break;
    }
}

// ---- archiving client callbacks ----------------------------------------------------------------

void ArchivingSchedule::archivingConnected() {
    Mutex::ScopedLock lock(_stateMutex);
    _disconnected = false;
    clearRequestQueue();
    notify([this](ScheduleListener& l) { l.scheduleConnected(_handle); });
    const int flags = connectFlags();
    if ((flags & ConnectForQuery) != 0) {
        Interval query;
        {
            Mutex::ScopedLock queue(_queueMutex);
            query = _queryInterval;
        }
        requestSections(query, RequestQuery);
    }
    if ((flags & ConnectForArchiving) != 0) {
        trace("ArchivingSchedule::archivingConnected");
        switch (_phase.load()) {
        case PhaseStart:
            requestCommand(CommandStart, 0);
            break;
        case PhaseContinue:
            continues();
            break;
        case PhaseStop:
            requestCommand(CommandDisconnect, 0);
            break;
        case PhaseResume:
            requestCommand(CommandResume, 0);
            break;
        default:
            break;
        }
    } else if (flags == 0 && _phase.load() == PhaseStop) {
        // Connected after a stop already finished: nothing wants this connection.
        requestCommand(CommandDisconnect, 0);
    }
}

void ArchivingSchedule::archivingDisconnected(int reason) {
    Mutex::ScopedLock lock(_stateMutex);
    notify([this, reason](ScheduleListener& l) { l.scheduleDisconnected(_handle, reason); });
    clearRequestQueue();
    if (isErrorReason(reason)) {
        if (connectFlags() == ConnectForQuery) {
            // A connection made only for a recording-list query: its failure
            // is the query's (scheduleDisconnected above tells the dialog).
            notify([this](ScheduleListener& l) { l.scheduleQueryFailed(_handle); });
        } else {
            reportError(ArchivingEvent{_handle, ArchivingEvent::Disconnected, reason, std::string()});
        }
    }
    // Every disconnect ends in a finish (and scheduleStopped), also an error
    // disconnect that arrives while a stop is under way.
    _disconnected = true;
    _disconnectRequested.store(false);
    requestCommand(CommandFinish, 0);
    trace("ArchivingSchedule::archivingDisconnected : reason = %d", reason);
    _profiler.stop();
    _lastSpeed.store(0);
    clearConnectFlags();
}

void ArchivingSchedule::recordingSectionListReceived(const std::vector<RecordingTimeTableEntry>& list) {
    int kind = RequestArchiving;
    {
        Mutex::ScopedLock lock(_queueMutex);
        if (_requestQueue.empty()) {
            trace("ArchivingSchedule::recordingSectionListReceived : no request waits for this reply");
            return;
        }
        kind = _requestQueue.front();
        _requestQueue.pop_front();
    }
    if (kind != RequestArchiving) {
        MergedTimeTable result;
        result.assign(list);
        {
            Mutex::ScopedLock lock(_queueMutex);
            _queryResult = result;
        }
        notify([this, &result](ScheduleListener& l) { l.scheduleQueryListReceived(_handle, result); });
        if (connectFlags() == ConnectForQuery) {
            _client.disconnect();
        }
        return;
    }
    Mutex::ScopedLock lock(_stateMutex);
    const int phase = _phase.load();
    if (phase != PhaseStart && phase != PhaseContinue && phase != PhaseResume) {
        return; // a reply that arrives after a stop starts nothing
    }
    _sections.assign(list);
    Interval chosen;
    switch (_archiveFrom) {
    case FromLast:
        if (!_sections.empty()) {
            chosen = Interval(_sections.back().to(), _sections.back().to());
        }
        break;
    case FromFirst:
    case FromInterval:
        chosen = nextChunk(_sections, _interval.from(), _chunkSeconds + 1);
        break;
    default:
        return;
    }
    _archiveFrom = FromInterval;
    if (bounded() && chosen.from().isSet()) {
        const DateTime last = lastArchivedTime();
        if (chosen.from().greaterThan(_bounds.end) ||
            (phase == PhaseContinue && last.isSet() && !chosen.to().greaterThan(last))) {
            chosen = Interval(); // nothing new up to the end
        } else {
            chosen = boundedInterval(chosen);
        }
    }
    if (!chosen.from().isSet()) {
        retry();
        return;
    }
    _interval = chosen;
    {
        Mutex::ScopedLock position(_positionMutex);
        _chunkStart = chosen.from();
    }
    notify([this](ScheduleListener& l) { l.scheduleIntervalChosen(_handle); });
    try {
        switch (phase) {
        case PhaseStart:
            _client.playFirst(chosen);
            break;
        case PhaseContinue:
            _client.playContinue(chosen);
            break;
        case PhaseResume:
            _client.resume(chosen, resumePosition());
            _phase.store(PhaseContinue);
            break;
        default:
            break;
        }
    } catch (const Exception& e) {
        // The session went away under the request; its disconnect report follows.
        traceException(e);
    }
    _profiler.start();
}

void ArchivingSchedule::archivingStopped(bool noFrame) {
    Mutex::ScopedLock lock(_stateMutex);
    _profiler.stop();
    _lastSpeed.store(0);
    // Every frame of the chunk has been handed over and nothing is playing:
    // the record is written now, before a next play could drop a queued store.
    storeResumePositionAtChunkEnd();
    if (sessionEndedLocked()) {
        return;
    }
    if (bounded() && _interval.to().isSet() && !_interval.to().lessThan(_bounds.end)) {
        complete();
        return;
    }
    if (noFrame) {
        if (bounded() || contains(_interval, resumePosition().time)) {
            retry();
        } else {
            restart();
        }
        return;
    }
    const DateTime last = lastArchivedTime();
    if (last.isSet() && _interval.from().isSet() &&
        DateTime::secondsBetween(last, _interval.from()) >= MinimumProgressSeconds) {
        continues();
    } else {
        retry();
    }
}

void ArchivingSchedule::archivingFailed(int code) {
    Mutex::ScopedLock lock(_stateMutex);
    _profiler.stop();
    _lastSpeed.store(0);
    failLocked(code);
}

void ArchivingSchedule::frameArchived(const MediaFrame& frame, uint32_t mediaIDLow, uint32_t mediaIDHigh) {
    const uint64_t mediaID = (uint64_t{mediaIDHigh} << 32) | mediaIDLow;
    const DateTime time = frame.time();
    int64_t gained = 0;
    bool moved = false;
    bool sectionChanged = false;
    uint32_t sectionID = 0;
    if (frame.isVideo()) {
        sectionID = _siteStorage.storageGroup().lastSectionID();
        sectionChanged = _siteStorage.groupFile().lastRecordingSectionID() != sectionID;
    }
    {
        Mutex::ScopedLock lock(_positionMutex);
        if (frame.isVideo()) {
            _resume.position = _client.lastArchivedVideoPosition();
            _resume.sectionID = sectionID;
            _resume.time = time;
            _resume.mediaID = mediaID;
        }
        const int64_t d = _lastArchived.isSet() ? DateTime::secondsBetween(_lastArchived, time) : 0;
        if (!_lastArchived.isSet() || d != 0) {
            // Recorded time gained counts only within the chunk: the jump from
            // a start point far before the first section is no archived time.
            if (_lastArchived.isSet() && _chunkStart.isSet() && !_lastArchived.lessThan(_chunkStart)) {
                gained = -d;
            }
            _lastArchived = time;
            moved = true;
        }
        _dirty = true;
    }
    _archivedFrames.fetch_add(1);
    _archivedBytes.fetch_add(MediaFrame::HeaderSize + frame.dataLength());
    if (frame.isVideo()) {
        _archivedSinceStart.store(true);
    }
    if (sectionChanged) {
        _siteStorage.groupFile().setLastRecordingSectionID(sectionID);
    }
    if (moved) {
        _probed.store(false);
        notify([this, &time](ScheduleListener& l) { l.schedulePositionChanged(_handle, time); });
        if (_profiler.isRunning() && gained != 0) {
            _profiler.add(gained);
        }
    }
}

void ArchivingSchedule::archivingCallback() {
    Mutex::ScopedLock lock(_stateMutex);
    // A cut back that failed leaves the client in a storage failure phase:
    // archiving on top of it would repeat or lose frames.
    switch (_client.phase()) {
    case NetworkArchivingClient::PhaseStorageIOError:
        _client.setPhase(NetworkArchivingClient::PhaseIdle);
        failLocked(StorageIOError);
        return;
    case NetworkArchivingClient::PhaseStorageFull:
    case NetworkArchivingClient::PhaseStorageFailure:
        _client.setPhase(NetworkArchivingClient::PhaseIdle);
        failLocked(StorageFailure);
        return;
    default:
        break;
    }
    if (!sessionEndedLocked()) {
        requestCommand(CommandContinue, 0);
    }
}

// ---- storage group --------------------------------------------------------------------------------

void ArchivingSchedule::recordingStorageChanging(StorageGroup&) { storeResumePositionNow(); }

void ArchivingSchedule::recordingStorageChanged(StorageGroup& group) {
    storeResumePositionNow();
    {
        Mutex::ScopedLock lock(_positionMutex);
        _lastStored = DateTime();
        _dirty = false;
    }
    _siteStorage.groupFile().setLastStorageID(group.storageID());
    _siteStorage.groupFile().setLastRecordingSectionID(group.lastSectionID());
}

void ArchivingSchedule::storageDamaged(StorageGroup&, Storage& member, const std::string& report) {
    const ArchivingEvent event{_handle, ArchivingEvent::StorageDamaged, 0, member.path() + ": " + report};
    post(event);
    notify([this, &event](ScheduleListener& l) { l.scheduleStorageDamaged(_handle, event.text); });
}

// ---- idle work and the resume position ---------------------------------------------------------------

void ArchivingSchedule::idle() {
    speedCheck();
    positionCheck();
}

void ArchivingSchedule::speedCheck() {
    if (!_profiler.isRunning() || _profiler.elapsed() <= SpeedWindowMilliseconds) {
        return;
    }
    const int speed = _profiler.archiveSpeed();
    const int last = _lastSpeed.load();
    if (last == ArchiveProfiler::SpeedNone || speed != last) {
        _lastSpeed.store(speed);
        post(ArchivingEvent{_handle, ArchivingEvent::SpeedChanged, speed, std::string()});
    }
    _profiler.restartWindow();
}

void ArchivingSchedule::positionCheck() {
    bool due = false;
    {
        Mutex::ScopedLock lock(_positionMutex);
        if (!_dirty) {
            return;
        }
        due = !_lastStored.isSet() ||
              (_lastArchived.isSet() && DateTime::secondsBetween(_lastArchived, _lastStored) > StoreEverySeconds);
    }
    uint32_t every = 0;
    {
        Mutex::ScopedLock lock(_stateMutex);
        every = _bounds.storeEveryMilliseconds;
    }
    if (!due && every != 0) {
        Mutex::ScopedLock lock(_positionMutex);
        due = _clock.elapsedSince(_lastStoreTick) >= every;
    }
    if (due) {
        storeResumePosition();
    }
}

void ArchivingSchedule::storeResumePosition() {
    ResumeRecord record;
    {
        Mutex::ScopedLock lock(_positionMutex);
        if (!_dirty) {
            return;
        }
        record = _resume;
        _lastStored = _lastArchived;
        _lastStoreTick = _clock.tickCount();
        _dirty = false;
    }
    if (record.isValid()) {
        _client.saveResumePosition(record, false);
    }
}

void ArchivingSchedule::storeResumePositionAtChunkEnd() {
    ResumeRecord record;
    {
        Mutex::ScopedLock lock(_positionMutex);
        if (!_dirty) {
            return;
        }
        record = _resume;
        _lastStored = _lastArchived;
        _lastStoreTick = _clock.tickCount();
        _dirty = false;
    }
    if (record.isValid()) {
        _client.saveResumePosition(record, true);
    }
}

void ArchivingSchedule::storeResumePositionNow() {
    const ResumeRecord record = resumePosition();
    if (record.isValid()) {
        _client.saveResumePosition(record, true);
    }
}

// ---- chunks ------------------------------------------------------------------------------------------

Interval ArchivingSchedule::nextChunk(const MergedTimeTable& sections, const DateTime& from, int seconds) {
    int64_t accumulated = 0;
    DateTime start;
    DateTime end;
    bool first = true;
    for (const Interval& section : sections) {
        if (section.to().isSet() && from.isSet() && section.to().lessThan(from)) {
            continue;
        }
        // The first section counts from where the chunk starts in it (which
        // may be inside it), every later one from its own beginning.
        DateTime base = section.from();
        if (first) {
            start = contains(section, from) ? from : section.from();
            base = start;
            first = false;
        }
        const int64_t length = DateTime::secondsBetween(section.to(), base) + 1;
        if (accumulated + length >= seconds) {
            end = plus(base, seconds - accumulated - 1);
            return Interval(start, end);
        }
        end = section.to();
        accumulated += length;
    }
    return Interval(start, end);
}

} // namespace ostrel
