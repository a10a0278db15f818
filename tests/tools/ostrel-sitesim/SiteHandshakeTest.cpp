// A simulated site started in-process: its sync, the login, alive checks,
// unknown types, the fault modes and stopping.
#include "network/protocol/CommonMessageType.h"
#include "network/protocol/FinOption.h"
#include "network/protocol/PacketAnalyzer.h"
#include "network/protocol/SyncOptionList.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/PlayRequest.h"
#include "network/protocol/playback/PlaybackMessageType.h"
#include "ostrel-sitesim/SiteServer.h"
#include "ostrel-sitesim/SiteSettingsException.h"
#include "tools/ostrel-sitesim/support/SiteTestClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace ostrel {
namespace {

using test::SiteTestClient;

SiteSettings smallSite() {
    SiteSettings settings;
    settings.user = "operator";
    settings.password = "s3cret";
    settings.recording.sections = {{7, DateTime(2024, 3, 1, 12, 0, 0), DateTime(2024, 3, 1, 12, 0, 59)}};
    settings.recording.videoChannels = 3;
    settings.recording.audioChannels = 2;
    return settings;
}

struct RunningSite {
    explicit RunningSite(SiteSettings settings) : site(std::move(settings)) { port = site.start(); }
    SiteServer site;
    uint16_t port = 0;
};

TEST(SiteHandshakeTest, SyncCarriesPlaybackProfileKeySystemAndNewAliveCheck) {
    RunningSite running(smallSite());
    ASSERT_NE(running.port, 0);
    SiteTestClient client(running.port);
    const test::SiteSync sync = client.handshake();
    EXPECT_TRUE(sync.profiles.contains(ProfileList::PlaybackProfile));
    EXPECT_EQ(sync.product.modelCode(), 301u);
    EXPECT_STREQ(sync.product.productName(), "OSTREL-SIM");
    EXPECT_STREQ(sync.product.version(), "2.1");
    EXPECT_EQ(sync.system.systemType(), 3);
    EXPECT_EQ(sync.system.videoInNum(), 3);
    EXPECT_EQ(sync.system.audioInNum(), 2);
    EXPECT_STREQ(sync.system.name(), "Ostrel simulated site");
    EXPECT_TRUE(sync.newAliveCheck);
}

TEST(SiteHandshakeTest, LoginWithTheRightPasswordSucceeds) {
    RunningSite running(smallSite());
    SiteTestClient client(running.port);
    const LoginResult result = client.login("operator", "s3cret");
    EXPECT_EQ(result.code, LoginResult::Success);
    EXPECT_EQ(result.first, 1u); // the connection's number
    EXPECT_EQ(result.second, 0u);
}

TEST(SiteHandshakeTest, KeysDifferBetweenConnectionsSoADigestCannotBeReplayed) {
    RunningSite running(smallSite());
    SiteTestClient first(running.port);
    SiteTestClient second(running.port);
    // Two random 32-bit keys are equal once in 2^32 runs.
    EXPECT_NE(first.handshake().key.bytes(), second.handshake().key.bytes());
}

TEST(SiteHandshakeTest, WrongCredentialsAreRefusedWithCode2AndClosed) {
    for (const auto& [user, password] : {std::pair{"operator", "wrong"}, std::pair{"intruder", "s3cret"}}) {
        RunningSite running(smallSite());
        SiteTestClient client(running.port);
        const LoginResult result = client.login(user, password);
        EXPECT_EQ(result.code, 2) << user << "/" << password;
        EXPECT_TRUE(client.closedBySite());
    }
}

TEST(SiteHandshakeTest, RefusedLoginFaultAnswersEachCode) {
    for (uint8_t code : {0, 2, 3, 4, 5}) {
        SiteSettings settings = smallSite();
        settings.faults.refuseLogin = code;
        RunningSite running(settings);
        SiteTestClient client(running.port);
        EXPECT_EQ(client.login("operator", "s3cret").code, code);
        EXPECT_TRUE(client.closedBySite());
    }
    SiteSettings settings = smallSite();
    settings.faults.refuseLogin = 1;
    EXPECT_THROW(SiteServer{settings}, SiteSettingsException);
}

TEST(SiteHandshakeTest, ChannelFullFaultAndTooManyClients) {
    SiteSettings settings = smallSite();
    settings.faults.channelFull = true;
    {
        RunningSite running(settings);
        SiteTestClient client(running.port);
        Packet sync;
        SyncOptionList options;
        client.analyzer().makeSync(sync, options);
        client.send(sync);
        EXPECT_EQ(client.expect(COMMON_MESSAGE_CHANNEL_FULL).payloadSize(), 0u);
        EXPECT_TRUE(client.closedBySite());
    }
    settings = smallSite();
    settings.maxConnections = 1;
    RunningSite running(settings);
    SiteTestClient first(running.port);
    ASSERT_EQ(first.login("operator", "s3cret").code, LoginResult::Success);
    SiteTestClient second(running.port);
    Packet sync;
    SyncOptionList options;
    second.analyzer().makeSync(sync, options);
    second.send(sync);
    EXPECT_NO_THROW(second.expect(COMMON_MESSAGE_CHANNEL_FULL));
}

TEST(SiteHandshakeTest, WrongFirstPacketFault) {
    SiteSettings settings = smallSite();
    settings.faults.wrongFirstPacket = true;
    RunningSite running(settings);
    SiteTestClient client(running.port);
    Packet sync;
    SyncOptionList options;
    client.analyzer().makeSync(sync, options);
    client.send(sync);
    Packet first;
    ASSERT_TRUE(client.receive(first));
    EXPECT_NE(first.type(), COMMON_MESSAGE_SYNC);
}

TEST(SiteHandshakeTest, NoPlaybackProfileFault) {
    SiteSettings settings = smallSite();
    settings.faults.noPlaybackProfile = true;
    RunningSite running(settings);
    SiteTestClient client(running.port);
    const test::SiteSync sync = client.handshake();
    EXPECT_FALSE(sync.profiles.contains(ProfileList::PlaybackProfile));
    EXPECT_TRUE(sync.profiles.contains(1));
    EXPECT_TRUE(sync.profiles.contains(3));
}

TEST(SiteHandshakeTest, OversizedHeaderFault) {
    SiteSettings settings = smallSite();
    settings.faults.oversizedHeader = true;
    RunningSite running(settings);
    SiteTestClient client(running.port);
    ASSERT_EQ(client.login("operator", "s3cret").code, LoginResult::Success);
    std::vector<uint8_t> header;
    ASSERT_TRUE(client.receiveBytes(header, 8));
    EXPECT_EQ(header, (std::vector<uint8_t>{0x06, 0x17, 0x02, 0x05, 0x00, 0x10, 0x00, 0x01}));
}

TEST(SiteHandshakeTest, AliveCheckIsAnswered) {
    RunningSite running(smallSite());
    SiteTestClient client(running.port);
    ASSERT_EQ(client.login("operator", "s3cret").code, LoginResult::Success);
    Packet packet;
    PacketAnalyzer().makeAliveCheck(packet, false);
    client.send(packet);
    Packet reply = client.expect(COMMON_MESSAGE_ALIVE_CHECK);
    reply.payload();
    EXPECT_TRUE(reply.getBool());
    // A reply is not answered: the next packet answers the next request.
    PacketAnalyzer().makeAliveCheck(packet, true);
    client.send(packet);
    PacketAnalyzer().makeAliveCheck(packet, false);
    client.send(packet);
    reply = client.expect(COMMON_MESSAGE_ALIVE_CHECK);
    reply.payload();
    EXPECT_TRUE(reply.getBool());
}

TEST(SiteHandshakeTest, UnknownTypesAreAnsweredWith9ButA9IsNot) {
    RunningSite running(smallSite());
    SiteTestClient client(running.port);
    ASSERT_EQ(client.login("operator", "s3cret").code, LoginResult::Success);
    for (uint16_t type : {uint16_t{600}, uint16_t{PLAYBACK_MESSAGE_EVENT_CALENDAR}, uint16_t{COMMON_MESSAGE_SYNC}}) {
        Packet packet;
        packet.begin(type);
        packet.finish(true);
        client.send(packet);
        Packet reply = client.expect(COMMON_MESSAGE_UNKNOWN_TYPE);
        reply.payload();
        EXPECT_EQ(reply.getShort(), type);
    }
    Packet nine;
    nine.begin(COMMON_MESSAGE_UNKNOWN_TYPE);
    nine.putShort(600);
    nine.finish(true);
    client.send(nine);
    Packet alive;
    PacketAnalyzer().makeAliveCheck(alive, false);
    client.send(alive);
    EXPECT_NO_THROW(client.expect(COMMON_MESSAGE_ALIVE_CHECK));
}

TEST(SiteHandshakeTest, SilenceFaultAnswersNothingAfterLogin) {
    SiteSettings settings = smallSite();
    settings.faults.silence = true;
    RunningSite running(settings);
    SiteTestClient client(running.port);
    ASSERT_EQ(client.login("operator", "s3cret").code, LoginResult::Success);
    Packet packet;
    PacketAnalyzer().makeAliveCheck(packet, false);
    client.send(packet);
    EXPECT_FALSE(client.dataWithin(500));
}

TEST(SiteHandshakeTest, DisconnectAfterFramesFault) {
    SiteSettings settings = smallSite();
    settings.faults.disconnectAfterFrames = 5;
    RunningSite running(settings);
    SiteTestClient client(running.port);
    ASSERT_EQ(client.login("operator", "s3cret").code, LoginResult::Success);
    Packet packet;
    client.analyzer().makePlayRequest(
        packet, PlayRequest::play(Interval(DateTime(2024, 3, 1, 12, 0, 0), DateTime(2024, 3, 1, 12, 0, 59)),
                                  BitMask32(BitMask32::AllBits), 1, 1, 3));
    client.send(packet);
    int frames = 0;
    while (client.receive(packet)) {
        ASSERT_EQ(packet.type(), PLAYBACK_MESSAGE_MEDIA_FRAME);
        ++frames;
    }
    EXPECT_EQ(frames, 5);
}

TEST(SiteHandshakeTest, OversizedRequestHeaderClosesTheConnection) {
    RunningSite running(smallSite());
    SiteTestClient client(running.port);
    ASSERT_EQ(client.login("operator", "s3cret").code, LoginResult::Success);
    client.sendBytes({0x06, 0x17, 0x02, 0x01, 0x7F, 0xFF, 0xFF, 0xFF});
    EXPECT_TRUE(client.closedBySite());
}

TEST(SiteHandshakeTest, StopSendsFinToLoggedInClientsAndCloses) {
    auto running = std::make_unique<RunningSite>(smallSite());
    SiteTestClient client(running->port);
    ASSERT_EQ(client.login("operator", "s3cret").code, LoginResult::Success);
    SiteTestClient idle(running->port); // connected, never logged in
    running->site.stop();
    Packet fin = client.expect(COMMON_MESSAGE_FIN);
    fin.payload();
    FinOption option;
    option.read(fin);
    EXPECT_STREQ(option.text(), "shutdown");
    EXPECT_TRUE(client.closedBySite());
    EXPECT_TRUE(idle.closedBySite());
    EXPECT_THROW(SiteTestClient{running->port}, std::runtime_error);
}

} // namespace
} // namespace ostrel
