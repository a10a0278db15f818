#include "base/ByteBufferException.h"
#include "network/protocol/EncryptionKey.h"
#include "network/protocol/FinOption.h"
#include "network/protocol/NewAliveCheckOption.h"
#include "network/protocol/Packet.h"
#include "network/protocol/ProductInfo.h"
#include "network/protocol/ProfileList.h"
#include "network/protocol/Protocol.h"
#include "network/protocol/RemoteOemInfo.h"
#include "network/protocol/RemoteSystemInfo.h"
#include "network/protocol/RequestOptionList.h"
#include "network/protocol/SyncOptionList.h"
#include "network/support/PacketBytes.h"

#include <gtest/gtest.h>

#include <string>

namespace ostrel {
namespace {

// Writes `option` into a packet, checks that size() matches the bytes written,
// and reads it back into `copy` from the finished packet.
void roundTrip(const ISyncOption& option, ISyncOption& copy) {
    Packet packet;
    packet.begin(1);
    option.write(packet);
    const int written = packet.position() - Packet::HeaderSize;
    EXPECT_EQ(written, option.size()) << "option id " << int(option.id());
    packet.finish(true);
    packet.payload();
    copy.read(packet);
    EXPECT_EQ(packet.position() - Packet::HeaderSize, written);
}

TEST(SyncOptionTest, ProfileListRoundTrip) {
    ProfileList list;
    list.add({1, 10, true});
    list.add({2, 20, false});
    list.add({3, 30, true});
    ProfileList copy;
    roundTrip(list, copy);
    ASSERT_EQ(copy.entries().size(), 3u);
    EXPECT_EQ(copy.entries()[1].type, 2);
    EXPECT_EQ(copy.entries()[1].value, 20);
    EXPECT_FALSE(copy.entries()[1].flag);
    EXPECT_TRUE(copy.entries()[2].flag);
    EXPECT_TRUE(copy.contains(ProfileList::PlaybackProfile));
    EXPECT_EQ(copy.size(), 10);
}

TEST(SyncOptionTest, ProfileTypesOutsideOneToThreeReadAsZero) {
    Packet packet = test::packetWith(1, {2, 7, 1, 0x01, 2, 5, 0x00});
    packet.payload();
    ProfileList list;
    list.read(packet);
    ASSERT_EQ(list.entries().size(), 2u);
    EXPECT_EQ(list.entries()[0].type, 0);
    EXPECT_TRUE(list.entries()[0].flag) << "any non-zero boolean is true";
    EXPECT_EQ(list.entries()[1].type, 2);
}

TEST(SyncOptionTest, ProductInfoRoundTripKeepsOnlyFamilyModelCodes) {
    const ProductInfo product(3, 204, "Recorder-16", "2.1.7");
    ProductInfo copy;
    roundTrip(product, copy);
    EXPECT_EQ(copy.kind(), 3);
    EXPECT_EQ(copy.modelCode(), 204u);
    EXPECT_STREQ(copy.productName(), "Recorder-16");
    EXPECT_STREQ(copy.version(), "2.1.7");
    EXPECT_EQ(copy.size(), 11 + 11 + 5);

    EXPECT_EQ(ProductInfo(9, 12345, "", "").kind(), 0);
    EXPECT_EQ(ProductInfo(9, 12345, "", "").modelCode(), 0u);
    EXPECT_EQ(ProductInfo::modelCodeOf(309), 309u);
}

TEST(SyncOptionTest, ProductInfoStringsAreCutToSixteenCharacters) {
    Packet packet;
    packet.begin(1);
    packet.put(uint8_t{1});
    packet.putInt(201);
    packet.putString("abcdefghijklmnopqrstuvwxyz");
    packet.putString("1.2");
    packet.finish(true);
    packet.payload();
    ProductInfo product;
    product.read(packet);
    EXPECT_STREQ(product.productName(), "abcdefghijklmnop");
    EXPECT_STREQ(product.version(), "1.2");
}

TEST(SyncOptionTest, RemoteOemInfoRoundTripAndFlagOnlyForExactlyOne) {
    RemoteOemInfo copy;
    roundTrip(RemoteOemInfo(true, "Acme OEM"), copy);
    EXPECT_TRUE(copy.isOem());
    EXPECT_STREQ(copy.text(), "Acme OEM");
    EXPECT_EQ(copy.size(), 15);
    for (const uint8_t flag : {0, 2, 0xFF}) {
        Packet packet = test::packetWith(1, {0, 0, 0, flag, 0, 0, 0});
        packet.payload();
        RemoteOemInfo info;
        info.read(packet);
        EXPECT_FALSE(info.isOem()) << int(flag);
    }
}

TEST(SyncOptionTest, EncryptionKeyBytesAreKeptAsTheyArrived) {
    Packet packet = test::packetWith(1, {0xDE, 0xAD, 0xBE, 0xEF});
    packet.payload();
    EncryptionKey key;
    key.read(packet);
    EXPECT_EQ(key.bytes(), (EncryptionKey::Bytes{0xDE, 0xAD, 0xBE, 0xEF}));
    EncryptionKey copy;
    roundTrip(key, copy);
    EXPECT_EQ(copy.bytes(), key.bytes());
}

TEST(SyncOptionTest, RemoteSystemInfoRoundTrip) {
    RemoteSystemInfo info;
    info.setIdentification({1, 2, 3, 4, 5, 6});
    info.setSystemType(2);
    info.setCounts(8, 4, 2, 6, 3);
    info.setName("Warehouse north");
    RemoteSystemInfo copy;
    roundTrip(info, copy);
    EXPECT_EQ(copy.identification(), info.identification());
    EXPECT_EQ(copy.systemType(), 2);
    EXPECT_EQ(copy.videoInNum(), 8);
    EXPECT_EQ(copy.audioInNum(), 4);
    EXPECT_EQ(copy.audioOutNum(), 2);
    EXPECT_EQ(copy.sensorNum(), 6);
    EXPECT_EQ(copy.alarmNum(), 3);
    EXPECT_STREQ(copy.name(), "Warehouse north");
}

TEST(SyncOptionTest, RemoteSystemInfoDefaultsDependOnModel204) {
    RemoteSystemInfo info;
    info.setDefaults(204);
    EXPECT_EQ(info.systemType(), 3);
    EXPECT_EQ(info.videoInNum(), 4);
    EXPECT_EQ(info.audioInNum(), 1);
    EXPECT_EQ(info.audioOutNum(), 1);
    EXPECT_EQ(info.sensorNum(), 4);
    EXPECT_EQ(info.alarmNum(), 2);
    info.setDefaults(0);
    EXPECT_EQ(info.videoInNum(), 16);
    EXPECT_EQ(info.alarmNum(), 16);
    EXPECT_STREQ(info.name(), "");
}

TEST(SyncOptionTest, RequestOptionListAndNewAliveCheckRoundTrip) {
    RequestOptionList request;
    request.add(2);
    request.add(5);
    RequestOptionList copy;
    roundTrip(request, copy);
    EXPECT_EQ(copy.ids(), (std::vector<uint8_t>{2, 5}));
    RequestOptionList empty;
    roundTrip(RequestOptionList(), empty);
    EXPECT_TRUE(empty.ids().empty());
    NewAliveCheckOption other;
    roundTrip(NewAliveCheckOption::instance(), other);
    EXPECT_EQ(NewAliveCheckOption::instance().id(), 13);
}

TEST(SyncOptionTest, FinOptionRoundTrip) {
    const FinOption fin(4, "maintenance-window-x", 0xBEEF);
    Packet packet;
    packet.begin(6);
    fin.write(packet);
    packet.finish(true);
    packet.payload();
    FinOption copy;
    copy.read(packet);
    EXPECT_EQ(copy.code(), 4);
    EXPECT_STREQ(copy.text(), "maintenance-win");
    EXPECT_EQ(copy.value(), 0xBEEF);
}

TEST(SyncOptionTest, ProtocolWireFormAndAttributeMapping) {
    Packet packet;
    packet.begin(1);
    Protocol::local().write(packet);
    packet.finish(true);
    const auto bytes = test::bytesOf(packet);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 8, bytes.end()),
              (std::vector<uint8_t>{'I', 'S', 'N', 'P', 1, 0x00, 1, 1}));
    Packet received = test::packetWith(1, {'I', 'S', 'N', 'P', 2, 0x01, 3, 9});
    received.payload();
    Protocol protocol;
    protocol.read(received);
    EXPECT_EQ(protocol.version(), 2);
    EXPECT_TRUE(protocol.isBackwardCompatible());
    EXPECT_EQ(protocol.attribute1(), 3);
    EXPECT_EQ(protocol.attribute2(), 0);
}

TEST(SyncOptionTest, OptionListWritesIdSizeAndBodyInOrder) {
    ProfileList profiles;
    profiles.add({2, 1, true});
    SyncOptionList list;
    list.add(NewAliveCheckOption::instance());
    list.add(profiles);
    Packet packet;
    packet.begin(1);
    list.write(packet);
    packet.finish(true);
    const auto bytes = test::bytesOf(packet);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 8, bytes.end()),
              (std::vector<uint8_t>{13, 0, 0, 1, 0, 4, 1, 2, 1, 0xFF, 0, 0}));

    ProfileList readBack;
    SyncOptionList reader;
    reader.add(readBack);
    packet.payload();
    reader.read(packet);
    ASSERT_EQ(readBack.entries().size(), 1u);
    EXPECT_EQ(readBack.entries()[0].type, 2);
    EXPECT_EQ(packet.remaining(), 1) << "a zero id with one byte left is padding";
}

} // namespace
} // namespace ostrel
