// The exact bytes of every playback request a client sends.
#include "network/protocol/Packet.h"
#include "network/protocol/playback/EventListRequest.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/PlayRequest.h"
#include "network/protocol/playback/PlaybackClientPacketAnalyzer.h"
#include "network/support/PacketBytes.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes header(uint16_t type, uint32_t size) {
    return {0x06, 0x17, static_cast<uint8_t>(type >> 8), static_cast<uint8_t>(type), static_cast<uint8_t>(size >> 24),
            static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)};
}

Bytes u32(uint32_t v) {
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

Bytes u64(uint64_t v) { return u32(static_cast<uint32_t>(v >> 32)) + u32(static_cast<uint32_t>(v)); }

const DateTime From(2024, 3, 5, 14, 7, 9);
const DateTime To(2024, 3, 5, 15, 0, 0);
const Interval Range(From, To);
// Request layout: Date, then a reserved 0 byte before hour, minute, second.
const Bytes FromBytes = {0x07, 0xE8, 3, 5, 0, 14, 7, 9};
const Bytes ToBytes = {0x07, 0xE8, 3, 5, 0, 15, 0, 0};
const MediaPosition Position(7, 0x01020304, 0xFFFFFFFF);
const Bytes PositionBytes = u32(7) + u32(0x01020304) + u32(0xFFFFFFFF);

struct RequestCase {
    std::string name;
    std::function<void(const PlaybackClientPacketAnalyzer&, Packet&)> build;
    Bytes expected;
};

std::vector<RequestCase> requestCases() {
    return {
        {"RecordingCalendar513",
         [](auto& a, Packet& p) { a.makeRecordingCalendarRequest(p, Date(1900, 1, 1), Date(2100, 12, 31)); },
         header(513, 8) + Bytes{0x07, 0x6C, 1, 1, 0x08, 0x34, 12, 31}},
        // The time table request puts the channels after the range ...
        {"RecordingTimeTable514", [](auto& a, Packet& p) { a.makeRecordingTimeTableRequest(p, Range, BitMask32(0xF)); },
         header(514, 20) + FromBytes + ToBytes + u32(0xF)},
        {"EventList515",
         [](auto& a, Packet& p) { a.makeEventListRequest(p, EventListRequest(Range, BitMask32(0x3), 0xFFFFFFFF, 1)); },
         header(515, 28) + FromBytes + ToBytes + u32(3) + u32(0xFFFFFFFF) + u32(1)},
        // ... and the section list request before it.
        {"SectionList516", [](auto& a, Packet& p) { a.makeSectionListRequest(p, Range, BitMask32(0xF)); },
         header(516, 20) + u32(0xF) + FromBytes + ToBytes},
        {"PlayRequest518",
         [](auto& a, Packet& p) { a.makePlayRequest(p, PlayRequest::play(Range, BitMask32(0xFFFFFFFF), 1, 1, 3)); },
         header(518, 36) + u32(1) + FromBytes + ToBytes + u32(0xFFFFFFFF) + u32(1) + u32(1) + u32(3)},
        {"JumpRequest518",
         [](auto& a, Packet& p) { a.makePlayRequest(p, PlayRequest::jump(Range, BitMask32(0x1), 42)); },
         header(518, 36) + u32(3) + FromBytes + ToBytes + u32(1) + u32(1) + u32(42) + u32(0)},
        {"Pause519", [](auto& a, Packet& p) { a.makePauseRequest(p, Position); }, header(519, 12) + PositionBytes},
        {"EventCalendar521",
         [](auto& a, Packet& p) { a.makeEventCalendarRequest(p, Date(1900, 1, 1), Date(2100, 12, 31), true); },
         header(521, 12) + Bytes{0x07, 0x6C, 1, 1, 0x08, 0x34, 12, 31, 0xFF, 0, 0, 0}},
        {"EventListContinue522", [](auto& a, Packet& p) { a.makeEventListContinueRequest(p, 5, true); },
         header(522, 8) + Bytes{0xFF} + u32(5) + Bytes{0, 0, 0}},
        // 523 in its two forms: the caller's u64 ...
        {"JumpToPosition523",
         [](auto& a, Packet& p) { a.makeJumpToPositionRequest(p, Position, 0x1122334455667788ull); },
         header(523, 20) + PositionBytes + u64(0x1122334455667788ull)},
        // ... or a zero u64 followed by the channels.
        {"JumpToEvent523", [](auto& a, Packet& p) { a.makeJumpToEventRequest(p, Position, BitMask32(0x80000001)); },
         header(523, 24) + PositionBytes + u64(0) + u32(0x80000001)},
        {"JumpToNearPosition524",
         [](auto& a, Packet& p) { a.makeJumpToNearPositionRequest(p, Position, From, -2, BitMask32(6)); },
         header(524, 28) + PositionBytes + FromBytes + u32(0xFFFFFFFE) + u32(6)},
        {"PlaybackInterval525", [](auto& a, Packet& p) { a.makePlaybackIntervalRequest(p, Range); },
         header(525, 16) + FromBytes + ToBytes},
        {"TextInEventList527",
         [](auto& a, Packet& p) { a.makeTextInEventListRequest(p, Range, {"ab", ""}, true, 100); },
         header(527, 36) + FromBytes + ToBytes + u32(100) + u32(2) + Bytes{0, 2, 'a', 'b', 0, 0, 0, 0} +
             Bytes{0xFF, 0, 0, 0}},
        {"TextInEventListContinue528", [](auto& a, Packet& p) { a.makeTextInEventListContinueRequest(p, 9, false); },
         header(528, 8) + Bytes{0x00} + u32(9) + Bytes{0, 0, 0}},
        {"JumpToMediaID529",
         [](auto& a, Packet& p) { a.makeJumpToMediaIDRequest(p, 3, 0x0000000100000002ull, BitMask32(0x10)); },
         header(529, 16) + u32(3) + u64(0x0000000100000002ull) + u32(0x10)},
        {"StorageList530", [](auto& a, Packet& p) { a.makeStorageListRequest(p, true); },
         header(530, 4) + Bytes{0xFF, 0, 0, 0}},
        {"StorageChange531", [](auto& a, Packet& p) { a.makeStorageChangeRequest(p, "disk2"); },
         header(531, 8) + Bytes{0, 5, 'd', 'i', 's', 'k', '2', 0}},
    };
}

class PlaybackRequestTest : public testing::TestWithParam<RequestCase> {};

TEST_P(PlaybackRequestTest, BuildsExactBytes) {
    const RequestCase& c = GetParam();
    const PlaybackClientPacketAnalyzer analyzer;
    Packet packet;
    // A reused packet holding an older, longer message must not leak into the new one.
    analyzer.makeTextInEventListRequest(packet, Range, {std::string(300, 'x')}, true, 1);
    c.build(analyzer, packet);
    EXPECT_EQ(test::bytesOf(packet), c.expected);
    EXPECT_EQ(packet.payloadSize() % 4, 0u);
}

INSTANTIATE_TEST_SUITE_P(AllRequests, PlaybackRequestTest, testing::ValuesIn(requestCases()),
                         [](const testing::TestParamInfo<RequestCase>& info) { return info.param.name; });

TEST(PlayRequestTest, ReadsWhatItWrites) {
    const PlayRequest request(PlayRequest::Step, Range, BitMask32(0x5), 2, 8, 0xABCDEF01);
    Packet packet;
    PlaybackClientPacketAnalyzer().makePlayRequest(packet, request);
    packet.payload();
    PlayRequest read;
    read.read(packet);
    EXPECT_EQ(read.mode(), PlayRequest::Step);
    EXPECT_EQ(read.range(), Range);
    EXPECT_EQ(read.channels().word(), 0x5u);
    EXPECT_EQ(read.direction(), 2u);
    EXPECT_EQ(read.speed(), 8u);
    EXPECT_EQ(read.thirdParameter(), 0xABCDEF01u);
    EXPECT_STREQ(PlayRequest::modeName(read.mode()), "Step");
    EXPECT_STREQ(PlayRequest::modeName(PlayRequest::Play), "Play");
    EXPECT_STREQ(PlayRequest::modeName(PlayRequest::Jump), "Jump");
    EXPECT_STREQ(PlayRequest::modeName(0), "Unknown");
}

TEST(PlayRequestTest, ShortPayloadLeavesTheRequestUnchanged) {
    Packet packet = test::packetWith(518, u32(3) + FromBytes + ToBytes + u32(1) + u32(1) + u32(42));
    packet.payload();
    PlayRequest request = PlayRequest::play(Range, BitMask32(1), 1, 1, 3);
    EXPECT_ANY_THROW(request.read(packet));
    EXPECT_EQ(request.mode(), PlayRequest::Play);
    EXPECT_EQ(packet.position(), Packet::HeaderSize);
}

TEST(EventListRequestTest, ReadsWhatItWrites) {
    Packet packet;
    PlaybackClientPacketAnalyzer().makeEventListRequest(packet, EventListRequest(Range, BitMask32(9), 1, 2));
    packet.payload();
    EventListRequest read;
    read.read(packet);
    EXPECT_EQ(read.range(), Range);
    EXPECT_EQ(read.channels().word(), 9u);
    EXPECT_EQ(read.firstFilter(), 1u);
    EXPECT_EQ(read.secondFilter(), 2u);
}

TEST(MediaPositionTest, TextFormAndEquality) {
    EXPECT_EQ(Position.toString(), "7 : (16909060, 4294967295)");
    EXPECT_EQ(Position, MediaPosition(7, 0x01020304, 0xFFFFFFFF));
    EXPECT_NE(Position, MediaPosition(7, 0x01020304, 0));
    EXPECT_EQ(Position.sectionID(), 7u);
}

} // namespace
} // namespace ostrel
