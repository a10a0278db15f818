#include "network/session/ClientSession.h"

#include "base/Exception.h"
#include "base/Trace.h"
#include "network/protocol/ClientFacade.h"
#include "network/protocol/ClientPacketAnalyzer.h"
#include "network/protocol/CommonMessageType.h"
#include "network/protocol/ProfileList.h"
#include "network/session/CloseReason.h"

namespace ostrel {

ClientSession::ClientSession(ClientFacade& facade, SessionAliveChecker& aliveChecker)
    : CommonSession(facade, MaxPayloadSize, aliveChecker), _clientFacade(facade) {}

int ClientSession::handle() const { return _clientFacade.handleOfChannel(channelIndex()); }

PacketAnalyzer& ClientSession::packetAnalyzer() { return clientAnalyzer(); }

ClientPacketAnalyzer& ClientSession::clientAnalyzer() {
    if (_analyzer == nullptr) {
        throw Exception("Exception", 0, std::string("Null packet analyzer."));
    }
    return *_analyzer;
}

int ClientSession::failureReason() const {
    return _loginStep == LoginStep::Established ? CloseReason::Requested : CloseReason::ProtocolError;
}

void ClientSession::fail(int reason) {
    _loginStep = LoginStep::Failed;
    close(reason);
}

void ClientSession::connectCompleted() {
    trace("ClientSession::connectCompleted...\n");
    _clientFacade.connected(handle());
    _analyzer = &_clientFacade.clientPacketAnalyzer();
    _loginStep = LoginStep::SendingSync;
    try {
        sendBuilt(Priority::Normal,
                  [&](Packet& packet) { clientAnalyzer().makeSync(packet, _clientFacade.syncOptions()); });
    } catch (const Exception& e) {
        traceException(e);
        fail(CloseReason::ProtocolError);
    }
}

void ClientSession::sendCompleted(Priority priority) {
    // Alive-check replies may go out while logging in; only our own
    // handshake packets move the login on.
    if (priority == Priority::High && _loginStep != LoginStep::Established) {
        return;
    }
    switch (_loginStep) {
    case LoginStep::SendingSync:
        _loginStep = LoginStep::WaitingForSync;
        startReading();
        break;
    case LoginStep::SendingLoginRequest:
        _loginStep = LoginStep::WaitingForLoginResponse;
        startReading();
        break;
    case LoginStep::Established:
        _clientFacade.sendCompleted(handle(), priority);
        break;
    default:
        trace("ClientSession::sendCompleted(const SessionEvent* evt) assertion error\n");
        break;
    }
}

void ClientSession::packetReceived(Packet& packet) {
    switch (_loginStep) {
    case LoginStep::WaitingForSync:
        syncReceived(packet);
        break;
    case LoginStep::WaitingForLoginResponse:
        loginResponseReceived(packet);
        break;
    case LoginStep::Established:
        if (clientAnalyzer().analyze(handle(), packet, _clientFacade)) {
            startReading();
        }
        break;
    default:
        trace("[ClientSession] Invalid State Error, current state is %d\n", static_cast<int>(_loginStep));
        close(CloseReason::Requested);
        break;
    }
}

void ClientSession::syncReceived(Packet& packet) {
    if (packet.type() == COMMON_MESSAGE_CHANNEL_FULL) {
        trace("[LOGIN_FAILED] CHANNEL FULL\n");
        fail(CloseReason::ChannelFull);
        return;
    }
    if (packet.type() != COMMON_MESSAGE_SYNC) {
        trace("[LOGIN_FAILED] ABNORMAL PROTOCOL\n");
        fail(CloseReason::ProtocolError);
        return;
    }
    _remoteSystemInfo.clear();
    ProfileList profiles;
    if (!clientAnalyzer().parseSync(packet, profiles, _productInfo, _remoteOemInfo, _remoteSystemInfo,
                                    _encryptionKey, _peerNewAliveCheck)) {
        trace("[LOGIN_FAILED] invalid protocol\n");
        fail(CloseReason::ProtocolError);
        return;
    }
    if (!_clientFacade.profileListAcceptable(profiles)) {
        trace("REMOTE: LOGIN FAILED, INVALID PROFILE");
        fail(CloseReason::NoPlaybackProfile);
        return;
    }
    if (_remoteSystemInfo.systemType() == 0) {
        _remoteSystemInfo.setDefaults(_productInfo.modelCode());
    }
    const int sessionHandle = handle();
    _clientFacade.remoteSystemInfoReceived(sessionHandle, _remoteSystemInfo);
    _clientFacade.productInfoReceived(sessionHandle, _productInfo);
    sendBuilt(Priority::Normal, [&](Packet& request) {
        clientAnalyzer().makeLoginRequest(request, user(), password(), _encryptionKey);
        _loginStep = LoginStep::SendingLoginRequest;
    });
}

void ClientSession::loginResponseReceived(Packet& packet) {
    if (packet.type() != COMMON_MESSAGE_RESPONSE_LOGIN) {
        trace("[LOGIN_FAILED] not COMMON_MESSAGE_RESPONSE_LOGIN\n");
        fail(CloseReason::ProtocolError);
        return;
    }
    clientAnalyzer().parseLoginResponse(packet, _loginResult);
    const int sessionHandle = handle();
    if (_loginResult.succeeded()) {
        _loginStep = LoginStep::Established;
        setState(SessionState::Connected);
        _clientFacade.loginSucceeded(sessionHandle, _loginResult);
        startReading();
        return;
    }
    trace("[LOGIN_FAILED] login fail\n");
    _loginStep = LoginStep::Failed;
    _clientFacade.loginFailed(sessionHandle, _loginResult);
    switch (_loginResult.code) {
    case 3:
        close(CloseReason::LoginRefusedCode3);
        break;
    case 4:
        close(CloseReason::LoginRefusedCode4);
        break;
    case 5:
        close(CloseReason::LoginRefusedCode5);
        break;
    default:
        close(CloseReason::LoginRefused);
        break;
    }
}

void ClientSession::disconnected(int reason) {
    trace("[ClientSession] connectionClosed()\n");
    CommonSession::disconnected(reason);
}

void ClientSession::onReleased() {
    _analyzer = nullptr;
    _loginStep = LoginStep::SendingSync;
}

} // namespace ostrel
