#pragma once

#include "base/thread/Mutex.h"
#include "network/protocol/EncryptionKey.h"
#include "network/protocol/Packet.h"
#include "network/protocol/PacketReader.h"
#include "network/protocol/ProductInfo.h"
#include "network/protocol/RemoteOemInfo.h"
#include "network/session/Priority.h"
#include "network/session/Session.h"
#include "network/session/SessionState.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace ostrel {

class CommonFacade;
class PacketAnalyzer;
class SessionAliveChecker;
class Clock;

// One logical connection of a facade: the packet framing of its connection,
// the send path, the liveness bookkeeping of the alive check. Sessions live in
// a facade's fixed table and are reused; callers reach them only through
// handles.
//
// Events arrive on the dispatcher's worker thread; sendPacket and close may be
// called from any thread; checkAlive runs on the alive checker's thread.
class CommonSession : public Session {
public:
    static constexpr int MaxLoginTextLength = 16;
    // Silence after which the peer is asked whether it is alive, and after
    // which it is dropped; idle time after which a peer of the older scheme
    // gets a request anyway.
    static constexpr uint32_t SilenceBeforeRequest = 120000;
    static constexpr uint32_t SilenceBeforeDrop = 240000;
    static constexpr uint32_t IdleBeforeRequest = 20000;

    // The alive checker is the one of whoever runs the session; it outlives the session.
    CommonSession(CommonFacade& facade, int maxPayloadSize, SessionAliveChecker& aliveChecker);
    ~CommonSession() override;

    // ---- Session events -----------------------------------------------------
    void attachContext(SessionContext* context) override;
    void connectFailed(int reason) override;
    void connectionClosed(int reason) override;
    // Cuts the stream into packets; answers alive checks itself and hands
    // every other packet to packetReceived. A packet that cannot be handled
    // (malformed, or its handler throws) closes this session with
    // failureReason() and a trace line. Whole packets that arrived behind the
    // one read are handled in place, straight from the dispatcher's receive
    // buffer, for as long as the handlers read on.
    void readCompleted() override;

    // ---- operations ------------------------------------------------------
    // Queues the packet's bytes from position to limit whole, or throws
    // SendQueueOverflowException (no room, or the connection is gone).
    void sendPacket(const Packet& packet, Priority priority);
    // Nothing when already disconnected; else closing with the reason.
    void close(int reason);
    // Arms reading of the next packet (on the worker, while packets are
    // handled in place: goes on with the next one received).
    virtual void startReading();
    // An alive-check request (false) or reply (true), with High priority.
    void sendAliveCheck(bool isReply);
    // One alive-check pass for this session (see SessionAliveChecker).
    void checkAlive();

    // ---- facade side -----------------------------------------------------------
    // Taken for a connect: slot index, user data and login profile.
    void assign(int channelIndex, void* userData, std::string_view user, std::string_view password);
    // Let go after the disconnect has been reported: free for the next connect.
    void release();
    // The one routine for state changes: Connecting and Connected record both
    // ticks and register with the alive checker (Connected also clears the
    // pending flag); Disconnected unregisters. While Connecting (TCP connect
    // and login) no alive checks are sent, but a peer silent for
    // SilenceBeforeDrop is dropped with reason 312 all the same.
    void setState(SessionState state);

    SessionState state() const;
    int channelIndex() const { return _channelIndex; }
    bool isFree() const { return _channelIndex < 0; }
    void* userData() const { return _userData; }
    SessionContext* context() const;
    CommonFacade& facade() const { return _facade; }
    const char* user() const { return _user; }
    const char* password() const { return _password; }
    const ProductInfo& productInfo() const { return _productInfo; }
    const RemoteOemInfo& remoteOemInfo() const { return _remoteOemInfo; }
    const EncryptionKey& encryptionKey() const { return _encryptionKey; }
    bool peerUsesNewAliveCheck() const { return _peerNewAliveCheck; }
    bool isAliveCheckPending() const;
    PacketReader::Phase receivePhase() const { return _reader.phase(); }
    int maxPayloadSize() const { return _reader.maxPayloadSize(); }

protected:
    // A complete packet other than an alive check; decides when reading goes on.
    virtual void packetReceived(Packet& packet) = 0;
    virtual void onAssigned() {}
    virtual void onReleased() {}
    virtual PacketAnalyzer& packetAnalyzer() = 0;
    // The close reason for a packet that could not be handled.
    virtual int failureReason() const;
    // Connect failures and closes both end here: the facade reports the disconnect.
    virtual void disconnected(int reason);

    // Builds into the session's own packet and queues it, as one step.
    template <typename Build>
    void sendBuilt(Priority priority, Build&& build) {
        Mutex::ScopedLock lock(_sendPacketMutex);
        build(_sendPacket);
        sendPacket(_sendPacket, priority);
    }

    ProductInfo _productInfo;
    RemoteOemInfo _remoteOemInfo;
    EncryptionKey _encryptionKey;
    bool _peerNewAliveCheck = false;

private:
    void packetComplete(Packet& packet);
    // packetComplete, closing the session when the packet cannot be handled.
    void handlePacket(Packet& packet);
    // The next whole packet among the bytes received ahead, taken out of the
    // stream; empty when none is whole (or its size is wrong, which the
    // ordinary read of its header then reports).
    std::span<uint8_t> nextReceivedPacket();
    uint32_t now() const;

    CommonFacade& _facade;
    SessionAliveChecker& _aliveChecker;
    int _channelIndex = -1;
    mutable Mutex _mutex;
    SessionState _state = SessionState::Disconnected;
    void* _userData = nullptr;
    bool _aliveCheckPending = false;
    // Guards the context pointer and every use of it, so that once the
    // dispatcher has detached the session (attachContext(nullptr)) no thread
    // can still reach the old connection slot, which may serve another
    // session right after.
    mutable Mutex _contextMutex;
    SessionContext* _context = nullptr;
    Mutex _sendPacketMutex;
    Packet _sendPacket;
    PacketReader _reader;
    // Worker thread only: packets are being handled in readCompleted, and
    // whether their handlers asked for the next one.
    bool _handlingReceived = false;
    bool _readAgain = false;
    char _user[MaxLoginTextLength + 1] = {};
    char _password[MaxLoginTextLength + 1] = {};
    mutable Mutex _tickMutex;
    uint32_t _lastReceiveTick = 0;
    uint32_t _lastSendTick = 0;
};

} // namespace ostrel
