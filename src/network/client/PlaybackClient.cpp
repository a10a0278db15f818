#include "network/client/PlaybackClient.h"

#include "base/ByteBuffer.h"
#include "base/ByteBufferException.h"
#include "base/Trace.h"
#include "base/thread/Thread.h"
#include "network/BlockingRecordQueue.h"
#include "network/RecordSizeException.h"
#include "network/client/IPlaybackClientListener.h"
#include "network/protocol/playback/PlayRequest.h"
#include "network/protocol/playback/TextInFrame.h"

#include <cstring>

namespace ostrel {
namespace {

constexpr uint8_t Padding[4] = {};

void putPosition(ByteBuffer& buffer, const MediaPosition& position) {
    buffer.putInt(position.first());
    buffer.putInt(position.second());
    buffer.putInt(position.third());
}

MediaPosition getPosition(ByteBuffer& buffer) {
    const uint32_t first = buffer.getInt();
    const uint32_t second = buffer.getInt();
    const uint32_t third = buffer.getInt();
    return MediaPosition(first, second, third);
}

} // namespace

PlaybackClient::PlaybackClient() = default;

PlaybackClient::~PlaybackClient() = default;

// ---- playback events ------------------------------------------------------------------

void PlaybackClient::play(const PlayRequest& request) { _stateMachine.play(PlaybackRequestRecord::play(request)); }

void PlaybackClient::jumpToPosition(const MediaPosition& position, uint64_t value) {
    _stateMachine.play(PlaybackRequestRecord::jumpToPosition(position, value));
}

void PlaybackClient::jumpToMediaID(uint32_t value, uint64_t mediaID, const BitMask32& channels) {
    _stateMachine.play(PlaybackRequestRecord::jumpToMediaID(value, mediaID, channels));
}

void PlaybackClient::jumpToNearPosition(const MediaPosition& position, const DateTime& time, int value,
                                        const BitMask32& channels) {
    _stateMachine.play(PlaybackRequestRecord::jumpToNearPosition(position, time, value, channels));
}

void PlaybackClient::stop() {
    _stateMachine.stop();
    waitForDelivery();
}

bool PlaybackClient::postCallback(int kind, void* record) {
    const uint32_t words[3] = {static_cast<uint32_t>(sessionHandle()), CallbackRecord, static_cast<uint32_t>(kind)};
    const RecordRing::Part parts[] = {{words, sizeof words}, {&record, sizeof record}};
    return post(parts, false);
}

// ---- observers ---------------------------------------------------------------------------

MediaPosition PlaybackClient::lastPosition() const {
    Mutex::ScopedLock lock(_mutex);
    return _lastPosition;
}

MediaPosition PlaybackClient::lastVideoPosition() const {
    Mutex::ScopedLock lock(_mutex);
    return _lastVideoPosition;
}

uint64_t PlaybackClient::lastMediaID() const {
    Mutex::ScopedLock lock(_mutex);
    return _lastMediaID;
}

DateTime PlaybackClient::lastTime() const {
    Mutex::ScopedLock lock(_mutex);
    return _lastTime;
}

int PlaybackClient::lastChannel() const {
    Mutex::ScopedLock lock(_mutex);
    return _lastChannel;
}

bool PlaybackClient::isStopped() const {
    Mutex::ScopedLock lock(_mutex);
    return _stopped;
}

PlaybackRequestRecord PlaybackClient::currentRequest() const {
    Mutex::ScopedLock lock(_mutex);
    return _currentRequest;
}

RemoteSystemInfo PlaybackClient::remoteSystemInfo() const {
    Mutex::ScopedLock lock(_mutex);
    return _remoteSystemInfo;
}

ProductInfo PlaybackClient::productInfo() const {
    Mutex::ScopedLock lock(_mutex);
    return _productInfo;
}

// ---- for the network side ------------------------------------------------------------------

void PlaybackClient::attachQueue(MediaDispatcher& dispatcher, int bufferSize, IPlaybackClientListener* listener) {
    auto queue = std::make_shared<BlockingRecordQueue>(bufferSize);
    // No memory until a connection brings records.
    queue->setReleaseWhenEmpty(true);
    {
        Mutex::ScopedLock lock(_mutex);
        _listener = listener;
        _dispatcher.store(&dispatcher, std::memory_order_release);
        _queue = queue;
        _producerQueue.store(queue.get(), std::memory_order_release);
    }
    dispatcher.registerClient(*this, std::move(queue));
}

void PlaybackClient::detachQueue() {
    // Not under the client mutex: unregistering waits for a delivery in progress,
    // which takes it.
    MediaDispatcher* dispatcher = _dispatcher.load(std::memory_order_acquire);
    if (dispatcher != nullptr) {
        dispatcher->unregisterClient(*this);
    }
    wakeProducer();
}

void PlaybackClient::releaseQueue() {
    Mutex::ScopedLock lock(_mutex);
    _producerQueue.store(nullptr, std::memory_order_release);
    _queue.reset();
    setPendingStop(std::nullopt);
}

bool PlaybackClient::hasQueue() const {
    Mutex::ScopedLock lock(_mutex);
    return _queue != nullptr;
}

void PlaybackClient::setQueueInUse(bool inUse) {
    Mutex::ScopedLock lock(_mutex);
    if (_queue) {
        _queue->setReleaseWhenEmpty(!inUse);
    }
}

std::size_t PlaybackClient::queueAllocatedBytes() const {
    Mutex::ScopedLock lock(_mutex);
    return _queue ? _queue->allocatedBytes() : 0;
}

void PlaybackClient::clearQueue() {
    {
        Mutex::ScopedLock lock(_mutex);
        if (_queue) {
            _queue->clear();
        }
        setPendingStop(std::nullopt);
    }
    wakeProducer();
}

void PlaybackClient::waitForRoom(BlockingRecordQueue& queue, std::size_t length) {
    // Room for the record and a quarter of the queue: a ring whose records are
    // being consumed always gets there, at the latest when it is empty.
    const int wanted = static_cast<int>(std::max<std::size_t>(length, static_cast<std::size_t>(queue.capacity() / 4)));
    Mutex::ScopedLock lock(_roomMutex);
    _roomWanted.store(wanted, std::memory_order_seq_cst);
    _producerWaiting.store(true, std::memory_order_seq_cst);
    // The waits are short and re-checked, so a queue closed or emptied by
    // someone who does not signal is noticed anyway.
    while (!queue.isClosed() && queue.freeSpace() < wanted) {
        _room.wait(RoomCheckMilliseconds);
    }
    _producerWaiting.store(false, std::memory_order_seq_cst);
}

void PlaybackClient::signalRoom() {
    if (!_producerWaiting.load(std::memory_order_seq_cst)) {
        return;
    }
    BlockingRecordQueue* queue = _producerQueue.load(std::memory_order_acquire);
    if (queue != nullptr && queue->freeSpace() >= _roomWanted.load(std::memory_order_seq_cst)) {
        wakeProducer();
    }
}

void PlaybackClient::wakeProducer() {
    Mutex::ScopedLock lock(_roomMutex);
    _room.notifyAll();
}

void PlaybackClient::setPendingStop(std::optional<uint32_t> reason) {
    _pendingStop = reason;
    _stopPending.store(reason.has_value(), std::memory_order_release);
}

void PlaybackClient::queueTextIn(const TextInFrame& frame, const MediaPosition& position) {
    uint8_t bytes[8 + MediaPosition::WireSize + TextInFrame::SerializedSize];
    ByteBuffer buffer(bytes, sizeof bytes);
    buffer.putInt(static_cast<uint32_t>(sessionHandle()));
    buffer.putInt(TextInRecord);
    putPosition(buffer, position);
    frame.write(buffer);
    const RecordRing::Part parts[] = {{bytes, sizeof bytes}};
    post(parts, true);
}

void PlaybackClient::clearLastPosition() {
    Mutex::ScopedLock lock(_mutex);
    _lastPosition = MediaPosition();
}

void PlaybackClient::setRemoteSystemInfo(const RemoteSystemInfo& info) {
    Mutex::ScopedLock lock(_mutex);
    _remoteSystemInfo = info;
}

void PlaybackClient::setProductInfo(const ProductInfo& info) {
    Mutex::ScopedLock lock(_mutex);
    _productInfo = info;
}

bool PlaybackClient::post(std::span<const RecordRing::Part> parts, bool isFrame) {
    MediaDispatcher* dispatcher = _dispatcher.load(std::memory_order_acquire);
    if (dispatcher == nullptr) {
        return false;
    }
    try {
        BlockingRecordQueue* queue = _producerQueue.load(std::memory_order_acquire);
        if (queue != nullptr && !dispatcher->isDispatcherThread()) {
            const std::size_t length = RecordRing::totalLength(parts);
            if (length <= static_cast<std::size_t>(queue->largestRecord()) &&
                queue->freeSpace() < static_cast<int>(length)) {
                waitForRoom(*queue, length);
            }
        }
        // Not under the client mutex: this may wait for the media dispatcher,
        // whose deliveries take that mutex.
        return dispatcher->post(*this, parts);
    } catch (const RecordSizeException& e) {
        // A record the queue can never hold: waiting would block the network
        // thread for good, so it is dropped instead.
        traceException(e);
        trace("PlaybackClient: record of %zu bytes dropped, larger than the queue can hold\n", e.recordSize());
        if (isFrame) {
            _droppedFrames.fetch_add(1, std::memory_order_relaxed);
        }
        return false;
    }
}

// ---- state machine context ---------------------------------------------------------------

void PlaybackClient::sendPlay(const PlaybackRequestRecord& request) {
    {
        Mutex::ScopedLock lock(_mutex);
        if (_queue) {
            _queue->clear();
        }
        setPendingStop(std::nullopt);
        _stopped = false;
    }
    wakeProducer();
    sendPlayRequest(request);
}

void PlaybackClient::sendStop() {
    Mutex::ScopedLock lock(_mutex);
    if (_queue) {
        _queue->clear();
    }
    setPendingStop(std::nullopt);
    _stopped = true;
    wakeProducer();
    try {
        sendPauseRequest(_lastPosition);
    } catch (const Exception& e) {
        traceException(e);
    }
}

void PlaybackClient::announce(const PlaybackRequestRecord& request) {
    Mutex::ScopedLock lock(_mutex);
    _currentRequest = request;
}

void PlaybackClient::reportStopped(uint32_t reason) {
    trace("PlaybackClient::playbackStopped : reason = %d\n", static_cast<int>(reason));
    if (reason == 3) {
        reason = 10;
    }
    Mutex::ScopedLock lock(_mutex);
    postStopped(reason);
}

void PlaybackClient::postStopped(uint32_t reason) {
    MediaDispatcher* dispatcher = _dispatcher.load(std::memory_order_acquire);
    if (dispatcher == nullptr || !_queue) {
        return;
    }
    const uint32_t words[3] = {static_cast<uint32_t>(sessionHandle()), StoppedRecord, reason};
    try {
        // Never waits: the caller holds the state machine's mutex, which the
        // listener may need while the media dispatcher makes room.
        if (dispatcher->tryPost(*this, {{words, sizeof words}})) {
            setPendingStop(std::nullopt);
            return;
        }
    } catch (const RecordSizeException& e) {
        traceException(e);
        trace("PlaybackClient: stop notice dropped, the queue is too small for it\n");
        return;
    }
    if (!_queue->isClosed()) {
        // The queue is full of frames: the notice follows them as soon as the
        // media dispatcher has delivered one.
        setPendingStop(reason);
    }
}

void PlaybackClient::flushPendingStop() {
    if (!_stopPending.load(std::memory_order_acquire)) {
        return;
    }
    Mutex::ScopedLock lock(_mutex);
    if (_pendingStop) {
        postStopped(*_pendingStop);
    }
}

void PlaybackClient::notifyStarted(const PlaybackRequestRecord& request) {
    if (_listener != nullptr) {
        _listener->playbackStarted(sessionHandle(), request.startedMode());
    }
}

void PlaybackClient::deliverFrame(const MediaFrame& frame, bool flag, const MediaPosition& position,
                                  const PlaybackRequestRecord& request) {
    uint8_t header[FrameRecordHeaderSize];
    ByteBuffer buffer(header, sizeof header);
    buffer.putInt(static_cast<uint32_t>(sessionHandle()));
    buffer.putInt(FrameRecord);
    buffer.putInt(flag ? 1 : 0);
    buffer.putInt(static_cast<uint32_t>(request.speed()));
    putPosition(buffer, position);
    frame.write(buffer);
    const std::size_t length = static_cast<std::size_t>(frame.dataLength());
    const std::size_t padding = (4 - length % 4) % 4;
    RecordRing::Part parts[3] = {{header, sizeof header}};
    std::size_t count = 1;
    if (length > 0) {
        parts[count++] = {frame.data(), length};
    }
    if (padding > 0) {
        parts[count++] = {Padding, padding};
    }
    post(std::span<const RecordRing::Part>(parts, count), true);
}

// ---- delivery ------------------------------------------------------------------------------

// Ends a listener call begun under the client mutex, also when it throws.
class PlaybackClient::DeliveryScope {
public:
    explicit DeliveryScope(PlaybackClient& client) : _client(client) {}
    ~DeliveryScope() { _client.endDelivery(); }
    DeliveryScope(const DeliveryScope&) = delete;
    DeliveryScope& operator=(const DeliveryScope&) = delete;

private:
    PlaybackClient& _client;
};

// After each delivery, also when the listener threw: a stop notice that waited
// for room follows the record just delivered, and a producer waiting for room
// hears of it.
class PlaybackClient::PendingStopFlush {
public:
    explicit PendingStopFlush(PlaybackClient& client) : _client(client) {}
    ~PendingStopFlush() {
        _client.flushPendingStop();
        _client.signalRoom();
    }
    PendingStopFlush(const PendingStopFlush&) = delete;
    PendingStopFlush& operator=(const PendingStopFlush&) = delete;

private:
    PlaybackClient& _client;
};

void PlaybackClient::beginDelivery() {
    _delivering = true;
    _deliveringThread = std::this_thread::get_id();
}

void PlaybackClient::endDelivery() {
    Mutex::ScopedLock lock(_mutex);
    _delivering = false;
    if (_deliveryWaiters > 0) {
        _deliveryDone.notifyAll();
    }
}

void PlaybackClient::waitForDelivery() {
    Mutex::ScopedLock lock(_mutex);
    while (_delivering && _deliveringThread != std::this_thread::get_id()) {
        ++_deliveryWaiters;
        _deliveryDone.wait();
        --_deliveryWaiters;
    }
}

void PlaybackClient::deliver(ByteBuffer& record) {
    const PendingStopFlush flush(*this);
    const int handle = static_cast<int>(record.getInt());
    const uint32_t kind = record.getInt();
    switch (kind) {
    case FrameRecord:
        deliverFrameRecord(record, handle);
        break;
    case TextInRecord:
        deliverTextInRecord(record, handle);
        break;
    case StoppedRecord: {
        const uint32_t reason = record.getInt();
        {
            Mutex::ScopedLock lock(_mutex);
            beginDelivery();
        }
        const DeliveryScope scope(*this);
        if (_listener != nullptr) {
            _listener->playbackStopped(handle, reason);
        }
        break;
    }
    case CallbackRecord: {
        const int callbackKind = static_cast<int>(record.getInt());
        void* pointer = nullptr;
        record.get(&pointer, 0, sizeof pointer);
        {
            Mutex::ScopedLock lock(_mutex);
            beginDelivery();
        }
        const DeliveryScope scope(*this);
        if (_listener != nullptr) {
            _listener->playbackCallback(handle, callbackKind, pointer);
        }
        break;
    }
    default:
        trace("PlaybackClient::deliver : unknown record kind %u\n", kind);
        break;
    }
}

void PlaybackClient::deliverFrameRecord(ByteBuffer& record, int handle) {
    const bool flag = record.getInt() != 0;
    const int speed = static_cast<int>(record.getInt());
    const MediaPosition position = getPosition(record);
    MediaFrame frame;
    frame.read(record);
    frame.attachData(record);
    {
        Mutex::ScopedLock lock(_mutex);
        if (_stopped) {
            return; // queued before a stop request
        }
        _lastPosition = position;
        if (frame.isVideo()) {
            _lastVideoPosition = position;
        }
        _lastMediaID = frame.mediaID();
        _lastTime = frame.time();
        _lastChannel = frame.channel();
        beginDelivery();
    }
    const DeliveryScope scope(*this);
    if (_listener == nullptr) {
        return;
    }
    if (frame.isVideo()) {
        _listener->playbackVideoFrameReceived(handle, flag, speed, frame, position);
    } else if (frame.isAudio()) {
        _listener->playbackAudioFrameReceived(handle, frame, position);
    } else {
        trace("PlaybackClient::deliver : frame of media type %u skipped\n", frame.mediaType());
    }
}

void PlaybackClient::deliverTextInRecord(ByteBuffer& record, int handle) {
    const MediaPosition position = getPosition(record);
    TextInFrame frame;
    frame.read(record);
    {
        Mutex::ScopedLock lock(_mutex);
        if (_stopped) {
            return; // text-in records are frames too: none from before a stop
        }
        beginDelivery();
    }
    const DeliveryScope scope(*this);
    if (_listener != nullptr) {
        _listener->playbackTextInReceived(handle, frame, position);
    }
}

} // namespace ostrel
