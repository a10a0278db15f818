#include "network/protocol/PacketReader.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace ostrel {
namespace {

constexpr int ClientMaximum = 1048576;

std::vector<uint8_t> header(uint16_t type, uint32_t size) {
    return {0x06, 0x17, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type),
            static_cast<uint8_t>(size >> 24), static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 8),
            static_cast<uint8_t>(size)};
}

std::vector<uint8_t> packetBytes(uint16_t type, int size, uint8_t fill) {
    std::vector<uint8_t> bytes = header(type, static_cast<uint32_t>(size));
    bytes.insert(bytes.end(), static_cast<size_t>(size), fill);
    return bytes;
}

TEST(PacketReaderTest, DrivenLikeTheDispatcherFillsHeaderThenPayload) {
    PacketReader reader(ClientMaximum);
    Packet& packet = reader.startHeader();
    EXPECT_EQ(reader.phase(), PacketReader::Phase::AwaitingHeader);
    EXPECT_EQ(packet.remaining(), 8);
    const auto bytes = packetBytes(517, 12, 0x42);
    packet.ByteBuffer::put(bytes.data(), 8);
    EXPECT_EQ(reader.filled(), PacketReader::Result::NeedMore);
    EXPECT_EQ(reader.phase(), PacketReader::Phase::AwaitingPayload);
    EXPECT_EQ(packet.position(), 8);
    EXPECT_EQ(packet.remaining(), 12);
    packet.ByteBuffer::put(bytes.data() + 8, 12);
    EXPECT_EQ(reader.filled(), PacketReader::Result::Complete);
    EXPECT_EQ(packet.type(), 517);
    packet.payload();
    EXPECT_EQ(packet.get(), 0x42);
}

TEST(PacketReaderTest, PayloadSizeLimits) {
    struct Case {
        uint32_t size;
        PacketReader::Result result;
    };
    const Case cases[] = {
        {0, PacketReader::Result::Complete},
        {ClientMaximum, PacketReader::Result::NeedMore},
        {ClientMaximum + 1, PacketReader::Result::InvalidPayloadSize},
        {0x80000000u, PacketReader::Result::InvalidPayloadSize}, // negative as a signed size
        {0xFFFFFFFFu, PacketReader::Result::InvalidPayloadSize},
    };
    for (const Case& c : cases) {
        PacketReader reader(ClientMaximum);
        const auto bytes = header(1, c.size);
        int consumed = 0;
        EXPECT_EQ(reader.feed(bytes.data(), 8, consumed), c.result) << c.size;
        EXPECT_EQ(consumed, 8);
    }
}

TEST(PacketReaderTest, MaximumPayloadGrowsTheReceivePacket) {
    PacketReader reader(ClientMaximum);
    const auto bytes = packetBytes(517, ClientMaximum, 0x33);
    int consumed = 0;
    ASSERT_EQ(reader.feed(bytes.data(), static_cast<int>(bytes.size()), consumed), PacketReader::Result::Complete);
    EXPECT_EQ(consumed, static_cast<int>(bytes.size()));
    EXPECT_GE(reader.packet().capacity(), ClientMaximum + 8);
    reader.packet().payload();
    EXPECT_EQ(reader.packet().remaining(), ClientMaximum);
    EXPECT_EQ(reader.packet().get(ClientMaximum + 7), 0x33);
}

TEST(PacketReaderTest, AnyChunkingOfAStreamGivesTheSamePackets) {
    std::vector<uint8_t> stream;
    const std::vector<int> sizes = {0, 4, 1, 300, 0, 90000, 8};
    for (size_t i = 0; i < sizes.size(); ++i) {
        const auto bytes = packetBytes(static_cast<uint16_t>(100 + i), sizes[i], static_cast<uint8_t>(i + 1));
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        PacketReader reader(ClientMaximum);
        size_t offset = 0;
        size_t index = 0;
        while (offset < stream.size()) {
            const int chunk = std::min<int>(static_cast<int>(stream.size() - offset),
                                            1 + static_cast<int>(random() % (round < 10 ? 7 : 70000)));
            int taken = 0;
            while (taken < chunk) {
                int consumed = 0;
                const auto result = reader.feed(stream.data() + offset + taken, chunk - taken, consumed);
                taken += consumed;
                ASSERT_NE(result, PacketReader::Result::InvalidPayloadSize);
                if (result == PacketReader::Result::Complete) {
                    Packet& packet = reader.packet();
                    ASSERT_LT(index, sizes.size());
                    EXPECT_EQ(packet.type(), 100 + index);
                    packet.payload();
                    EXPECT_EQ(packet.remaining(), sizes[index]);
                    if (sizes[index] > 0) {
                        EXPECT_EQ(packet.get(packet.limit() - 1), index + 1);
                    }
                    ++index;
                }
            }
            offset += static_cast<size_t>(chunk);
        }
        EXPECT_EQ(index, sizes.size()) << "round " << round;
    }
}

} // namespace
} // namespace ostrel
