#include "base/ManualClock.h"
#include "network/protocol/CommonMessageType.h"
#include "network/protocol/FinOption.h"
#include "network/protocol/Md5.h"
#include "network/session/ClientSession.h"
#include "network/session/CloseReason.h"
#include "network/session/InvalidSessionHandleException.h"
#include "network/session/SelectDispatcher.h"
#include "network/session/SessionAliveChecker.h"
#include "network/socket/SocketException.h"
#include "network/support/LoopbackServer.h"
#include "network/support/PacketBytes.h"
#include "network/support/RecordingFacade.h"
#include "network/support/SiteConnection.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using test::LoopbackServer;
using test::RecordingFacade;
using test::SiteConnection;
using test::SitePackets;
using Bytes = std::vector<uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// A site's sync that the client accepts: playback profile, model 204, key 01 02 03 04, new alive check.
Packet goodSync(bool newAliveCheck = true) {
    return SitePackets::sync(SitePackets::localProtocol(),
                             concat({SitePackets::profiles({1, 2}), SitePackets::product(204),
                                     SitePackets::key(1, 2, 3, 4),
                                     newAliveCheck ? SitePackets::option(13, {}) : Bytes{}}));
}

class ClientSessionTest : public ::testing::Test {
protected:
    void SetUp() override { _facade.start(); }

    // Connects a session and accepts its connection at the site.
    int connect(std::optional<SiteConnection>& site) {
        const int handle = _facade.connect("127.0.0.1", _server.port(), "admin", "secret");
        EXPECT_GE(handle, CommonFacade::FirstHandle);
        auto accepted = _server.accept();
        EXPECT_NE(accepted, nullptr);
        site.emplace(std::move(accepted));
        return handle;
    }

    // Runs the handshake up to the site's answer to the login request.
    int loginUpToRequest(std::optional<SiteConnection>& site, const Packet& siteSync) {
        const int handle = connect(site);
        auto clientSync = site->receive();
        EXPECT_TRUE(clientSync.has_value());
        if (clientSync) {
            EXPECT_EQ(clientSync->type(), COMMON_MESSAGE_SYNC);
        }
        site->send(siteSync);
        return handle;
    }

    int login(std::optional<SiteConnection>& site, bool newAliveCheck = true) {
        const int handle = loginUpToRequest(site, goodSync(newAliveCheck));
        auto request = site->receive();
        EXPECT_TRUE(request.has_value());
        site->send(SitePackets::loginResponse(1, 7, std::nullopt));
        EXPECT_TRUE(_facade.waitFor("loginSucceeded " + std::to_string(handle)));
        return handle;
    }

    // The handle is unmapped right after the disconnected callback returns.
    bool becomesUnmapped(int handle) {
        for (int i = 0; i < 500 && _facade.isConnected(handle); ++i) {
            _facade.waitFor("never", 1);
        }
        return !_facade.isConnected(handle);
    }

    std::string disconnected(int handle, int reason) {
        return "disconnected " + std::to_string(handle) + " " + std::to_string(reason);
    }

    ManualClock _clock;
    LoopbackServer _server;
    SelectDispatcher _dispatcher{4, "ClientSessionTest Dispatcher"};
    RecordingFacade _facade{4, _dispatcher, _clock};
};

