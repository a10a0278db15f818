#pragma once

#include "base/thread/LoopingThread.h"
#include "base/thread/Mutex.h"
#include "network/BlockingQueue.h"
#include "network/RecordRing.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <memory>
#include <span>
#include <vector>

namespace ostrel {

class BlockingRecordQueue;
class MediaDispatcherClient;

// The one thread ("MediaDispatcher") that hands received media to its consumers,
// so that the network thread never does storage work itself.
//
// Each client registers a bounded record queue of its own. A producer posts a
// record into that queue and pushes the client's identifier onto the ready queue;
// the thread pops identifiers one at a time and delivers the head record of that
// client's queue. Records of one client therefore arrive in the order they were
// put, records of different clients in the order their posts completed. A client
// that clears its queue leaves identifiers that deliver nothing.
//
// The bounded queues are the flow control: a producer whose client queue is full
// waits (holding no dispatcher lock) until the thread has delivered enough.
class MediaDispatcher : public LoopingThread {
public:
    static constexpr std::size_t ReadyQueueCapacity = 10000;
    static constexpr int MinimumDeliveryBufferSize = 0x40000;
    // A playback session accepts payloads of up to 1 MiB; a frame record adds its
    // own header (well under this reserve) in front of such a payload.
    static constexpr int SessionPayloadLimit = 0x100000;
    static constexpr int RecordHeaderReserve = 128;
    // Large enough for every record a playback session can produce, so that no
    // frame accepted by a client queue ever needs a larger buffer.
    static constexpr int DeliveryBufferSize =
        std::max(MinimumDeliveryBufferSize, SessionPayloadLimit + RecordHeaderReserve);

    MediaDispatcher();
    ~MediaDispatcher() override;
    MediaDispatcher(const MediaDispatcher&) = delete;
    MediaDispatcher& operator=(const MediaDispatcher&) = delete;

    // The process-wide dispatcher: the one the network playback context owns.
    static MediaDispatcher& instance();

    // Starts the thread; nothing when it already runs. A dispatcher that has been
    // stopped stays stopped: starting it again throws Exception.
    void start() override;
    // Requests the thread to stop, closes the ready queue and every registered
    // client queue, so that blocked producers and the thread itself are released
    // (their posts return false). Does not wait: join() does.
    void stop() override;

    // Adds the client with its queue; an existing registration of the client is
    // kept. Waits for a delivery in progress. After stop() the queue is closed at
    // once, since nothing would ever drain it.
    void registerClient(MediaDispatcherClient& client, std::shared_ptr<BlockingRecordQueue> queue);
    // Removes the client and closes its queue: nothing registered no longer is
    // delivered, so no producer may go on waiting for room in it. Waits for a
    // delivery in progress; nothing when the client is not registered.
    void unregisterClient(MediaDispatcherClient& client);
    bool isRegistered(const MediaDispatcherClient& client) const;

    // Puts the parts as one record into the client's queue, waiting for room, then
    // pushes the client onto the ready queue (waiting while it is full). False,
    // with nothing pushed, when the client is not registered or its queue is (or
    // becomes) closed. RecordSizeException (TooLarge) when the record can never
    // fit the client's queue; nothing is stored then and nobody waits.
    //
    // Posted from the dispatcher's own thread (a client reacting to a delivery),
    // it never waits, since only this thread could make room: a record that does
    // not fit now is refused (false, with a trace line), and a full ready queue is
    // bypassed so the record is still delivered.
    bool post(MediaDispatcherClient& client, std::span<const RecordRing::Part> parts);
    bool post(MediaDispatcherClient& client, std::initializer_list<RecordRing::Part> parts) {
        return post(client, std::span<const RecordRing::Part>(parts.begin(), parts.size()));
    }
    // As post(), but never waits, from any thread: false when the record does not
    // fit the client's queue now (or the client is not registered, or the queue is
    // closed). A record it accepts is always delivered, even when the ready queue
    // is full. For producers that hold locks the delivering thread may need.
    bool tryPost(MediaDispatcherClient& client, std::span<const RecordRing::Part> parts);
    bool tryPost(MediaDispatcherClient& client, std::initializer_list<RecordRing::Part> parts) {
        return tryPost(client, std::span<const RecordRing::Part>(parts.begin(), parts.size()));
    }

    // Whether the caller is the dispatcher's own thread.
    bool isDispatcherThread() const;

    // Records delivered so far (a client callback that threw counts as delivered).
    std::uint64_t deliveredCount() const;
    std::size_t pendingCount() const { return _ready.size(); }

protected:
    void onStart() override;
    void step() override;
    void onStop() override;

private:
    struct Registration {
        MediaDispatcherClient* client;
        std::shared_ptr<BlockingRecordQueue> queue;
    };

    // Finds the client's identifier and queue; false when it is not registered.
    bool lookUp(const MediaDispatcherClient& client, std::uint32_t& identifier,
                std::shared_ptr<BlockingRecordQueue>& queue) const;
    bool tryPost(std::uint32_t identifier, BlockingRecordQueue& queue, std::span<const RecordRing::Part> parts);
    // The next identifier to serve: an owed one first, else one from the ready
    // queue (waiting a while when it is empty); nothing when none came.
    std::optional<std::uint32_t> nextIdentifier();

    static constexpr std::uint32_t OwedCheckMilliseconds = 100;
    static constexpr int BusyPauses = 5;
    static constexpr int BusyPauseMicroseconds = 200;
    // Takes the head record of the queue into the delivery buffer (growing it for
    // a record larger than any session produces); 0 when there is none.
    std::size_t takeRecord(BlockingRecordQueue& queue);
    void deliverOne(std::uint32_t identifier);

    // Held for a whole delivery; registration changes wait for it.
    mutable Mutex _mutex;
    std::vector<std::uint8_t> _buffer;
    // Guards the two maps for the short look-ups of every post and delivery,
    // which share it; only registration changes take it alone. Taken after _mutex
    // when both are needed.
    mutable std::shared_mutex _registryMutex;
    std::map<std::uint32_t, Registration> _registrations;
    std::map<const MediaDispatcherClient*, std::uint32_t> _identifiers;
    std::uint32_t _nextIdentifier = 1;
    bool _stopped = false; // guarded by _registryMutex
    BlockingQueue _ready{ReadyQueueCapacity};
    // Identifiers of records accepted without waiting while the ready queue was
    // full; served before the ready queue.
    Mutex _owedMutex;
    std::deque<std::uint32_t> _owed;
    std::atomic<std::size_t> _owedCount{0};
    // The running thread, for telling posts from it apart.
    std::atomic<std::thread::id> _threadId{};
    // Brief pauses taken since the last record; only the thread touches it.
    int _idlePauses = 0;
    std::atomic<std::uint64_t> _delivered{0};
};

} // namespace ostrel
