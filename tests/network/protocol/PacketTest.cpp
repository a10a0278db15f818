#include "base/ByteBufferException.h"
#include "base/DateTime.h"
#include "network/protocol/Packet.h"
#include "network/support/PacketBytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostrel {
namespace {

using test::bytesOf;
using test::packetWith;

TEST(PacketTest, EmptyPayloadGivesJustTheHeader) {
    Packet packet;
    packet.begin(513);
    packet.finish(true);
    EXPECT_EQ(bytesOf(packet), (std::vector<uint8_t>{0x06, 0x17, 0x02, 0x01, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(packet.type(), 513);
    EXPECT_EQ(packet.payloadSize(), 0u);
}

TEST(PacketTest, PayloadIsPaddedToAMultipleOfFour) {
    struct Case {
        int payload;
        bool pad;
        uint32_t size;
    };
    for (const Case c : {Case{5, true, 8}, Case{8, true, 8}, Case{1, true, 4}, Case{5, false, 5}}) {
        Packet packet;
        packet.begin(7);
        for (int i = 0; i < c.payload; ++i) {
            packet.put(uint8_t{0xAA});
        }
        packet.finish(c.pad);
        EXPECT_EQ(packet.payloadSize(), c.size) << c.payload;
        EXPECT_EQ(packet.limit(), 8 + static_cast<int>(c.size));
        for (uint32_t i = static_cast<uint32_t>(c.payload); i < c.size; ++i) {
            EXPECT_EQ(packet.get(8 + static_cast<int>(i)), 0) << "padding byte " << i;
        }
    }
}

TEST(PacketTest, StringAndBooleanEncodings) {
    Packet packet;
    packet.begin(2);
    packet.putString("md5");
    packet.putBool(true);
    packet.finish(false);
    const std::vector<uint8_t> bytes = bytesOf(packet);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 8, bytes.end()),
              (std::vector<uint8_t>{0x00, 0x03, 0x6D, 0x64, 0x35, 0x00, 0xFF}));
    Packet received = packetWith(7, {0x01});
    received.payload();
    EXPECT_TRUE(received.getBool());
}

TEST(PacketTest, ScalarPutsGrowInFixedStepsAndKeepTheBytes) {
    Packet packet;
    packet.begin(1);
    while (packet.position() < Packet::GrowStep) {
        packet.putInt(0x01020304);
    }
    EXPECT_EQ(packet.capacity(), Packet::GrowStep);
    packet.put(uint8_t{0x55});
    EXPECT_EQ(packet.capacity(), 2 * Packet::GrowStep);
    packet.finish(true);
    EXPECT_EQ(packet.getShort(0), Packet::Magic);
    EXPECT_EQ(packet.getInt(8), 0x01020304u);
    EXPECT_EQ(packet.getInt(Packet::GrowStep - 4), 0x01020304u);
    EXPECT_EQ(packet.get(Packet::GrowStep), 0x55);
}

TEST(PacketTest, BulkPutsGrowByExactlyTheShortfall) {
    Packet packet;
    packet.begin(1);
    const std::vector<uint8_t> block(Packet::GrowStep, 0x7E);
    packet.put(block.data(), static_cast<int>(block.size()));
    EXPECT_EQ(packet.capacity(), Packet::GrowStep + Packet::HeaderSize);
    ByteBuffer source(10);
    source.put("0123456789", 10);
    source.flip();
    packet.put(source);
    EXPECT_EQ(packet.capacity(), Packet::GrowStep + Packet::HeaderSize + 10);
    EXPECT_EQ(packet.remaining(), 0);
    EXPECT_EQ(source.position(), 0) << "only the target advances";
}

TEST(PacketTest, AbsolutePutsNeverGrow) {
    Packet packet;
    EXPECT_THROW(packet.putInt(Packet::GrowStep - 2, 1), ByteBufferException);
    EXPECT_EQ(packet.capacity(), Packet::GrowStep);
}

TEST(PacketTest, PayloadGrowsToHoldTheAnnouncedSize) {
    Packet packet;
    packet.clear();
    packet.putShort(Packet::Magic);
    packet.putShort(517);
    packet.putInt(1048576);
    packet.prepareHeader();
    packet.position(8);
    packet.payload();
    EXPECT_GE(packet.capacity(), 1048576 + 8);
    EXPECT_EQ(packet.position(), 8);
    EXPECT_EQ(packet.limit(), 1048576 + 8);
    EXPECT_EQ(packet.type(), 517) << "the header survives the growth";
}

TEST(PacketTest, PayloadSizeBeyondMemoryIsRefused) {
    Packet packet = packetWith(1, {});
    packet.putInt(4, 0xFFFFFFF0);
    try {
        packet.payload();
        FAIL();
    } catch (const ByteBufferException& e) {
        EXPECT_EQ(e.code(), ByteBufferException::IllegalArgument);
    }
}

TEST(PacketTest, DateTimeLayouts) {
    const DateTime when(2011, 2, 28, 23, 4, 5);
    Packet packet;
    packet.begin(514);
    packet.putDateTime(when);
    packet.putFrameDateTime(when);
    packet.putDate(Date(1900, 1, 1));
    packet.finish(true);
    const std::vector<uint8_t> bytes = bytesOf(packet);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 8, bytes.end()),
              (std::vector<uint8_t>{0x07, 0xDB, 2, 28, 0, 23, 4, 5,   // request layout
                                    0x07, 0xDB, 2, 28, 23, 4, 5, 0,   // frame layout
                                    0x07, 0x6C, 1, 1}));
    packet.payload();
    EXPECT_TRUE(packet.getDateTime().equals(when));
    EXPECT_TRUE(packet.getFrameDateTime().equals(when));
    packet.skipDate();
    EXPECT_EQ(packet.remaining(), 0);
}