TEST_F(ClientSessionTest, LoginWithDigestOfPasswordAndKey) {
    std::optional<SiteConnection> site;
    const int handle = connect(site);
    EXPECT_TRUE(_facade.waitFor("connected " + std::to_string(handle)));
    auto clientSync = site->receive();
    ASSERT_TRUE(clientSync.has_value());
    const Bytes syncBytes = test::bytesOf(*clientSync);
    EXPECT_EQ(syncBytes, (Bytes{0x06, 0x17, 0, 1, 0, 0, 0, 12, 'I', 'S', 'N', 'P', 1, 0, 1, 1, 13, 0, 0, 0}));

    site->send(goodSync());
    auto request = site->receive();
    ASSERT_TRUE(request.has_value());
    ASSERT_EQ(request->type(), COMMON_MESSAGE_REQUEST_LOGIN);
    request->payload();
    EXPECT_STREQ(request->getString(), "admin");
    EXPECT_EQ(request->get(), 16);
    Md5::Digest digest{};
    request->get(digest.data(), 0, 16);
    const Bytes secretAndKey = {'s', 'e', 'c', 'r', 'e', 't', 1, 2, 3, 4};
    EXPECT_EQ(digest, Md5::compute({std::span<const uint8_t>(secretAndKey)}));
    EXPECT_STREQ(request->getString(), "md5");

    site->send(SitePackets::loginResponse(1, 7, std::nullopt));
    ASSERT_TRUE(_facade.waitFor("loginSucceeded " + std::to_string(handle)));
    EXPECT_EQ(_facade.lastLogin.first, 7u);
    EXPECT_EQ(_facade.lastLogin.second, LoginResult::Absent);
    CommonSession& session = _facade.sessionByHandle(handle);
    EXPECT_EQ(session.state(), SessionState::Connected);
    EXPECT_TRUE(_facade.aliveChecker().isRegistered(session));
    EXPECT_EQ(static_cast<ClientSession&>(session).loginStep(), ClientSession::LoginStep::Established);
    // No system info in the sync, model 204: the defaults for that model.
    EXPECT_EQ(_facade.systemInfo.systemType(), 3);
    EXPECT_EQ(_facade.systemInfo.videoInNum(), 4);
    EXPECT_EQ(_facade.systemInfo.audioInNum(), 1);
    EXPECT_EQ(_facade.systemInfo.alarmNum(), 2);
    EXPECT_EQ(_facade.productInfo.modelCode(), 204u);

    _facade.disconnect(handle);
    EXPECT_TRUE(_facade.waitFor(disconnected(handle, 0)));
    EXPECT_TRUE(site->waitForClose());
    EXPECT_FALSE(_facade.aliveChecker().isRegistered(session));
    ASSERT_TRUE(becomesUnmapped(handle));
    EXPECT_THROW(_facade.sessionByHandle(handle), InvalidSessionHandleException);
}

TEST_F(ClientSessionTest, OtherModelsGetSixteenOfEverything) {
    std::optional<SiteConnection> site;
    const int handle = loginUpToRequest(
        site, SitePackets::sync(SitePackets::localProtocol(),
                                concat({SitePackets::profiles({2}), SitePackets::product(301)})));
    ASSERT_TRUE(site->receive().has_value());
    site->send(SitePackets::loginResponse(1, 0, 0));
    ASSERT_TRUE(_facade.waitFor("loginSucceeded " + std::to_string(handle)));
    EXPECT_EQ(_facade.systemInfo.videoInNum(), 16);
    EXPECT_EQ(_facade.systemInfo.sensorNum(), 16);
    EXPECT_EQ(_facade.lastLogin.second, 0u);
}

TEST_F(ClientSessionTest, FailuresBeforeTheLoginRequest) {
    struct Case {
        const char* name;
        Packet siteAnswer;
        int reason;
    };
    std::vector<Case> cases;
    cases.push_back({"channel full", SitePackets::withPayload(COMMON_MESSAGE_CHANNEL_FULL, {}), 313});
    cases.push_back({"not a sync", SitePackets::loginResponse(1, 0, 0), 304});
    cases.push_back({"foreign protocol",
                     SitePackets::sync({'X', 'S', 'N', 'P', 1, 0, 1, 1}, SitePackets::profiles({2})), 304});
    cases.push_back({"newer incompatible version",
                     SitePackets::sync({'I', 'S', 'N', 'P', 2, 0, 1, 1}, SitePackets::profiles({2})), 304});
    cases.push_back({"truncated option",
                     SitePackets::sync(SitePackets::localProtocol(), {2, 0, 30, 1, 0, 0}), 304});
    cases.push_back({"no playback profile",
                     SitePackets::sync(SitePackets::localProtocol(), SitePackets::profiles({1, 3})), 305});
    for (Case& c : cases) {
        std::optional<SiteConnection> site;
        const int handle = loginUpToRequest(site, c.siteAnswer);
        EXPECT_TRUE(_facade.waitFor(disconnected(handle, c.reason))) << c.name;
        EXPECT_FALSE(site->receive(1000).has_value()) << c.name << ": no login request follows";
        EXPECT_EQ(_facade.count("loginFailed"), 0) << c.name;
        EXPECT_EQ(_facade.count("loginSucceeded"), 0) << c.name;
    }
}

