#include "app/archiving/NetworkArchivingClient.h"

#include "base/Trace.h"
#include "network/client/NetworkPlaybackClient.h"
#include "network/client/NetworkPlaybackContext.h"
#include "network/protocol/playback/EventListRequest.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/PlayRequest.h"
#include "network/protocol/playback/TextInFrame.h"

#include <cinttypes>
#include <mutex>
#include <tuple>

namespace ostrel {

namespace {

bool notAfter(const MediaPosition& a, const MediaPosition& b) {
    return std::make_tuple(a.first(), a.second(), a.third()) <= std::make_tuple(b.first(), b.second(), b.third());
}

} // namespace

NetworkArchivingClient::NetworkArchivingClient(std::shared_ptr<NetworkPlaybackContext> context)
    : _context(std::move(context)) {}

NetworkArchivingClient::~NetworkArchivingClient() {
    if (_playback) {
        _playback->shutdown();
    }
}

void NetworkArchivingClient::setUp(StorageGroup& group, int bufferSize, ArchivingDelegate* delegate) {
    _delegate = delegate;
    _playback = std::make_unique<NetworkPlaybackClient>(_context);
    _playback->start(bufferSize, this);
    _archiver.open(group);
}

bool NetworkArchivingClient::cleanup(const std::function<void()>& beforeClose) {
    trace("NetworkArchivingClient::cleanup");
    if (_playback) {
        _playback->shutdown();
        _playback.reset();
    }
    // Resume stores that never reached the media dispatcher still belong in
    // the group; truncates are left to the next run, which starts from the
    // stored record anyway.
    {
        std::lock_guard lock(_callbackMutex);
        for (const PendingCallback& pending : _callbacks) {
            if (pending.kind == CallbackStoreResume) {
                _archiver.storeResumeRecord(pending.record);
            }
        }
        _callbacks.clear();
    }
    if (beforeClose) {
        beforeClose();
    }
    const bool closed = _archiver.close();
    _delegate = nullptr;
    return closed;
}

bool NetworkArchivingClient::connect(std::string_view address, uint16_t port, std::string_view user,
                                     std::string_view password) {
    return _playback && _playback->connect(address, port, user, password) != -1;
}

bool NetworkArchivingClient::isConnected() const { return _playback && _playback->isConnected(); }

void NetworkArchivingClient::disconnect() {
    if (_playback) {
        _playback->disconnect(true);
    }
}

void NetworkArchivingClient::requestRecordingTimeTable(const Interval& range) {
    _playback->requestRecordingTimeTable(range, _channels);
}

void NetworkArchivingClient::startStretch(const Interval& range, int phase) {
    _range = range;
    _phase.store(phase);
    _playback->requestSectionList(range, _channels);
}

void NetworkArchivingClient::playFirst(const Interval& range) {
    _archiveWhileJumping = true;
    _waitForKeyFrame = true;
    _resumeTime = DateTime();
    // A first play starts wherever its owner says: nothing earlier is assumed stored.
    _archivedUpTo.reset();
    startStretch(range, PhaseFirstPlay);
}

void NetworkArchivingClient::playContinue(const Interval& range) {
    _archiveWhileJumping = true;
    _waitForKeyFrame = false;
    startStretch(range, PhaseContinuation);
}

void NetworkArchivingClient::resume(const Interval& range, const ResumeRecord& record) {
    trace("NetworkArchivingClient::resume : %s, (%u, %u)", range.toString().c_str(), record.position.second(),
          record.position.third());
    _archiveWhileJumping = false;
    _waitForKeyFrame = false;
    _resumePosition = record.position;
    _resumeTime = record.time;
    // Everything up to the resume frame is in the group (the owner truncated
    // the group after it); the play after the jump starts at the beginning
    // of its second.
    _archivedUpTo = record.position;
    startStretch(range, PhaseResume);
}

void NetworkArchivingClient::stopPlayback() {
    if (_playback) {
        _playback->stop();
        runDroppedCallbacks();
    }
}

void NetworkArchivingClient::saveResumePosition(const ResumeRecord& record, bool immediately) {
    if (!record.isValid()) {
        return;
    }
    if (immediately) {
        _archiver.storeResumeRecord(record);
        return;
    }
    post(CallbackStoreResume, record);
}

bool NetworkArchivingClient::waitForQueuedDeliveries(std::chrono::milliseconds bound) {
    uint64_t wanted = 0;
    {
        std::lock_guard lock(_markerMutex);
        wanted = _markersRun + 1;
    }
    // Callbacks are delivered in queue order, behind every frame queued
    // before them; without a queue post() runs the marker at once.
    post(CallbackMarker, ResumeRecord());
    std::unique_lock lock(_markerMutex);
    if (_markerRun.wait_for(lock, bound, [&] { return _markersRun >= wanted; })) {
        return true;
    }
    trace("NetworkArchivingClient::waitForQueuedDeliveries : still delivering after %lld ms",
          static_cast<long long>(bound.count()));
    return false;
}

void NetworkArchivingClient::postTruncate(const ResumeRecord& record) { post(CallbackTruncate, record); }

void NetworkArchivingClient::post(int kind, const ResumeRecord& record) {
    PendingCallback* pending = nullptr;
    {
        std::lock_guard lock(_callbackMutex);
        _callbacks.push_back(PendingCallback{kind, record});
        pending = &_callbacks.back();
    }
    if (_playback && _playback->postCallback(kind, pending)) {
        return;
    }
    // No queue to go through (closed, or full on the dispatcher's own thread):
    // nothing is waiting to be delivered before it, so run it now.
    {
        std::lock_guard lock(_callbackMutex);
        for (auto it = _callbacks.begin(); it != _callbacks.end(); ++it) {
            if (&*it == pending) {
                _callbacks.erase(it);
                break;
            }
        }
    }
    runCallback(kind, record);
}

void NetworkArchivingClient::runDroppedCallbacks() {
    std::list<PendingCallback> dropped;
    {
        std::lock_guard lock(_callbackMutex);
        dropped.swap(_callbacks);
    }
    for (const PendingCallback& pending : dropped) {
        runCallback(pending.kind, pending.record);
    }
}

bool NetworkArchivingClient::loadResumePosition(ResumeRecord& record) { return _archiver.loadResumeRecord(record); }

MediaPosition NetworkArchivingClient::lastVideoPosition() const {
    return _playback ? _playback->lastVideoPosition() : MediaPosition();
}

MediaPosition NetworkArchivingClient::lastArchivedVideoPosition() const { return _lastArchivedVideo; }

// ---- request sequence --------------------------------------------------------------------

void NetworkArchivingClient::request(const char* type) { trace("NetworkArchivingClient::request : type = %s,", type); }

void NetworkArchivingClient::play() {
    _phase.store(PhaseWaitingForPlaybackStart);
    trace("NetworkArchivingClient::play : PhaseWaitingForPlaybackStart");
    request("Play");
    _playback->play(PlayRequest::play(_range, _channels, PlayRequest::Forward, 1, 3));
}

void NetworkArchivingClient::playbackRecordingSectionListReceived(int, const BitMask32&, const Interval&,
                                                                  const std::vector<uint32_t>& sectionIDs) {
    const int phase = _phase.load();
    if (phase != PhaseFirstPlay && phase != PhaseContinuation && phase != PhaseResume) {
        return;
    }
    _archiver.setKnownSections(sectionIDs);
    if (sectionIDs.empty()) {
        if (_delegate != nullptr) {
            _delegate->archivingFailed(ArchivingDelegate::NothingRecorded);
        }
        return;
    }
    trace("NetworkArchivingClient::playbackRecordingSectionListReceived : requestEventList : %s",
          _range.toString().c_str());
    _playback->requestEventList(EventListRequest(_range, _channels, 0xFFFFFFFF, 0xFFFFFFFF));
}

void NetworkArchivingClient::playbackEventListReceived(int, const std::vector<EventListEntry>& list) {
    const int phase = _phase.load();
    if (phase != PhaseFirstPlay && phase != PhaseContinuation && phase != PhaseResume) {
        return;
    }
    trace("NetworkArchivingClient::playbackEventListReceived : %d events", static_cast<int>(list.size()));
    _archiver.setPendingEvents(list);
    switch (phase) {
    case PhaseFirstPlay:
        _phase.store(PhaseJumping);
        _positionMismatch = false;
        request("Jump");
        _playback->play(PlayRequest(PlayRequest::Jump, _range, _channels, 1, _archiver.smallestKnownSection(), 0));
        break;
    case PhaseContinuation:
        play();
        break;
    case PhaseResume:
        _phase.store(PhaseJumping);
        _positionMismatch = false;
        request("Jump");
        _playback->jumpToPosition(_resumePosition, 0);
        break;
    default:
        break;
    }
}

void NetworkArchivingClient::playbackStarted(int, uint32_t) {
    int expected = PhaseWaitingForPlaybackStart;
    _phase.compare_exchange_strong(expected, PhasePlaying);
}

void NetworkArchivingClient::playbackStopped(int, uint32_t reason) {
    const int phase = _phase.load();
    trace("NetworkArchivingClient::playbackStopped : _phase = %d, PauseReason = %u", phase, reason);
    auto failed = [this](int code) {
        _phase.store(PhaseIdle);
        if (_delegate != nullptr) {
            _delegate->archivingFailed(code);
        }
    };
    switch (phase) {
    case PhaseFirstPlay:
    case PhaseContinuation:
    case PhaseResume:
        if (reason == 1) {
            _phase.store(PhaseIdle);
        }
        break;
    case PhaseWaitingForPlaybackStart:
        _phase.store(PhaseIdle);
        if (_delegate != nullptr) {
            _delegate->archivingStopped(true);
        }
        break;
    case PhaseJumping:
        if ((reason == 4 || reason == 10) && !_positionMismatch) {
            _archiveWhileJumping = true;
            play();
        } else {
            trace("\tposition to jump is overwritten");
            failed(ArchivingDelegate::PositionOverwritten);
        }
        break;
    case PhasePlaying:
        _phase.store(PhaseIdle);
        if (_delegate != nullptr) {
            _delegate->archivingStopped(false);
        }
        break;
    case PhaseStorageIOError:
        failed(ArchivingDelegate::StorageIOError);
        break;
    case PhaseStorageFull:
        failed(ArchivingDelegate::StorageFull);
        break;
    case PhaseStorageFailure:
        failed(ArchivingDelegate::StorageFailure);
        break;
    default:
        break;
    }
}

// ---- frames ------------------------------------------------------------------------------

bool NetworkArchivingClient::alreadyArchived(const MediaPosition& position) const {
    return _archivedUpTo && notAfter(position, *_archivedUpTo);
}

void NetworkArchivingClient::markArchived(const MediaPosition& position) {
    if (!_archivedUpTo || !notAfter(position, *_archivedUpTo)) {
        _archivedUpTo = position;
    }
}

void NetworkArchivingClient::playbackVideoFrameReceived(int, bool flag, int, const MediaFrame& frame,
                                                        const MediaPosition& position) {
    if (!flag) {
        return;
    }
    if (_waitForKeyFrame) {
        if (frame.frameIndex() != 0) {
            return;
        }
        _waitForKeyFrame = false;
    }
    archiveOrCompare(frame, position);
}

void NetworkArchivingClient::playbackAudioFrameReceived(int, const MediaFrame& frame, const MediaPosition& position) {
    if (_waitForKeyFrame) {
        return;
    }
    archiveOrCompare(frame, position);
}

void NetworkArchivingClient::playbackTextInReceived(int, const TextInFrame& frame, const MediaPosition& position) {
    if (_waitForKeyFrame) {
        return;
    }
    const int phase = _phase.load();
    if (phase >= PhaseStorageIOError) {
        return; // a storage failure is stopping the playback
    }
    if (phase == PhaseJumping && !_archiveWhileJumping) {
        return;
    }
    if (alreadyArchived(position)) {
        return;
    }
    if (_archiver.archiveTextIn(frame, position)) {
        markArchived(position);
    } else {
        stopPlayback();
    }
}

void NetworkArchivingClient::archiveOrCompare(const MediaFrame& frame, const MediaPosition& position) {
    const int phase = _phase.load();
    if (phase >= PhaseStorageIOError) {
        return; // a storage failure is stopping the playback: nothing more is written
    }
    if (_archiveWhileJumping || phase != PhaseJumping) {
        if (alreadyArchived(position)) {
            return;
        }
        uint64_t mediaID = 0;
        if (!_archiver.archiveMediaFrame(frame, position, mediaID)) {
            stopPlayback();
            return;
        }
        markArchived(position);
        if (frame.isVideo()) {
            _lastArchivedVideo = position;
        }
        if (_delegate != nullptr) {
            _delegate->frameArchived(frame, static_cast<uint32_t>(mediaID), static_cast<uint32_t>(mediaID >> 32));
        }
        return;
    }
    // A resume jump: the frames at the resume position only show whether the
    // site still holds what was archived there. Any frame of another time
    // means the position was overwritten.
    if (_resumeTime.isSet() && !(frame.time() == _resumeTime)) {
        _positionMismatch = true;
    }
}

// ---- callbacks and reports -----------------------------------------------------------------

void NetworkArchivingClient::runCallback(int kind, const ResumeRecord& record) {
    if (kind == CallbackStoreResume) {
        trace("NetworkArchivingClient::playbackCallback : flush");
        trace("\tlastVideoPosition = %u : (%u, %u)", record.position.first(), record.position.second(),
              record.position.third());
        trace("\tlastVideoSectionID = %u", record.sectionID);
        trace("\tlastVideoTime = %s", record.time.toString().c_str());
        trace("\tlastVideoMediaID = %" PRIu64, record.mediaID);
        _archiver.storeResumeRecord(record);
    } else if (kind == CallbackTruncate) {
        _archiver.truncateAfter(record);
        if (_delegate != nullptr) {
            _delegate->archivingCallback();
        }
    } else if (kind == CallbackMarker) {
        {
            std::lock_guard lock(_markerMutex);
            ++_markersRun;
        }
        _markerRun.notify_all();
    }
}

void NetworkArchivingClient::playbackCallback(int, int kind, void* record) {
    PendingCallback pending{kind, ResumeRecord()};
    {
        std::lock_guard lock(_callbackMutex);
        auto it = _callbacks.begin();
        while (it != _callbacks.end() && static_cast<void*>(&*it) != record) {
            ++it;
        }
        if (it == _callbacks.end()) {
            return; // already run after a stop
        }
        pending = *it;
        _callbacks.erase(it);
    }
    runCallback(pending.kind, pending.record);
}

void NetworkArchivingClient::playbackConnected(int) {
    if (_delegate != nullptr) {
        _delegate->archivingConnected();
    }
}

void NetworkArchivingClient::playbackDisconnected(int, int reason) {
    if (_delegate != nullptr) {
        _delegate->archivingDisconnected(reason);
    }
}

void NetworkArchivingClient::playbackRemoteSystemInfoReceived(int, const RemoteSystemInfo& info) {
    _archiver.storeChannelCounts(info);
}

void NetworkArchivingClient::playbackRecordingTimeTableReceived(int, const std::vector<RecordingTimeTableEntry>& list) {
    if (_delegate != nullptr) {
        _delegate->recordingSectionListReceived(list);
    }
}

} // namespace ostrel
