#pragma once

#include "base/BitMask32.h"
#include "base/DateTime.h"
#include "base/thread/Condition.h"
#include "base/thread/Mutex.h"
#include "network/RecordRing.h"
#include "network/client/IPlaybackStateMachineContext.h"
#include "network/client/PlaybackRequestRecord.h"
#include "network/client/PlaybackStateMachine.h"
#include "network/media/MediaDispatcher.h"
#include "network/media/MediaDispatcherClient.h"
#include "network/protocol/ProductInfo.h"
#include "network/protocol/RemoteSystemInfo.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/session/ClientSession.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <thread>

namespace ostrel {

class BlockingRecordQueue;
class ByteBuffer;
class IPlaybackClientListener;
class PlayRequest;
class TextInFrame;

// The protocol-independent half of a playback client: the state machine that
// serialises its playback requests, and the bounded queue through which frames,
// text-in records, stop notices and callbacks reach the listener on the media
// dispatcher's thread, in the order they were queued.
//
// Record layouts in the queue (4-byte integers in host order, each record
// starting with the session handle and the kind):
//   0 frame:    flag (0/1), signed speed, MediaPosition (3 x 4), the 64-byte
//               MediaFrame header, the data rounded up to a multiple of 4;
//   1 text-in:  MediaPosition, the 128-byte TextInFrame form;
//   2 stopped:  reason;
//   4 callback: callback kind, the caller's record pointer.
//
// A stop request empties the queue and sets the stopped flag: frames queued
// before it are not delivered after it. A play request clears the flag.
class PlaybackClient : public IPlaybackStateMachineContext, public MediaDispatcherClient {
public:
    static constexpr uint32_t FrameRecord = 0;
    static constexpr uint32_t TextInRecord = 1;
    static constexpr uint32_t StoppedRecord = 2;
    static constexpr uint32_t CallbackRecord = 4;

    // Handle, kind, flag, speed, position, frame header.
    static constexpr int FrameRecordHeaderSize = 4 * 4 + MediaPosition::WireSize + MediaFrame::HeaderSize;
    // A frame's data never exceeds a session's payload limit, so no frame record
    // is larger than this.
    static constexpr int LargestFrameRecordSize = FrameRecordHeaderSize + ClientSession::MaxPayloadSize;
    // The queue size for clients that archive: the customary 512 KB, but never
    // less than one frame record of the largest payload a session accepts, so
    // that every frame a site can send fits.
    static constexpr int ArchivingQueueSize =
        std::max(524288, LargestFrameRecordSize + RecordRing::LengthSize);
    static_assert(LargestFrameRecordSize <= MediaDispatcher::DeliveryBufferSize);
    // How often a producer waiting for room looks again without being woken.
    static constexpr uint32_t RoomCheckMilliseconds = 50;

    PlaybackClient();
    ~PlaybackClient() override;
    PlaybackClient(const PlaybackClient&) = delete;
    PlaybackClient& operator=(const PlaybackClient&) = delete;

    // ---- playback events (application threads) ------------------------------------
    void play(const PlayRequest& request);
    void jumpToPosition(const MediaPosition& position, uint64_t value);
    void jumpToMediaID(uint32_t value, uint64_t mediaID, const BitMask32& channels);
    void jumpToNearPosition(const MediaPosition& position, const DateTime& time, int value,
                            const BitMask32& channels);
    // Stops the playback. Returns once no frame is being handed to the listener
    // any more (unless called from the listener itself), so none arrives after it.
    void stop();

    // Queues a callback record (kind 4) carrying `record`; the listener's
    // playbackCallback receives it after every record queued before. The caller
    // keeps `record` alive until then. False when the queue is closed or, from
    // the media dispatcher's own thread, full.
    bool postCallback(int kind, void* record);

    // ---- observers ---------------------------------------------------------------------
    const char* stateName() const { return _stateMachine.stateName(); }
    // The position of the last frame delivered (video or audio): a stop pauses there.
    MediaPosition lastPosition() const;
    MediaPosition lastVideoPosition() const;
    uint64_t lastMediaID() const;
    DateTime lastTime() const;
    // -1 until a frame with a single-channel mask was delivered.
    int lastChannel() const;
    bool isStopped() const;
    // The last play or jump sent.
    PlaybackRequestRecord currentRequest() const;
    RemoteSystemInfo remoteSystemInfo() const;
    ProductInfo productInfo() const;
    // Frames too large for this client's queue (dropped with a trace line).
    uint64_t droppedFrameCount() const { return _droppedFrames.load(std::memory_order_relaxed); }
    IPlaybackClientListener* listener() const { return _listener; }

    // ---- media dispatcher thread ---------------------------------------------------------
    void deliver(ByteBuffer& record) override;