TEST_F(ClientSessionTest, LoginResponses) {
    struct Case {
        const char* name;
        std::optional<Packet> response;
        int reason;
        bool loginFailed;
    };
    std::vector<Case> cases;
    cases.push_back({"result 0", SitePackets::loginResponse(0, 0, 0), 308, true});
    cases.push_back({"result 2", SitePackets::loginResponse(2, 0, 0), 308, true});
    cases.push_back({"result 3", SitePackets::loginResponse(3, 0, 0), 309, true});
    cases.push_back({"result 4", SitePackets::loginResponse(4, 0, 0), 310, true});
    cases.push_back({"result 5", SitePackets::loginResponse(5, 0, 0), 311, true});
    cases.push_back({"not a login response", goodSync(), 304, false});
    cases.push_back({"response without the first value", SitePackets::withPayload(3, {1, 0}), 304, false});
    for (Case& c : cases) {
        std::optional<SiteConnection> site;
        const int handle = loginUpToRequest(site, goodSync());
        ASSERT_TRUE(site->receive().has_value()) << c.name;
        const int failedBefore = _facade.count("loginFailed");
        site->send(*c.response);
        EXPECT_TRUE(_facade.waitFor(disconnected(handle, c.reason))) << c.name;
        EXPECT_EQ(_facade.count("loginFailed") - failedBefore, c.loginFailed ? 1 : 0) << c.name;
        EXPECT_TRUE(site->waitForClose()) << c.name;
    }
    EXPECT_EQ(_facade.count("loginSucceeded"), 0);
}

TEST_F(ClientSessionTest, OversizedPayloadClosesWith303) {
    std::optional<SiteConnection> site;
    const int handle = login(site);
    site->sendBytes({0x06, 0x17, 0x02, 0x05, 0x00, 0x10, 0x00, 0x01}); // 1,048,577 bytes announced
    EXPECT_TRUE(_facade.waitFor(disconnected(handle, CloseReason::InvalidPayloadSize)));
}

TEST_F(ClientSessionTest, LargestPayloadIsAccepted) {
    std::optional<SiteConnection> site;
    const int handle = login(site);
    const Bytes payload(1048576, 0x5A);
    site->send(SitePackets::withPayload(600, payload));
    EXPECT_TRUE(_facade.waitFor("unknown " + std::to_string(handle) + " 600", 10000));
    auto answer = site->receive();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->type(), COMMON_MESSAGE_UNKNOWN_TYPE);
}