TEST(PacketTest, FrameTimeReadsTheReservedByteLast) {
    Packet packet = packetWith(517, {0x07, 0xDB, 12, 31, 1, 2, 3, 0x99});
    packet.payload();
    const DateTime when = packet.getFrameDateTime();
    EXPECT_EQ(when.year(), 2011);
    EXPECT_EQ(when.hour(), 1);
    EXPECT_EQ(when.minute(), 2);
    EXPECT_EQ(when.second(), 3);
}

TEST(PacketTest, ShortDateTimeFailsWhole) {
    Packet packet = packetWith(514, {0x07, 0xDB, 2, 28, 0, 23, 4});
    packet.payload();
    EXPECT_THROW(packet.getDateTime(), ByteBufferException);
    EXPECT_EQ(packet.position(), 8);
    packet.skipDate();
    EXPECT_THROW(packet.skipTime(), ByteBufferException);
    EXPECT_THROW(packet.getTime(), ByteBufferException);
    EXPECT_THROW(packet.getFrameTime(), ByteBufferException);
    EXPECT_EQ(packet.position(), 12);
}

TEST(PacketTest, GetIntWithThreeBytesLeftUnderflows) {
    Packet packet = packetWith(3, {1, 2, 3});
    packet.payload();
    try {
        packet.getInt();
        FAIL();
    } catch (const ByteBufferException& e) {
        EXPECT_EQ(e.code(), ByteBufferException::Underflow);
    }
    EXPECT_EQ(packet.position(), 8);
}

TEST(PacketTest, ReusedPacketKeepsItsGrownArray) {
    Packet packet;
    packet.begin(1);
    const std::vector<uint8_t> block(200000, 1);
    packet.put(block.data(), static_cast<int>(block.size()));
    packet.finish(true);
    const int grown = packet.capacity();
    packet.begin(2);
    packet.putInt(5);
    packet.finish(true);
    EXPECT_EQ(packet.capacity(), grown);
    EXPECT_EQ(packet.payloadSize(), 4u);
}

} // namespace
TEST(PacketTest, AnEmptyPacketAllocatesWhenBuiltOrReceivedIntoAndReleasesItsArray) {
    Packet built(0);
    EXPECT_EQ(built.capacity(), 0);
    built.begin(513);
    built.putInt(7);
    built.finish(true);
    EXPECT_EQ(bytesOf(built), (std::vector<uint8_t>{0x06, 0x17, 0x02, 0x01, 0, 0, 0, 4, 0, 0, 0, 7}));

    Packet received(0);
    received.prepareHeader();
    EXPECT_EQ(received.remaining(), Packet::HeaderSize);
    received.ByteBuffer::put(bytesOf(built).data(), Packet::HeaderSize);
    received.payload();
    EXPECT_EQ(received.remaining(), 4);

    built.releaseArray();
    EXPECT_EQ(built.capacity(), 0);
    built.begin(514);
    built.finish(false);
    EXPECT_EQ(built.type(), 514) << "still big-endian after the release";
}

} // namespace ostrel

