#pragma once

#include "base/thread/Mutex.h"
#include "network/protocol/HandleMap.h"
#include "network/protocol/Packet.h"
#include "network/protocol/SyncOptionList.h"
#include "network/session/Priority.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace ostrel {

class CommonSession;
class Dispatcher;
class FinOption;
class PacketAnalyzer;
class ProductInfo;
class ProfileList;
class RemoteSystemInfo;
class SessionAliveChecker;
class Clock;
struct LoginResult;

// The owner of a fixed table of sessions over one dispatcher. Callers hold
// integer handles (from 1000 up, process-wide) that the facade maps to table
// slots; session events turn into calls of the overridable operations below,
// which run on the dispatcher's worker thread.
//
// The facade owns the alive checker of its sessions: its thread runs from
// start() to stop(), and every session gets it when it is made.
//
// A derived class must call stop() in its own destructor: stopping reports
// the last disconnects through its overrides.
class CommonFacade {
public:
    static constexpr int FirstHandle = 1000;

    CommonFacade(int channels, Dispatcher& dispatcher);
    CommonFacade(int channels, Dispatcher& dispatcher, const Clock& clock);
    CommonFacade(const CommonFacade&) = delete;
    CommonFacade& operator=(const CommonFacade&) = delete;
    virtual ~CommonFacade();

    // Creates the sessions and starts the dispatcher and the alive checker (once).
    void start();
    // Stops the dispatcher (every open session is reported disconnected with
    // 201), destroys the sessions and stops the alive checker.
    void stop();

    // Starts connecting a free session and returns its new handle, or -1 when
    // every session is in use. The address is resolved first:
    // SocketAddressInfoException when that fails, before any session is taken.
    int connect(std::string_view address, uint16_t port, std::string_view user, std::string_view password,
                void* userData = nullptr);
    // Queues a packet on the handle's session. InvalidSessionHandleException
    // for an unknown handle, SendQueueOverflowException when it does not fit.
    void sendPacket(int handle, const Packet& packet, Priority priority);
    // InvalidSessionHandleException for an unknown handle.
    CommonSession& sessionByHandle(int handle);
    // Closes the handle's session with reason 0; an unknown handle is ignored.
    void disconnect(int handle);
    // -1 when the channel has no handle.
    int handleOfChannel(int channel) const;
    bool isConnected(int handle) const;
    int channelCount() const { return _channelCount; }
    const Clock& clock() const { return _clock; }
    // Watches this facade's sessions (tests run its passes themselves with checkNow()).
    SessionAliveChecker& aliveChecker() { return *_aliveChecker; }

    // ---- overridable operations, called on session events ----------------
    virtual void connected(int /*handle*/) {}
    virtual void disconnected(int /*handle*/, int /*reason*/) {}
    virtual void loginSucceeded(int /*handle*/, const LoginResult& /*result*/) {}
    virtual void loginFailed(int /*handle*/, const LoginResult& /*result*/) {}
    virtual void remoteSystemInfoReceived(int /*handle*/, const RemoteSystemInfo& /*info*/) {}
    virtual void productInfoReceived(int /*handle*/, const ProductInfo& /*info*/) {}
    virtual bool profileListAcceptable(const ProfileList& /*list*/) { return true; }
    virtual void finReceived(int /*handle*/, const FinOption& /*option*/) {}
    virtual PacketAnalyzer& packetAnalyzer() = 0;
    // The options of every sync a session sends: the new alive-check scheme.
    virtual const SyncOptionList& syncOptions() const { return _syncOptions; }
    // A packet the analyzer does not handle: answered with
    // COMMON_MESSAGE_UNKNOWN_TYPE naming its type, except a received
    // COMMON_MESSAGE_UNKNOWN_TYPE, which is never answered (two peers would
    // answer each other forever).
    virtual void unknownPacketReceived(int handle, Packet& packet);
    virtual void sendCompleted(int /*handle*/, Priority /*priority*/) {}

    // ---- from the sessions ---------------------------------------------------
    // A session's connection is gone (or never came): report it, unmap the
    // handle and free the session for the next connect.
    void sessionDisconnected(CommonSession& session, int reason);

protected:
    virtual std::unique_ptr<CommonSession> createSession() = 0;

    // Builds a request in the shared packet and queues it on the handle's
    // session with Normal priority, as one step under the send mutex.
    template <typename Build>
    void sendRequest(int handle, Build&& build) {
        Mutex::ScopedLock lock(_sendMutex);
        sessionByHandle(handle);
        build(_sharedPacket);
        sendPacket(handle, _sharedPacket, Priority::Normal);
    }

private:
    static int drawHandle(const HandleMap& map);

    const int _channelCount;
    Dispatcher& _dispatcher;
    const Clock& _clock;
    mutable Mutex _tableMutex;
    HandleMap _handles;
    Mutex _sendMutex;
    Packet _sharedPacket;
    SyncOptionList _syncOptions;
    // Declared before the sessions, which unregister from it as they go.
    std::unique_ptr<SessionAliveChecker> _aliveChecker;
    std::vector<std::unique_ptr<CommonSession>> _sessions;
    bool _started = false;
};

} // namespace ostrel