// Packets that arrive together are received in large chunks and handled
// where they lie; each must still come out whole and in order, whether it is
// empty, small, crosses a chunk's end, or is larger than a chunk.
TEST_F(ClientSessionTest, PacketsArrivingTogetherAreHandledWholeAndInOrder) {
    std::optional<SiteConnection> site;
    const int handle = login(site);
    const std::vector<size_t> sizes = {0, 1, 7, 1000, 15000, 70000, 3, 100000, 300000, 16, 1048576, 5, 250000, 9};
    std::vector<Bytes> payloads;
    Bytes stream;
    for (size_t i = 0; i < sizes.size(); ++i) {
        Bytes payload(sizes[i]);
        for (size_t j = 0; j < payload.size(); ++j) {
            payload[j] = static_cast<uint8_t>(j * 31 + i * 7 + j / 251);
        }
        const Packet packet = SitePackets::withPayload(static_cast<uint16_t>(600 + i), payload);
        const uint8_t* bytes = packet.array() - packet.position();
        stream.insert(stream.end(), bytes, bytes + packet.limit());
        payloads.push_back(std::move(payload));
        if (i == 5) {
            const Packet alive = SitePackets::aliveCheck(false);
            const uint8_t* aliveBytes = alive.array() - alive.position();
            stream.insert(stream.end(), aliveBytes, aliveBytes + alive.limit());
        }
    }
    site->sendBytes(stream);
    ASSERT_TRUE(_facade.waitFor("unknown " + std::to_string(handle) + " " + std::to_string(600 + sizes.size() - 1),
                                20000));
    const std::vector<Bytes> received = _facade.unknownPayloads();
    ASSERT_EQ(received.size(), payloads.size());
    for (size_t i = 0; i < payloads.size(); ++i) {
        EXPECT_TRUE(received[i] == payloads[i]) << "packet " << i << " of " << sizes[i] << " bytes";
    }
    int unknownAnswers = 0;
    int aliveReplies = 0;
    for (size_t i = 0; i < payloads.size() + 1; ++i) {
        auto answer = site->receive();
        ASSERT_TRUE(answer.has_value());
        unknownAnswers += answer->type() == COMMON_MESSAGE_UNKNOWN_TYPE ? 1 : 0;
        aliveReplies += answer->type() == COMMON_MESSAGE_ALIVE_CHECK ? 1 : 0;
    }
    EXPECT_EQ(unknownAnswers, static_cast<int>(payloads.size()));
    EXPECT_EQ(aliveReplies, 1);
}

// Bad input behind good packets in the same chunk: the packets before it are
// handled, then the connection closes with its reason and nothing behind it
// is handled.
TEST_F(ClientSessionTest, BadPacketBehindGoodOnesInOneChunkClosesAfterThem) {
    struct Case {
        const char* name;
        Bytes bad;
        int reason;
    };
    const std::vector<Case> cases = {
        {"oversized header", {0x06, 0x17, 0x02, 0x05, 0x00, 0x10, 0x00, 0x01}, CloseReason::InvalidPayloadSize},
        {"malformed fin", {0x06, 0x17, 0x00, COMMON_MESSAGE_FIN, 0, 0, 0, 4, 7, 0, 9, 'b'}, CloseReason::Requested},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<SiteConnection> site;
        const int handle = login(site);
        Bytes stream;
        for (const uint16_t type : {700, 701}) {
            const Packet packet = SitePackets::withPayload(type, {1, 2, 3, 4});
            const uint8_t* bytes = packet.array() - packet.position();
            stream.insert(stream.end(), bytes, bytes + packet.limit());
        }
        stream.insert(stream.end(), c.bad.begin(), c.bad.end());
        const Packet after = SitePackets::withPayload(702, {5, 6, 7, 8});
        const uint8_t* afterBytes = after.array() - after.position();
        stream.insert(stream.end(), afterBytes, afterBytes + after.limit());
        site->sendBytes(stream);
        EXPECT_TRUE(_facade.waitFor(disconnected(handle, c.reason)));
        EXPECT_EQ(_facade.count("unknown " + std::to_string(handle) + " 700"), 1);
        EXPECT_EQ(_facade.count("unknown " + std::to_string(handle) + " 701"), 1);
        EXPECT_EQ(_facade.count("unknown " + std::to_string(handle) + " 702"), 0);
        EXPECT_TRUE(site->waitForClose());
        EXPECT_TRUE(becomesUnmapped(handle));
    }
}

