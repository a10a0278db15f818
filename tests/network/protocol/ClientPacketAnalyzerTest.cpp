#include "base/ByteBufferException.h"
#include "network/protocol/ClientPacketAnalyzer.h"
#include "network/protocol/CommonMessageType.h"
#include "network/protocol/EncryptionKey.h"
#include "network/protocol/LoginResult.h"
#include "network/protocol/NewAliveCheckOption.h"
#include "network/protocol/Packet.h"
#include "network/protocol/ProductInfo.h"
#include "network/protocol/ProfileList.h"
#include "network/protocol/Protocol.h"
#include "network/protocol/RemoteOemInfo.h"
#include "network/protocol/RemoteSystemInfo.h"
#include "network/protocol/SyncOptionList.h"
#include "network/support/PacketBytes.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrel {
namespace {

std::vector<uint8_t> payloadOf(const Packet& packet) {
    const auto bytes = test::bytesOf(packet);
    return std::vector<uint8_t>(bytes.begin() + Packet::HeaderSize, bytes.end());
}

// What parseSync fills.
struct SyncResult {
    ProfileList profiles;
    ProductInfo product;
    RemoteOemInfo oem;
    RemoteSystemInfo system;
    EncryptionKey key;
    bool newAliveCheck = true;

    bool parse(Packet& packet) {
        return ClientPacketAnalyzer().parseSync(packet, profiles, product, oem, system, key, newAliveCheck);
    }
};

std::vector<uint8_t> protocolBytes(uint8_t version, uint8_t compatible, const char* name = "ISNP") {
    return {static_cast<uint8_t>(name[0]), static_cast<uint8_t>(name[1]), static_cast<uint8_t>(name[2]),
            static_cast<uint8_t>(name[3]), version, compatible, 1, 1};
}

TEST(ClientPacketAnalyzerTest, OwnSyncCarriesTheProtocolAndOption13) {
    SyncOptionList options;
    options.add(NewAliveCheckOption::instance());
    Packet packet;
    ClientPacketAnalyzer().makeSync(packet, options);
    EXPECT_EQ(packet.type(), COMMON_MESSAGE_SYNC);
    EXPECT_EQ(payloadOf(packet), (std::vector<uint8_t>{'I', 'S', 'N', 'P', 1, 0, 1, 1, 13, 0, 0, 0}));
}

TEST(ClientPacketAnalyzerTest, AliveCheckRequestAndReply) {
    Packet packet;
    ClientPacketAnalyzer().makeAliveCheck(packet, false);
    EXPECT_EQ(test::bytesOf(packet), (std::vector<uint8_t>{0x06, 0x17, 0, 7, 0, 0, 0, 4, 0x00, 0, 0, 0}));
    ClientPacketAnalyzer().makeAliveCheck(packet, true);
    EXPECT_EQ(payloadOf(packet), (std::vector<uint8_t>{0xFF, 0, 0, 0}));
}

TEST(ClientPacketAnalyzerTest, SiteSyncWithEveryOptionIsRead) {
    ProfileList profiles;
    profiles.add({1, 0, false});
    profiles.add({2, 0, true});
    ProductInfo product(2, 204, "NR-4", "1.9");
    RemoteOemInfo oem(true, "oem");
    EncryptionKey key({9, 8, 7, 6});
    RemoteSystemInfo system;
    system.setSystemType(1);
    system.setCounts(4, 4, 1, 4, 4);
    system.setName("Lobby");
    SyncOptionList options;
    options.add(profiles);
    options.add(product);
    options.add(oem);
    options.add(key);
    options.add(system);
    options.add(NewAliveCheckOption::instance());
    Packet packet;
    packet.begin(COMMON_MESSAGE_SYNC);
    Protocol::local().write(packet);
    options.write(packet);
    packet.finish(true);

    SyncResult result;
    ASSERT_TRUE(result.parse(packet));
    EXPECT_TRUE(result.profiles.contains(2));
    EXPECT_EQ(result.product.modelCode(), 204u);
    EXPECT_STREQ(result.product.version(), "1.9");
    EXPECT_TRUE(result.oem.isOem());
    EXPECT_EQ(result.key.bytes(), (EncryptionKey::Bytes{9, 8, 7, 6}));
    EXPECT_EQ(result.system.systemType(), 1);
    EXPECT_STREQ(result.system.name(), "Lobby");
    EXPECT_TRUE(result.newAliveCheck);
}

TEST(ClientPacketAnalyzerTest, ProtocolVersionsAndNames) {
    struct Case {
        std::vector<uint8_t> protocol;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {protocolBytes(1, 0), true},
        {protocolBytes(2, 0xFF), true},
        {protocolBytes(2, 0x01), true}, // any non-zero byte is true
        {protocolBytes(2, 0), false},
        {protocolBytes(0, 0), true},
        {protocolBytes(1, 0, "ISNQ"), false},
    };
    for (const Case& c : cases) {
        Packet packet = test::packetWith(COMMON_MESSAGE_SYNC, c.protocol);
        SyncResult result;
        EXPECT_EQ(result.parse(packet), c.accepted) << int(c.protocol[4]) << " " << int(c.protocol[5]);
        EXPECT_FALSE(result.newAliveCheck) << "cleared first";
    }
}

TEST(ClientPacketAnalyzerTest, Option13FollowedByPaddingStopsCleanly) {
    for (const int padding : {1, 3}) {
        std::vector<uint8_t> payload = protocolBytes(1, 0);
        payload.insert(payload.end(), {13, 0, 0});
        payload.insert(payload.end(), static_cast<size_t>(padding), 0);
        Packet packet = test::packetWith(COMMON_MESSAGE_SYNC, payload);
        SyncResult result;
        ASSERT_TRUE(result.parse(packet)) << padding;
        EXPECT_TRUE(result.newAliveCheck);
        EXPECT_EQ(packet.remaining(), 0);
    }
}

TEST(ClientPacketAnalyzerTest, UnknownOptionsAreSkippedByTheirLength) {
    std::vector<uint8_t> payload = protocolBytes(1, 0);
    payload.insert(payload.end(), {9, 0, 4, 0xAA, 0xBB, 0xCC, 0xDD});   // known id, no meaning here
    payload.insert(payload.end(), {200, 0, 2, 0xEE, 0xEE});             // unknown id reads as 0
    payload.insert(payload.end(), {4, 0, 6, 1, 2, 3, 4, 0x55, 0x55});  // longer than its body
    payload.insert(payload.end(), {13, 0, 0});
    Packet packet = test::packetWith(COMMON_MESSAGE_SYNC, payload);
    SyncResult result;
    ASSERT_TRUE(result.parse(packet));
    EXPECT_EQ(result.key.bytes(), (EncryptionKey::Bytes{1, 2, 3, 4}));
    EXPECT_TRUE(result.newAliveCheck);
}

TEST(ClientPacketAnalyzerTest, OptionLongerThanThePayloadIsMalformed) {
    std::vector<uint8_t> payload = protocolBytes(1, 0);
    payload.insert(payload.end(), {9, 0, 40, 0xAA});
    Packet packet = test::packetWith(COMMON_MESSAGE_SYNC, payload);
    SyncResult result;
    EXPECT_THROW(result.parse(packet), ByteBufferException);
}

TEST(ClientPacketAnalyzerTest, LoginRequestCarriesTheDigestNotThePassword) {
    Packet packet;
    ClientPacketAnalyzer().makeLoginRequest(packet, "admin", "secret", EncryptionKey({1, 2, 3, 4}));
    EXPECT_EQ(packet.type(), COMMON_MESSAGE_REQUEST_LOGIN);
    // MD5("secret" 01 02 03 04) = 2c5fdfeaaf56b865c58a2fa09b7b2c61
    const std::vector<uint8_t> expected = {
        0, 5, 'a', 'd', 'm', 'i', 'n', 0, 16, 0x2c, 0x5f, 0xdf, 0xea, 0xaf, 0x56, 0xb8, 0x65, 0xc5, 0x8a, 0x2f,
        0xa0, 0x9b, 0x7b, 0x2c, 0x61, 0, 3, 'm', 'd', '5', 0, 0};
    EXPECT_EQ(payloadOf(packet), expected);
    EXPECT_EQ(packet.payloadSize() % 4, 0u);
}

TEST(ClientPacketAnalyzerTest, LoginResponses) {
    struct Case {
        std::vector<uint8_t> payload;
        uint8_t code;
        uint32_t first;
        uint32_t second;
    };
    const std::vector<Case> cases = {
        {{1, 0, 0, 0, 7, 0, 0, 0}, 1, 7, LoginResult::Absent},   // 5 bytes padded to 8
        {{4, 0, 0, 0, 1, 0, 0, 0, 2}, 4, 1, 2},
        {{9, 0, 0, 0, 0}, 0, 0, LoginResult::Absent},             // unknown code reads as 0
    };
    for (const Case& c : cases) {
        Packet packet = test::packetWith(COMMON_MESSAGE_RESPONSE_LOGIN, c.payload);
        LoginResult result;
        ClientPacketAnalyzer().parseLoginResponse(packet, result);
        EXPECT_EQ(result.code, c.code);
        EXPECT_EQ(result.first, c.first);
        EXPECT_EQ(result.second, c.second);
    }
    EXPECT_TRUE((LoginResult{1, 0, 0}.succeeded()));
}

} // namespace
} // namespace ostrel
