#pragma once

#include "base/ByteBuffer.h"
#include "base/MappedMemory.h"
#include "base/thread/Mutex.h"
#include "network/RecordRing.h"
#include "network/session/SessionContext.h"
#include "network/socket/SocketAddress.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace ostrel {

class Dispatcher;
class NonBlockingSocketChannel;
class Session;

// A dispatcher's connection slot: request flags set by any thread, two send
// queues (High: 5120 bytes for alive checks, Normal: 1 MiB for the rest), the
// read target, the packet being sent, and the bytes received ahead of the
// session's reads. Buffers follow the connection, not the slot: each queue's
// array comes with its first packet, the receive buffer with the first
// receive, and reset() gives all of them back, so a dispatcher built for 100
// connections costs memory only for those in use.
//
// Receiving ahead: the worker takes whatever the socket holds, up to
// ReceiveBufferSize bytes in one call, and fills the session's read targets
// from there, so that a stream of packets costs a system call per chunk, not
// two per packet. The session still sees nothing but its own reads, in
// order; bytes beyond them simply wait here until it asks again. The worker
// receives only while a read is requested and the buffer is empty. Large
// chunks matter on loopback above all: every receive also pays for the
// acknowledgements it triggers, so 1 MiB costs clearly less CPU per byte
// than 256 KiB. The buffer is taken at the connection's first receive and
// kept until the slot is reset.
//
// Locking: the send mutex guards the queues and the current block; the state
// mutex guards the flags, the close reason, the read target, the state, the
// free flag and the channel's addresses. The send mutex is always taken first.
class SessionContextImpl : public SessionContext {
public:
    static constexpr int HighQueueSize = 5120;
    static constexpr int NormalQueueSize = 1048576;
    static constexpr int ReceiveBufferSize = 1024 * 1024;
    // A read target still missing at least this much, with nothing buffered,
    // is received into directly, sparing a copy of its bytes.
    static constexpr int DirectReadSize = ReceiveBufferSize / 4;

    // Request flags.
    static constexpr int ConnectRequested = 2;
    static constexpr int ReadRequested = 4;
    static constexpr int WritePending = 8;
    static constexpr int CloseRequested = 16;
    static constexpr int ConnectInProgress = 32;

    SessionContextImpl(Dispatcher& dispatcher, NonBlockingSocketChannel& channel);

    SessionState state() const override;
    bool isFree() const override;
    bool connect(const SocketAddress& address) override;
    bool close(int reason) override;
    bool send(const ByteBuffer& packet, Priority priority) override;
    void read(ByteBuffer& buffer) override;
    std::span<uint8_t> receivedAhead() override;
    void consumeReceived(int count) override;
    bool hasRoom(int length) const override;
    int freeSpace() const override;
    int queuedCount() const override;
    // Bytes of send queues and receive buffer this slot holds now.
    std::size_t allocatedBytes() const;
    SocketAddress localAddress() const override;
    SocketAddress remoteAddress() const override;
    void lockSend() override { _sendMutex.lock(); }
    void unlockSend() override { _sendMutex.unlock(); }

    // ---- used by the dispatcher and its worker only ------------------------

    // Binds a session to this free slot (its channel already open). False when
    // the slot is taken.
    bool bind(Session& session);
    // Everything back to free: queues emptied, channel closed, flags 0.
    void reset();
    Session* session() const { return _session; }
    NonBlockingSocketChannel& channel() { return _channel; }
    // Counts attachments, so the worker can tell a slot that was reset and
    // taken again since it last looked at it.
    uint32_t generation() const { return _generation.load(std::memory_order_acquire); }
    int flags() const;
    int closeReason() const;
    void setFlags(int flags);
    void clearFlags(int flags);
    void setState(SessionState state);
    // The connect completed: state Connected, connect flags cleared.
    void markConnected();
    // Whether the TCP connection has been made (a socket that never
    // connected has nothing to wait for: poll reports it hung up).
    bool isTcpUp() const;
    // Starts the connect (under the state mutex): true when it completed at
    // once. SocketException when the platform refused it outright.
    bool startConnect();
    // The read target while a read is requested, else nullptr.
    ByteBuffer* readTarget() const;
    // The requested read is done: clears the request, counts it as done.
    void readFinished();
    // Worker only: bytes received ahead and not yet handed to a read.
    int bufferedCount() const { return _receivedEnd - _receivedBegin; }
    // Worker only: moves buffered bytes into the target, up to its remaining bytes.
    void takeBuffered(ByteBuffer& target);
    // Worker only, with nothing buffered: one receive of up to
    // ReceiveBufferSize bytes into the buffer. As SocketChannel::read: the
    // count, 0 when the peer closed, -1 with errno set.
    int receiveAhead();
    // Under the send mutex (the caller holds it): the block being sent,
    // nullptr when none.
    ByteBuffer* currentBlock();
    Priority currentPriority() const { return _currentPriority; }
    // Under the send mutex: drops the sent block's record and makes the next
    // one current; false (and write pending cleared) when both queues are empty.
    bool advanceBlock();
    Mutex& sendMutex() { return _sendMutex; }

private:
    RecordRing& queue(Priority priority) { return priority == Priority::High ? _highQueue : _normalQueue; }
    // Under both mutexes: the head of the High queue, else of the Normal queue.
    bool makeNextBlock();

    mutable Mutex _stateMutex;
    SessionState _state = SessionState::Disconnected;
    int _flags = 0;
    int _closeReason = 0;
    ByteBuffer* _readTarget = nullptr;
    bool _readDone = true;
    int _outstandingReads = 0;
    bool _tcpUp = false;
    std::atomic<bool> _free{true};
    std::atomic<uint32_t> _generation{0};

    // Touched by the worker only (and by reset, which runs on it or after it).
    MappedMemory _received;
    std::atomic<bool> _hasReceiveBuffer{false};
    int _receivedBegin = 0;
    int _receivedEnd = 0;

    mutable Mutex _sendMutex;
    RecordRing _highQueue;
    RecordRing _normalQueue;
    ByteBuffer _currentBlock;
    bool _hasBlock = false;
    Priority _currentPriority = Priority::Normal;

    Dispatcher& _dispatcher;
    Session* _session = nullptr;
    NonBlockingSocketChannel& _channel;
    SocketAddress _address;
};

} // namespace ostrel