// A site that answers the login before it was asked: the answer arrives with
// the sync, waits received while the client sends its request, and is
// handled once the client reads on.
TEST_F(ClientSessionTest, LoginAnswerArrivingWithTheSyncWaitsForTheRequest) {
    std::optional<SiteConnection> site;
    const int handle = connect(site);
    auto clientSync = site->receive();
    ASSERT_TRUE(clientSync.has_value());
    Bytes stream;
    for (const Packet& packet : {goodSync(), SitePackets::loginResponse(1, 7, std::nullopt)}) {
        const uint8_t* bytes = packet.array() - packet.position();
        stream.insert(stream.end(), bytes, bytes + packet.limit());
    }
    site->sendBytes(stream);
    auto request = site->receive();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->type(), COMMON_MESSAGE_REQUEST_LOGIN);
    EXPECT_TRUE(_facade.waitFor("loginSucceeded " + std::to_string(handle)));
    site->send(SitePackets::aliveCheck(false));
    auto reply = site->receive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->type(), COMMON_MESSAGE_ALIVE_CHECK);
}

TEST_F(ClientSessionTest, UnknownPacketIsAnsweredButAnUnknownTypeNeverIs) {
    std::optional<SiteConnection> site;
    const int handle = login(site);
    site->send(SitePackets::withPayload(600, {1, 2, 3, 4}));
    auto answer = site->receive();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->type(), COMMON_MESSAGE_UNKNOWN_TYPE);
    answer->payload();
    EXPECT_EQ(answer->getShort(), 600);

    site->send(SitePackets::withPayload(COMMON_MESSAGE_UNKNOWN_TYPE, {0x02, 0x58, 0, 0}));
    site->send(SitePackets::aliveCheck(false));
    auto next = site->receive();
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->type(), COMMON_MESSAGE_ALIVE_CHECK) << "the 9 went unanswered";
    EXPECT_EQ(_facade.count("unknown " + std::to_string(handle) + " 9"), 1);
}

TEST_F(ClientSessionTest, AliveRequestIsAnsweredAtOnce) {
    std::optional<SiteConnection> site;
    login(site);
    site->send(SitePackets::aliveCheck(false));
    auto reply = site->receive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->type(), COMMON_MESSAGE_ALIVE_CHECK);
    reply->payload();
    EXPECT_EQ(reply->get(), 0xFF);
}

TEST_F(ClientSessionTest, FinReachesTheFacadeAndMalformedFinClosesOnlyItsSession) {
    std::optional<SiteConnection> first;
    std::optional<SiteConnection> second;
    const int firstHandle = login(first);
    const int secondHandle = login(second);
    Packet fin;
    fin.begin(COMMON_MESSAGE_FIN);
    FinOption(7, "bye", 1).write(fin);
    fin.finish(true);
    first->send(fin);
    EXPECT_TRUE(_facade.waitFor("fin " + std::to_string(firstHandle) + " 7"));

    first->send(SitePackets::withPayload(COMMON_MESSAGE_FIN, {7, 0, 9, 'b'})); // string cut short
    EXPECT_TRUE(_facade.waitFor(disconnected(firstHandle, 0)));
    EXPECT_TRUE(first->waitForClose());

    second->send(SitePackets::aliveCheck(false));
    auto reply = second->receive();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->type(), COMMON_MESSAGE_ALIVE_CHECK);
    EXPECT_EQ(_facade.count(disconnected(secondHandle, 0)), 0);
}

TEST_F(ClientSessionTest, AliveCheckOfThePeerWithTheNewScheme) {
    std::optional<SiteConnection> site;
    const int handle = login(site);
    SessionAliveChecker& checker = _facade.aliveChecker();
    _clock.advanceMilliseconds(100000); // idle, but the new scheme sends nothing for that
    checker.checkNow();
    EXPECT_FALSE(site->receive(300).has_value());

    _clock.advanceMilliseconds(20001); // 120.001 s of silence
    checker.checkNow();
    auto request = site->receive();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->type(), COMMON_MESSAGE_ALIVE_CHECK);
    request->payload();
    EXPECT_EQ(request->get(), 0x00) << "a request";
    checker.checkNow();
    EXPECT_FALSE(site->receive(300).has_value()) << "one request at a time";

    _clock.advanceMilliseconds(110000); // 230 s since the last packet
    checker.checkNow();
    EXPECT_EQ(_facade.count("disconnected"), 0);
    _clock.advanceMilliseconds(10000); // 240.001 s
    checker.checkNow();
    EXPECT_TRUE(_facade.waitFor(disconnected(handle, CloseReason::NoResponse)));
    EXPECT_TRUE(site->waitForClose());
}

