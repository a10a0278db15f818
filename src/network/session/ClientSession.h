#pragma once

#include "network/protocol/LoginResult.h"
#include "network/protocol/RemoteSystemInfo.h"
#include "network/session/CommonSession.h"

namespace ostrel {

class ClientFacade;
class ClientPacketAnalyzer;

// A session of this system towards a site: after the TCP connection is up it
// sends its sync, reads the site's sync, logs in with the MD5 digest of
// password and key, and from then on hands every packet to the facade's
// analyzer.
class ClientSession : public CommonSession {
public:
    static constexpr int MaxPayloadSize = 0x100000;

    enum class LoginStep : int {
        SendingSync = 0,
        WaitingForSync = 1,
        WaitingForLoginResponse = 2,
        SendingLoginRequest = 3,
        Established = 4,
        Failed = 5,
    };

    ClientSession(ClientFacade& facade, SessionAliveChecker& aliveChecker);

    void connectCompleted() override;
    void sendCompleted(Priority priority) override;

    LoginStep loginStep() const { return _loginStep; }
    const RemoteSystemInfo& remoteSystemInfo() const { return _remoteSystemInfo; }
    const LoginResult& loginResult() const { return _loginResult; }

protected:
    void packetReceived(Packet& packet) override;
    // The analyzer, or an Exception "Null packet analyzer." when none is set.
    PacketAnalyzer& packetAnalyzer() override;
    // 304 while logging in, 0 once established.
    int failureReason() const override;
    void disconnected(int reason) override;
    void onReleased() override;

private:
    ClientPacketAnalyzer& clientAnalyzer();
    void syncReceived(Packet& packet);
    void loginResponseReceived(Packet& packet);
    void fail(int reason);
    int handle() const;

    ClientFacade& _clientFacade;
    ClientPacketAnalyzer* _analyzer = nullptr;
    LoginStep _loginStep = LoginStep::SendingSync;
    RemoteSystemInfo _remoteSystemInfo;
    LoginResult _loginResult;
};

} // namespace ostrel
