#include "network/session/SessionContextImpl.h"

#include "base/Trace.h"
#include "network/session/Dispatcher.h"
#include "network/socket/NonBlockingSocketChannel.h"

#include <algorithm>

namespace ostrel {

SessionContextImpl::SessionContextImpl(Dispatcher& dispatcher, NonBlockingSocketChannel& channel)
    : _highQueue(HighQueueSize), _normalQueue(NormalQueueSize), _dispatcher(dispatcher), _channel(channel) {}

SessionState SessionContextImpl::state() const {
    Mutex::ScopedLock lock(_stateMutex);
    return _state;
}

bool SessionContextImpl::isFree() const { return _free.load(std::memory_order_acquire); }

bool SessionContextImpl::connect(const SocketAddress& address) {
    {
        Mutex::ScopedLock lock(_stateMutex);
        if (isFree()) {
            return false;
        }
        _state = SessionState::Connecting;
        _address = address;
        _flags |= ConnectRequested;
    }
    _dispatcher.wakeUp();
    return true;
}

bool SessionContextImpl::close(int reason) {
    {
        Mutex::ScopedLock lock(_stateMutex);
        if (isFree()) {
            return false;
        }
        _state = SessionState::Closing;
        // The first reason stands: a later close must not rename why the connection ended.
        if ((_flags & CloseRequested) == 0) {
            _flags |= CloseRequested;
            _closeReason = reason;
        }
    }
    _dispatcher.wakeUp();
    return true;
}

bool SessionContextImpl::send(const ByteBuffer& packet, Priority priority) {
    bool wake = false;
    {
        Mutex::ScopedLock sendLock(_sendMutex);
        if (isFree()) {
            return false;
        }
        RecordRing& ring = queue(priority);
        const auto length = static_cast<size_t>(packet.remaining());
        // An empty record would read as a closed connection when written.
        if (length == 0 || !ring.canPut(length)) {
            return false;
        }
        ring.put({RecordRing::Part{packet.array(), length}});
        Mutex::ScopedLock lock(_stateMutex);
        if ((_flags & WritePending) == 0) {
            makeNextBlock();
            _flags |= WritePending;
            wake = true;
        }
    }
    if (wake) {
        _dispatcher.wakeUp();
    }
    return true;
}

void SessionContextImpl::read(ByteBuffer& buffer) {
    {
        Mutex::ScopedLock lock(_stateMutex);
        if (isFree()) {
            return;
        }
        if (!_readDone) {
            trace("Receiving is not completed. Receive Count: %d\n", _outstandingReads);
        }
        _flags |= ReadRequested;
        _readTarget = &buffer;
        _readDone = false;
        ++_outstandingReads;
    }
    _dispatcher.wakeUp();
}

bool SessionContextImpl::hasRoom(int length) const {
    Mutex::ScopedLock lock(_sendMutex);
    return length >= 0 && _normalQueue.canPut(static_cast<size_t>(length));
}

int SessionContextImpl::freeSpace() const {
    Mutex::ScopedLock lock(_sendMutex);
    return _normalQueue.freeSpace();
}

int SessionContextImpl::queuedCount() const {
    Mutex::ScopedLock lock(_sendMutex);
    return _normalQueue.count();
}

std::size_t SessionContextImpl::allocatedBytes() const {
    Mutex::ScopedLock lock(_sendMutex);
    return _highQueue.allocatedBytes() + _normalQueue.allocatedBytes() +
           (_hasReceiveBuffer.load(std::memory_order_acquire) ? std::size_t{ReceiveBufferSize} : 0);
}

SocketAddress SessionContextImpl::localAddress() const {
    Mutex::ScopedLock lock(_stateMutex);
    return isFree() ? SocketAddress() : _channel.localAddress();
}

SocketAddress SessionContextImpl::remoteAddress() const {
    Mutex::ScopedLock lock(_stateMutex);
    if (isFree()) {
        return SocketAddress();
    }
    SocketAddress remote = _channel.remoteAddress();
    // Known before the connection is up: where we are connecting to.
    return remote.isUnset() ? _address : remote;
}

bool SessionContextImpl::bind(Session& session) {
    Mutex::ScopedLock sendLock(_sendMutex);
    Mutex::ScopedLock lock(_stateMutex);
    if (!isFree()) {
        return false;
    }
    _session = &session;
    _flags = 0;
    _closeReason = 0;
    _readTarget = nullptr;
    _readDone = true;
    _outstandingReads = 0;
    _tcpUp = false;
    _state = SessionState::Disconnected;
    _generation.fetch_add(1, std::memory_order_acq_rel);
    _free.store(false, std::memory_order_release);
    return true;
}

void SessionContextImpl::reset() {
    Mutex::ScopedLock sendLock(_sendMutex);
    Mutex::ScopedLock lock(_stateMutex);
    _readDone = true;
    _outstandingReads = 0;
    _readTarget = nullptr;
    _hasBlock = false;
    _currentBlock = ByteBuffer();
    _receivedBegin = 0;
    _receivedEnd = 0;
    _received.reset();
    _hasReceiveBuffer.store(false, std::memory_order_release);
    _highQueue.release();
    _normalQueue.release();
    _state = SessionState::Disconnected;
    if (_channel.isOpen()) {
        try {
            _channel.close();
        } catch (...) {
            // The descriptor is released by close() whatever it reports.
        }
    }
    _flags = 0;
    _closeReason = 0;
    _tcpUp = false;
    _session = nullptr;
    _address = SocketAddress();
    _free.store(true, std::memory_order_release);
}

int SessionContextImpl::flags() const {
    Mutex::ScopedLock lock(_stateMutex);
    return _flags;
}

int SessionContextImpl::closeReason() const {
    Mutex::ScopedLock lock(_stateMutex);
    return _closeReason;
}

void SessionContextImpl::setFlags(int flags) {
    Mutex::ScopedLock lock(_stateMutex);
    _flags |= flags;
}

void SessionContextImpl::clearFlags(int flags) {
    Mutex::ScopedLock lock(_stateMutex);
    _flags &= ~flags;
}

void SessionContextImpl::setState(SessionState state) {
    Mutex::ScopedLock lock(_stateMutex);
    _state = state;
}

void SessionContextImpl::markConnected() {
    Mutex::ScopedLock lock(_stateMutex);
    _state = SessionState::Connected;
    _flags &= ~(ConnectRequested | ConnectInProgress);
    _tcpUp = true;
    _channel.setConnected(true);
}

bool SessionContextImpl::isTcpUp() const {
    Mutex::ScopedLock lock(_stateMutex);
    return _tcpUp;
}

bool SessionContextImpl::startConnect() {
    Mutex::ScopedLock lock(_stateMutex);
    return _channel.connect(_address);
}

ByteBuffer* SessionContextImpl::readTarget() const {
    Mutex::ScopedLock lock(_stateMutex);
    return (_flags & ReadRequested) != 0 ? _readTarget : nullptr;
}

void SessionContextImpl::readFinished() {
    Mutex::ScopedLock lock(_stateMutex);
    _flags &= ~ReadRequested;
    _readDone = true;
    if (_outstandingReads > 0) {
        --_outstandingReads;
    }
}

std::span<uint8_t> SessionContextImpl::receivedAhead() {
    if (bufferedCount() == 0) {
        return {};
    }
    return {_received.data() + _receivedBegin, static_cast<size_t>(bufferedCount())};
}

void SessionContextImpl::consumeReceived(int count) {
    _receivedBegin += std::clamp(count, 0, bufferedCount());
    if (_receivedBegin == _receivedEnd) {
        _receivedBegin = 0;
        _receivedEnd = 0;
    }
}

void SessionContextImpl::takeBuffered(ByteBuffer& target) {
    const int taken = std::min(bufferedCount(), target.remaining());
    if (taken <= 0) {
        return;
    }
    target.put(_received.data() + _receivedBegin, taken);
    _receivedBegin += taken;
    if (_receivedBegin == _receivedEnd) {
        _receivedBegin = 0;
        _receivedEnd = 0;
    }
}

int SessionContextImpl::receiveAhead() {
    if (!_received) {
        _received = MappedMemory(ReceiveBufferSize);
        _hasReceiveBuffer.store(true, std::memory_order_release);
    }
    ByteBuffer space(_received.data(), ReceiveBufferSize);
    space.position(_receivedEnd);
    const int count = _channel.read(space);
    if (count > 0) {
        _receivedEnd += count;
    }
    return count;
}

ByteBuffer* SessionContextImpl::currentBlock() { return _hasBlock ? &_currentBlock : nullptr; }

bool SessionContextImpl::makeNextBlock() {
    for (const Priority priority : {Priority::High, Priority::Normal}) {
        RecordRing& ring = queue(priority);
        if (!ring.isEmpty()) {
            const auto record = ring.peek();
            _currentBlock = ByteBuffer(const_cast<uint8_t*>(record.data()), static_cast<int>(record.size()));
            _currentPriority = priority;
            _hasBlock = true;
            return true;
        }
    }
    _hasBlock = false;
    _currentBlock = ByteBuffer();
    return false;
}

bool SessionContextImpl::advanceBlock() {
    if (_hasBlock) {
        queue(_currentPriority).consume();
    }
    Mutex::ScopedLock lock(_stateMutex);
    if (makeNextBlock()) {
        return true;
    }
    _flags &= ~WritePending;
    return false;
}

} // namespace ostrel