    // Bytes the frame queue holds now: its capacity while a connection uses
    // it, 0 while the client waits between connections.
    std::size_t queueAllocatedBytes() const;

protected:
    // The session handle frames are queued with and reported under.
    virtual int sessionHandle() const = 0;
    virtual void sendPlayRequest(const PlaybackRequestRecord& request) = 0;
    virtual void sendPauseRequest(const MediaPosition& position) = 0;

    // Creates the queue and registers it with the dispatcher.
    void attachQueue(MediaDispatcher& dispatcher, int bufferSize, IPlaybackClientListener* listener);
    // Unregisters (which closes the queue and releases a waiting producer); the
    // queue itself goes with releaseQueue(), once no producer can reach it.
    void detachQueue();
    void releaseQueue();
    bool hasQueue() const;
    // A connection begins (true) or has ended (false): between connections the
    // queue gives its array back once the last record is delivered.
    void setQueueInUse(bool inUse);
    // Drops every queued record and a stop notice waiting for room.
    void clearQueue();
    // Queues a text-in record (kind 1), waiting for room.
    void queueTextIn(const TextInFrame& frame, const MediaPosition& position);
    void clearLastPosition();
    void setRemoteSystemInfo(const RemoteSystemInfo& info);
    void setProductInfo(const ProductInfo& info);
    PlaybackStateMachine& stateMachine() { return _stateMachine; }

    // ---- IPlaybackStateMachineContext -------------------------------------------------------
    void sendPlay(const PlaybackRequestRecord& request) override;
    void sendStop() override;
    void announce(const PlaybackRequestRecord& request) override;
    void reportStopped(uint32_t reason) override;
    void notifyStarted(const PlaybackRequestRecord& request) override;
    void deliverFrame(const MediaFrame& frame, bool flag, const MediaPosition& position,
                      const PlaybackRequestRecord& request) override;

private:
    class DeliveryScope;
    class PendingStopFlush;

    // Posts with waiting; false (with a trace line and a count) for a record that
    // can never fit the queue.
    bool post(std::span<const RecordRing::Part> parts, bool isFrame);
    // Under the client mutex: queues a stop notice without waiting, or keeps it
    // until the media dispatcher has made room.
    void postStopped(uint32_t reason);
    void flushPendingStop();
    // Under the client mutex.
    void setPendingStop(std::optional<uint32_t> reason);
    // A producer that finds the queue full waits until the media dispatcher has
    // emptied a good part of it, not just until one record fits: the network
    // thread then fills the queue in bursts while the dispatcher drains it,
    // instead of both threads waking each other for every frame.
    void waitForRoom(BlockingRecordQueue& queue, std::size_t length);
    // On the media dispatcher thread after each delivery: wakes a waiting
    // producer once there is room enough.
    void signalRoom();
    // Wakes a waiting producer to look again (the queue was emptied or closed).
    void wakeProducer();
    // The listener call of a delivery happens without the client mutex, so that
    // the listener may call back into the client; stop() waits for it instead.
    void beginDelivery();
    void endDelivery();
    void waitForDelivery();

    void deliverFrameRecord(ByteBuffer& record, int handle);
    void deliverTextInRecord(ByteBuffer& record, int handle);

    IPlaybackClientListener* _listener = nullptr;
    // Set once by attachQueue; read without the client mutex by every post.
    std::atomic<MediaDispatcher*> _dispatcher{nullptr};
    std::shared_ptr<BlockingRecordQueue> _queue;
    // The queue for producers, who read it without the client mutex: it stays
    // valid until releaseQueue(), which comes after the last producer.
    std::atomic<BlockingRecordQueue*> _producerQueue{nullptr};
    Mutex _roomMutex;
    Condition _room{_roomMutex};
    std::atomic<bool> _producerWaiting{false};
    std::atomic<int> _roomWanted{0};
    PlaybackStateMachine _stateMachine{*this};
    MediaPosition _lastPosition;
    mutable Mutex _mutex;
    Condition _deliveryDone{_mutex};
    RemoteSystemInfo _remoteSystemInfo;
    ProductInfo _productInfo;
    uint64_t _lastMediaID = 0;
    DateTime _lastTime;
    int _lastChannel = -1;
    bool _stopped = false;
    PlaybackRequestRecord _currentRequest;
    MediaPosition _lastVideoPosition;
    std::optional<uint32_t> _pendingStop;
    // Whether _pendingStop is set, for a delivery's check without the mutex.
    std::atomic<bool> _stopPending{false};
    bool _delivering = false;
    std::thread::id _deliveringThread;
    int _deliveryWaiters = 0;
    std::atomic<uint64_t> _droppedFrames{0};
};

} // namespace ostrel