TEST_F(ClientSessionTest, DropComesTwoHundredFortySecondsAfterTheLastPacketNotAfterTheRequest) {
    std::optional<SiteConnection> site;
    const int handle = login(site);
    SessionAliveChecker& checker = _facade.aliveChecker();
    _clock.advanceMilliseconds(200000); // the first pass to notice comes late
    checker.checkNow();
    ASSERT_TRUE(site->receive().has_value());
    _clock.advanceMilliseconds(40001);
    checker.checkNow();
    EXPECT_TRUE(_facade.waitFor(disconnected(handle, CloseReason::NoResponse)));
}

TEST_F(ClientSessionTest, AnyPacketRefreshesTheSilenceButOnlyAReplyClearsThePendingRequest) {
    std::optional<SiteConnection> site;
    const int handle = login(site);
    SessionAliveChecker& checker = _facade.aliveChecker();
    CommonSession& session = _facade.sessionByHandle(handle);
    _clock.advanceMilliseconds(120001);
    checker.checkNow();
    ASSERT_TRUE(site->receive().has_value());
    EXPECT_TRUE(session.isAliveCheckPending());
    _clock.advanceMilliseconds(100000);
    site->send(SitePackets::withPayload(600, {}));
    ASSERT_TRUE(site->receive().has_value()); // the unknown-type answer: the packet was handled
    EXPECT_TRUE(session.isAliveCheckPending());
    _clock.advanceMilliseconds(200000); // 200 s since that packet
    checker.checkNow();
    EXPECT_EQ(_facade.count("disconnected"), 0);
    site->send(SitePackets::aliveCheck(true));
    site->send(SitePackets::withPayload(601, {}));
    ASSERT_TRUE(site->receive().has_value());
    EXPECT_FALSE(session.isAliveCheckPending());
}

TEST_F(ClientSessionTest, PeerOfTheOldSchemeGetsARequestAfterTwentySecondsIdle) {
    std::optional<SiteConnection> site;
    login(site, false);
    SessionAliveChecker& checker = _facade.aliveChecker();
    _clock.advanceMilliseconds(20000);
    checker.checkNow();
    EXPECT_FALSE(site->receive(300).has_value()) << "not before 20 s";
    _clock.advanceMilliseconds(1);
    checker.checkNow();
    auto request = site->receive();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->type(), COMMON_MESSAGE_ALIVE_CHECK);
}

TEST_F(ClientSessionTest, RequestsOnUnknownHandlesAndUnresolvableAddresses) {
    EXPECT_THROW(_facade.sendPacket(999, SitePackets::aliveCheck(false), Priority::Normal),
                 InvalidSessionHandleException);
    EXPECT_THROW(_facade.connect("no-such-host.invalid", 1, "a", "b"), SocketAddressInfoException);
    std::optional<SiteConnection> site;
    const int handle = login(site);
    _facade.disconnect(handle);
    ASSERT_TRUE(_facade.waitFor(disconnected(handle, 0)));
    ASSERT_TRUE(becomesUnmapped(handle));
    EXPECT_THROW(_facade.sendPacket(handle, SitePackets::aliveCheck(false), Priority::Normal),
                 InvalidSessionHandleException);
    _facade.disconnect(handle); // ignored
}

TEST_F(ClientSessionTest, ConnectToAClosedPortReportsTheReasonAndFreesTheSession) {
    uint16_t closedPort;
    {
        LoopbackServer closed;
        closedPort = closed.port();
    }
    for (int i = 0; i < 6; ++i) { // more attempts than sessions: each one is freed again
        const int handle = _facade.connect("127.0.0.1", closedPort, "a", "b");
        ASSERT_GE(handle, CommonFacade::FirstHandle);
        EXPECT_TRUE(_facade.waitFor(disconnected(handle, CloseReason::ConnectionRefused)));
    }
}

} // namespace
} // namespace ostrel
