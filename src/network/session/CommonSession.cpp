#include "network/session/CommonSession.h"

#include "base/Exception.h"
#include "base/Trace.h"
#include "network/protocol/CommonFacade.h"
#include "network/protocol/CommonMessageType.h"
#include "network/protocol/PacketAnalyzer.h"
#include "network/session/CloseReason.h"
#include "network/session/SendQueueOverflowException.h"
#include "network/session/SessionAliveChecker.h"
#include "network/session/SessionContext.h"
#include "base/Clock.h"

#include <algorithm>
#include <cstring>
#include <exception>

namespace ostrel {
namespace {

void copyLoginText(char* field, std::string_view text) {
    const size_t kept = std::min(text.size(), static_cast<size_t>(CommonSession::MaxLoginTextLength));
    std::memcpy(field, text.data(), kept);
    field[kept] = '\0';
}

} // namespace

CommonSession::CommonSession(CommonFacade& facade, int maxPayloadSize, SessionAliveChecker& aliveChecker)
    : _facade(facade), _aliveChecker(aliveChecker), _sendPacket(0), _reader(maxPayloadSize) {}

CommonSession::~CommonSession() { _aliveChecker.unregisterSession(*this); }

uint32_t CommonSession::now() const { return _facade.clock().tickCount(); }

void CommonSession::attachContext(SessionContext* context) {
    Mutex::ScopedLock lock(_contextMutex);
    _context = context;
}

SessionContext* CommonSession::context() const {
    Mutex::ScopedLock lock(_contextMutex);
    return _context;
}

void CommonSession::connectFailed(int reason) { disconnected(reason); }

void CommonSession::connectionClosed(int reason) { disconnected(reason); }

void CommonSession::disconnected(int reason) { _facade.sessionDisconnected(*this, reason); }

int CommonSession::failureReason() const { return CloseReason::Requested; }

SessionState CommonSession::state() const {
    Mutex::ScopedLock lock(_mutex);
    return _state;
}

bool CommonSession::isAliveCheckPending() const {
    Mutex::ScopedLock lock(_mutex);
    return _aliveCheckPending;
}

void CommonSession::setState(SessionState state) {
    SessionState previous;
    {
        Mutex::ScopedLock lock(_mutex);
        previous = _state;
        _state = state;
        if (state == SessionState::Connected) {
            _aliveCheckPending = false;
        }
    }
    // Watched from the connect on: a peer that falls silent during the
    // handshake (a half-open connection, a site that hangs) would otherwise
    // hold the session, and whoever waits for its login, for ever.
    if (state == SessionState::Connected || (state == SessionState::Connecting && previous != state)) {
        {
            Mutex::ScopedLock ticks(_tickMutex);
            _lastReceiveTick = _lastSendTick = now();
        }
        _aliveChecker.registerSession(*this);
    } else if (state == SessionState::Disconnected && previous != SessionState::Disconnected) {
        // Outside the session's own mutex: a pass holds the checker's mutex and takes ours.
        _aliveChecker.unregisterSession(*this);
    }
}

void CommonSession::assign(int channelIndex, void* userData, std::string_view user, std::string_view password) {
    _channelIndex = channelIndex;
    _reader.setPhase(PacketReader::Phase::Assigned);
    _userData = userData;
    copyLoginText(_user, user);
    copyLoginText(_password, password);
    onAssigned();
}

void CommonSession::release() {
    _channelIndex = -1;
    _reader.reset();
    _userData = nullptr;
    attachContext(nullptr);
    {
        // A free session holds no packet memory; the next connection's first
        // request allocates it again.
        Mutex::ScopedLock lock(_sendPacketMutex);
        _sendPacket.releaseArray();
    }
    onReleased();
}

void CommonSession::sendPacket(const Packet& packet, Priority priority) {
    {
        Mutex::ScopedLock lock(_contextMutex);
        if (_context == nullptr || !_context->send(packet, priority)) {
            throw SendQueueOverflowException();
        }
    }
    Mutex::ScopedLock ticks(_tickMutex);
    _lastSendTick = now();
}

void CommonSession::close(int reason) {
    {
        Mutex::ScopedLock lock(_mutex);
        if (_state == SessionState::Disconnected) {
            return;
        }
        _state = SessionState::Closing;
    }
    bool closing;
    {
        Mutex::ScopedLock lock(_contextMutex);
        closing = _context != nullptr && _context->close(reason);
    }
    if (!closing) {
        setState(SessionState::Disconnected);
    }
}

void CommonSession::startReading() {
    if (_handlingReceived) {
        // readCompleted goes on with the next packet received, or arms the
        // read when it has none.
        _readAgain = true;
        return;
    }
    Packet& packet = _reader.startHeader();
    Mutex::ScopedLock lock(_contextMutex);
    if (_context != nullptr) {
        _context->read(packet);
    }
}

void CommonSession::sendAliveCheck(bool isReply) {
    sendBuilt(Priority::High, [&](Packet& packet) { packetAnalyzer().makeAliveCheck(packet, isReply); });
    Mutex::ScopedLock lock(_mutex);
    _aliveCheckPending = true;
}

void CommonSession::readCompleted() {
    switch (_reader.filled()) {
    case PacketReader::Result::NeedMore: {
        Mutex::ScopedLock lock(_contextMutex);
        if (_context != nullptr) {
            _context->read(_reader.packet());
        }
        return;
    }
    case PacketReader::Result::InvalidPayloadSize:
        close(CloseReason::InvalidPayloadSize);
        return;
    case PacketReader::Result::Complete:
        break;
    }
    _handlingReceived = true;
    _readAgain = false;
    handlePacket(_reader.packet());
    // The packets behind it are usually in the receive buffer already: each
    // one is handled where it lies while the handlers keep reading on.
    while (_readAgain) {
        const SessionState current = state();
        if (current == SessionState::Closing || current == SessionState::Disconnected) {
            _readAgain = false;
            break;
        }
        const std::span<uint8_t> bytes = nextReceivedPacket();
        if (bytes.empty()) {
            break;
        }
        _readAgain = false;
        Packet packet(bytes.data(), static_cast<int>(bytes.size()));
        handlePacket(packet);
    }
    _handlingReceived = false;
    if (_readAgain) {
        _readAgain = false;
        startReading();
    }
}

std::span<uint8_t> CommonSession::nextReceivedPacket() {
    Mutex::ScopedLock lock(_contextMutex);
    if (_context == nullptr) {
        return {};
    }
    const std::span<uint8_t> received = _context->receivedAhead();
    if (received.size() < static_cast<size_t>(Packet::HeaderSize)) {
        return {};
    }
    const uint32_t payloadSize = static_cast<uint32_t>(received[4]) << 24 | static_cast<uint32_t>(received[5]) << 16 |
                                 static_cast<uint32_t>(received[6]) << 8 | static_cast<uint32_t>(received[7]);
    // Sizes the reader would refuse are left to it, so they are refused the usual way.
    if (payloadSize > static_cast<uint32_t>(_reader.maxPayloadSize()) ||
        received.size() - Packet::HeaderSize < payloadSize) {
        return {};
    }
    const int length = Packet::HeaderSize + static_cast<int>(payloadSize);
    _context->consumeReceived(length);
    return received.first(static_cast<size_t>(length));
}

void CommonSession::handlePacket(Packet& packet) {
    try {
        packetComplete(packet);
    } catch (const Exception& e) {
        traceException(e);
        trace("Malformed packet or failed handler; closing the session.\n");
        close(failureReason());
    } catch (const std::exception& e) {
        trace("%s\nMalformed packet or failed handler; closing the session.\n", e.what());
        close(failureReason());
    }
}

void CommonSession::packetComplete(Packet& packet) {
    {
        Mutex::ScopedLock ticks(_tickMutex);
        _lastReceiveTick = now();
    }
    if (packet.type() != COMMON_MESSAGE_ALIVE_CHECK) {
        packetReceived(packet);
        return;
    }
    packet.payload();
    const bool isReply = packet.remaining() == 0 || packet.getBool();
    if (isReply) {
        Mutex::ScopedLock lock(_mutex);
        _aliveCheckPending = false;
    } else {
        sendAliveCheck(true);
    }
    startReading();
}

void CommonSession::checkAlive() {
    uint32_t silence;
    uint32_t idle;
    {
        Mutex::ScopedLock ticks(_tickMutex);
        const uint32_t current = now();
        silence = current - _lastReceiveTick;
        idle = current - _lastSendTick;
    }
    const SessionState current = state();
    if (current == SessionState::Connecting) {
        // The handshake knows no alive checks; the peer only has to say something in time.
        if (silence > SilenceBeforeDrop) {
            close(CloseReason::NoResponse);
            trace("REMOTE : SESSION NO RESPONSE, DISCONNECT BY FORCE\n");
        }
        return;
    }
    if (current != SessionState::Connected) {
        // Closing or closed: the session may already have given up its
        // analyzer, and there is nobody left to ask.
        return;
    }
    try {
        if (silence > SilenceBeforeRequest) {
            if (!isAliveCheckPending()) {
                sendAliveCheck(false);
            } else if (silence > SilenceBeforeDrop &&
                       (current == SessionState::Connecting || current == SessionState::Connected)) {
                close(CloseReason::NoResponse);
                trace("REMOTE : SESSION NO RESPONSE, DISCONNECT BY FORCE\n");
                return;
            }
        }
        if (!_peerNewAliveCheck && idle > IdleBeforeRequest && current == SessionState::Connected) {
            sendAliveCheck(false);
        }
    } catch (const SendQueueOverflowException&) {
        // The queue is full or the connection just went; the next pass tries again.
    }
}

} // namespace ostrel
