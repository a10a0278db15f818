// Every playback reply parsed from hand-built bytes.
#include "base/ByteBufferException.h"
#include "network/protocol/Packet.h"
#include "network/protocol/playback/EventListEntry.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/PlaybackClientPacketAnalyzer.h"
#include "network/protocol/playback/RecordingTimeTableEntry.h"
#include "network/protocol/playback/StorageListEntry.h"
#include "network/protocol/playback/TextInEventListEntry.h"
#include "network/protocol/playback/TextInFrame.h"
#include "network/support/PacketBytes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostrel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes u16(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }
Bytes u32(uint32_t v) { return u16(static_cast<uint16_t>(v >> 16)) + u16(static_cast<uint16_t>(v)); }
Bytes u64(uint64_t v) { return u32(static_cast<uint32_t>(v >> 32)) + u32(static_cast<uint32_t>(v)); }
Bytes date(int y, int m, int d) { return u16(static_cast<uint16_t>(y)) + Bytes{uint8_t(m), uint8_t(d)}; }
// Request layout: reserved byte first.
Bytes dateTime(int y, int mo, int d, int h, int mi, int s) {
    return date(y, mo, d) + Bytes{0, uint8_t(h), uint8_t(mi), uint8_t(s)};
}
// Frame layout: reserved byte last.
Bytes frameDateTime(int y, int mo, int d, int h, int mi, int s) {
    return date(y, mo, d) + Bytes{uint8_t(h), uint8_t(mi), uint8_t(s), 0xEE};
}
Bytes text(const std::string& s, size_t field) {
    Bytes b(s.begin(), s.end());
    b.resize(field, 0);
    return b;
}
Bytes padded(Bytes b) {
    while (b.size() % 4 != 0) {
        b.push_back(0);
    }
    return b;
}

const PlaybackClientPacketAnalyzer Analyzer;

TEST(PlaybackReplyTest, RecordingAndEventCalendars) {
    const Bytes payload = u32(3) + date(2023, 12, 31) + date(2024, 1, 1) + date(2024, 2, 29);
    Packet packet = test::packetWith(513, payload);
    std::vector<Date> dates;
    Analyzer.parseRecordingCalendar(packet, dates);
    EXPECT_EQ(dates, (std::vector<Date>{Date(2023, 12, 31), Date(2024, 1, 1), Date(2024, 2, 29)}));

    packet = test::packetWith(521, u32(1) + date(2020, 6, 7));
    Analyzer.parseEventCalendar(packet, dates);
    EXPECT_EQ(dates, (std::vector<Date>{Date(2020, 6, 7)}));

    packet = test::packetWith(521, u32(0));
    Analyzer.parseEventCalendar(packet, dates);
    EXPECT_TRUE(dates.empty());
}

TEST(PlaybackReplyTest, TimeTableIsSortedByValueThenStartTime) {
    const Bytes payload = u32(3) +                                                                          //
                          u32(2) + dateTime(2024, 1, 1, 8, 0, 0) + dateTime(2024, 1, 1, 9, 0, 0) + u32(1) +  //
                          u32(1) + dateTime(2024, 1, 2, 8, 0, 0) + dateTime(2024, 1, 2, 9, 0, 0) + u32(2) +  //
                          u32(1) + dateTime(2024, 1, 1, 10, 0, 0) + dateTime(2024, 1, 1, 11, 0, 0) + u32(4);
    Packet packet = test::packetWith(514, payload);
    std::vector<RecordingTimeTableEntry> entries;
    Analyzer.parseRecordingTimeTable(packet, entries);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].value(), 1u);
    EXPECT_EQ(entries[0].range(), Interval(DateTime(2024, 1, 1, 10, 0, 0), DateTime(2024, 1, 1, 11, 0, 0)));
    EXPECT_EQ(entries[0].channels().word(), 4u);
    EXPECT_EQ(entries[1].value(), 1u);
    EXPECT_EQ(entries[1].range().from(), DateTime(2024, 1, 2, 8, 0, 0));
    EXPECT_EQ(entries[2].value(), 2u);
    EXPECT_EQ(entries[2].channels().word(), 1u);
}

TEST(PlaybackReplyTest, EventList) {
    const Bytes payload = Bytes{0x01, 0x00} + u32(2) +                                                    //
                          Bytes{3, 1} + u32(0x4) + dateTime(2024, 5, 6, 7, 8, 9) + u64(0x0102030405060708ull) +
                          u32(11) + u32(12) + u32(13) +                                                   //
                          Bytes{31, 0xFF} + u32(0x80000000) + dateTime(2024, 5, 6, 7, 8, 10) + u64(0) + u32(0) +
                          u32(0) + u32(0);
    Packet packet = test::packetWith(515, padded(payload));
    bool first = false;
    bool second = true;
    std::vector<EventListEntry> entries;
    Analyzer.parseEventList(packet, first, second, entries);
    EXPECT_TRUE(first); // any non-zero byte is true
    EXPECT_FALSE(second);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].type(), 3);
    EXPECT_EQ(entries[0].subType(), 1);
    EXPECT_EQ(entries[0].channels().word(), 4u);
    EXPECT_EQ(entries[0].time(), DateTime(2024, 5, 6, 7, 8, 9));
    EXPECT_EQ(entries[0].value(), 0x0102030405060708ull);
    EXPECT_EQ(entries[0].position(), MediaPosition(11, 12, 13));
    EXPECT_EQ(entries[1].type(), 31);
    EXPECT_EQ(entries[1].subType(), 0xFF);
    EXPECT_EQ(entries[1].time(), DateTime(2024, 5, 6, 7, 8, 10));
}

TEST(PlaybackReplyTest, SectionList) {
    const Bytes payload = u32(0xF) + dateTime(2024, 1, 1, 0, 0, 0) + dateTime(2024, 1, 1, 0, 30, 0) + u32(2) +
                          u32(5) + u32(0xFFFFFFFE);
    Packet packet = test::packetWith(516, payload);
    BitMask32 channels;
    Interval range;
    std::vector<uint32_t> ids;
    Analyzer.parseSectionList(packet, channels, range, ids);
    EXPECT_EQ(channels.word(), 0xFu);
    EXPECT_EQ(range, Interval(DateTime(2024, 1, 1, 0, 0, 0), DateTime(2024, 1, 1, 0, 30, 0)));
    EXPECT_EQ(ids, (std::vector<uint32_t>{5, 0xFFFFFFFE}));
}

Bytes mediaFrameHeader(uint16_t type, uint32_t dataSize, uint32_t extraSize) {
    return u16(type) + u16(7) + u32(0x00010002) + u32(0x8) + u32(dataSize) + u64(0xA1A2A3A4A5A6A7A8ull) +
           frameDateTime(2024, 12, 24, 18, 30, 59) + u16(0x0B01) + u16(0x0B02) + u32(0x0C000003) +
           u64(0x0D00000000000004ull) + u32(0x2) + u32(extraSize) + u64(0xFFFFFFFFFFFFFFFFull);
}

TEST(PlaybackReplyTest, MediaFrameReadsItsTimeInFrameLayoutAndPointsIntoThePacket) {
    const Bytes data = {1, 2, 3, 4, 5, 0xE1, 0xE2, 0xE3};
    const Bytes payload = Bytes{0x01} + u32(9) + u32(10) + u32(11) + mediaFrameHeader(1, 5, 3) + data;
    Packet packet = test::packetWith(517, padded(payload));
    bool flag = false;
    MediaPosition position;
    MediaFrame frame;
    Analyzer.parseMediaFrame(packet, flag, position, frame);
    EXPECT_TRUE(flag);
    EXPECT_EQ(position, MediaPosition(9, 10, 11));
    EXPECT_EQ(frame.mediaType(), MediaFrame::Audio);
    EXPECT_EQ(frame.frameIndex(), 7);
    EXPECT_EQ(frame.gopID(), 0x00010002u);
    EXPECT_EQ(frame.channelMask().word(), 8u);
    EXPECT_EQ(frame.channel(), 3);
    EXPECT_EQ(frame.dataSize(), 5u);
    EXPECT_EQ(frame.extraSize(), 3u);
    EXPECT_EQ(frame.mediaID(), 0xA1A2A3A4A5A6A7A8ull);
    // Hour, minute, second come first; the request layout would have read 30:59:xx.
    EXPECT_EQ(frame.time(), DateTime(2024, 12, 24, 18, 30, 59));
    EXPECT_EQ(frame.attributeA(), 0x0B01);
    EXPECT_EQ(frame.attributeB(), 0x0B02);
    EXPECT_EQ(frame.attributeC(), 0x0C000003u);
    EXPECT_EQ(frame.attributeD(), 0x0D00000000000004ull);
    EXPECT_EQ(frame.linkedChannelMask().word(), 2u);
    EXPECT_EQ(frame.size(), 64 + 8);
    // The data is not copied: it is the packet's own bytes after the header.
    const uint8_t* first = &packet.array()[0] - packet.position() + Packet::HeaderSize + 1 + 12 + 64;
    EXPECT_EQ(frame.data(), first);
    EXPECT_EQ(Bytes(frame.data(), frame.data() + frame.dataLength()), data);
}

TEST(PlaybackReplyTest, MediaFrameWhoseSizesReachPastThePayloadIsRefused) {
    // 8 data bytes present, 5 + 4 announced.
    const Bytes payload = Bytes{0} + u32(1) + u32(2) + u32(3) + mediaFrameHeader(0, 5, 4) + Bytes(8, 0x55);
    Packet packet = test::packetWith(517, payload);
    bool flag = true;
    MediaPosition position(1, 1, 1);
    MediaFrame frame;
    try {
        Analyzer.parseMediaFrame(packet, flag, position, frame);
        FAIL() << "a frame longer than its packet was accepted";
    } catch (const ByteBufferException& e) {
        EXPECT_EQ(e.code(), ByteBufferException::Underflow);
    }
    EXPECT_TRUE(flag);
    EXPECT_EQ(position, MediaPosition(1, 1, 1));
    EXPECT_EQ(frame.data(), nullptr);

    // Sizes whose sum overflows 32 bits must not wrap into a small length.
    const Bytes huge = Bytes{0} + u32(1) + u32(2) + u32(3) + mediaFrameHeader(0, 0xFFFFFFFF, 2) + Bytes(4, 0);
    packet = test::packetWith(517, huge);
    EXPECT_THROW(Analyzer.parseMediaFrame(packet, flag, position, frame), ByteBufferException);
}

TEST(PlaybackReplyTest, PlaybackStopped) {
    Packet packet = test::packetWith(519, u32(3));
    uint32_t reason = 0;
    Analyzer.parsePlaybackStopped(packet, reason);
    EXPECT_EQ(reason, 3u);
}

Bytes textInPayload(const std::string& characters) {
    return u32(4) + u32(5) + u32(6) + u32(0x2) + u64(0x1122334455667788ull) + frameDateTime(2024, 7, 1, 23, 59, 58) +
           u32(0x77) + u16(3) + u32(0xCAFE) + text(characters, 64);
}

TEST(PlaybackReplyTest, TextInFrameWithoutFlagsHasFlagsZero) {
    // 106 bytes, padded with 2: fewer than 4 trailing bytes are padding.
    const Bytes payload = padded(textInPayload("TOTAL 12.50"));
    ASSERT_EQ(payload.size(), 108u);
    Packet packet = test::packetWith(526, payload);
    MediaPosition position;
    TextInFrame frame;
    frame.setFlags(BitMask32(0xFF));
    Analyzer.parseTextInFrame(packet, position, frame);
    EXPECT_EQ(position, MediaPosition(4, 5, 6));
    EXPECT_EQ(frame.mediaType(), TextInFrame::TextInMediaType);
    EXPECT_EQ(frame.channelMask().word(), 2u);
    EXPECT_EQ(frame.mediaID(), 0x1122334455667788ull);
    EXPECT_EQ(frame.time(), DateTime(2024, 7, 1, 23, 59, 58));
    EXPECT_EQ(frame.gopID(), 0x77u);
    EXPECT_EQ(frame.frameIndex(), 3);
    EXPECT_EQ(frame.attribute(), 0xCAFEu);
    EXPECT_STREQ(frame.text(), "TOTAL 12.50");
    EXPECT_EQ(frame.flags().word(), 0u);
    EXPECT_EQ(frame.linkedChannelMask().word(), 0xFFFFFFFFu);
    EXPECT_EQ(frame.timelinePageNumber(), 0u);
    EXPECT_EQ(frame.timelineOffset(), 0u);
}

TEST(PlaybackReplyTest, TextInFrameWithFlagsAndAFullTextField) {
    const Bytes payload = padded(textInPayload(std::string(64, 'Z')) + u32(0x3));
    Packet packet = test::packetWith(526, payload);
    MediaPosition position;
    TextInFrame frame;
    Analyzer.parseTextInFrame(packet, position, frame);
    EXPECT_EQ(frame.flags().word(), 3u);
    EXPECT_EQ(std::string(frame.text()), std::string(63, 'Z'));
}

TEST(PlaybackReplyTest, TextInEventList) {
    const Bytes entry1 = u64(99) + u32(1) + dateTime(2024, 1, 2, 3, 4, 5) + u32(6) + u16(7) + u32(8) +
                         text(std::string(63, 'A'), 63); // fills the field: no terminator on the wire
    const Bytes entry2 = u64(100) + u32(2) + dateTime(2024, 1, 2, 3, 4, 6) + u32(9) + u16(10) + u32(11) +
                         text("short", 63);
    const Bytes payload = padded(Bytes{0x00, 0x02} + u32(77) + u32(2) + entry1 + entry2);
    Packet packet = test::packetWith(527, payload);
    bool first = true;
    bool second = false;
    uint32_t value = 0;
    std::vector<TextInEventListEntry> entries;
    Analyzer.parseTextInEventList(packet, first, second, value, entries);
    EXPECT_FALSE(first);
    EXPECT_TRUE(second);
    EXPECT_EQ(value, 77u);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].mediaID(), 99u);
    EXPECT_EQ(entries[0].attribute(), 1u);
    EXPECT_EQ(entries[0].time(), DateTime(2024, 1, 2, 3, 4, 5));
    EXPECT_EQ(entries[0].gopID(), 6u);
    EXPECT_EQ(entries[0].frameIndex(), 7);
    EXPECT_EQ(entries[0].channels().word(), 8u);
    EXPECT_EQ(std::string(entries[0].text()), std::string(63, 'A'));
    EXPECT_STREQ(entries[1].text(), "short");
    EXPECT_EQ(entries[1].channels().word(), 11u);
}

TEST(PlaybackReplyTest, StorageListCutsLongNames) {
    const std::string longName(300, 'n');
    const Bytes payload = padded(Bytes{0xFF} + u32(2) + u32(1) + u16(5) + text("disk1", 5) + Bytes{0} + u32(2) +
                                 u16(300) + text(longName, 300) + Bytes{0});
    Packet packet = test::packetWith(530, payload);
    bool flag = false;
    std::vector<StorageListEntry> entries;
    Analyzer.parseStorageList(packet, flag, entries);
    EXPECT_TRUE(flag);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].number(), 1u);
    EXPECT_STREQ(entries[0].name(), "disk1");
    EXPECT_EQ(entries[1].number(), 2u);
    EXPECT_EQ(std::string(entries[1].name()), std::string(255, 'n'));
}

TEST(PlaybackReplyTest, StorageChangedHasNoPayload) {
    Packet packet = test::packetWith(531, {});
    EXPECT_NO_THROW(Analyzer.parseStorageChanged(packet));
    EXPECT_EQ(packet.remaining(), 0);
}

TEST(PlaybackReplyTest, CountsBeyondThePayloadFailBeforeAllocating) {
    std::vector<Date> dates{Date(2000, 1, 1)};
    Packet packet = test::packetWith(513, u32(0xFFFFFFFF) + date(2024, 1, 1));
    EXPECT_THROW(Analyzer.parseRecordingCalendar(packet, dates), ByteBufferException);
    EXPECT_EQ(dates.size(), 1u); // unchanged

    // One time table entry present, two announced.
    packet = test::packetWith(514, u32(2) + u32(1) + dateTime(2024, 1, 1, 8, 0, 0) + dateTime(2024, 1, 1, 9, 0, 0) +
                                       u32(1));
    std::vector<RecordingTimeTableEntry> entries;
    EXPECT_THROW(Analyzer.parseRecordingTimeTable(packet, entries), ByteBufferException);
    EXPECT_TRUE(entries.empty());

    packet = test::packetWith(530, Bytes{0} + u32(0x20000000) + u32(1) + u16(0) + Bytes{0});
    std::vector<StorageListEntry> storages;
    bool flag = false;
    EXPECT_THROW(Analyzer.parseStorageList(packet, flag, storages), ByteBufferException);
}

TEST(PlaybackReplyTest, MalformedStringIsRefused) {
    // The byte after the characters must be 0.
    Packet packet = test::packetWith(530, Bytes{0} + u32(1) + u32(1) + u16(2) + Bytes{'a', 'b', 'c'} + Bytes{0, 0, 0});
    bool flag = false;
    std::vector<StorageListEntry> storages;
    try {
        Analyzer.parseStorageList(packet, flag, storages);
        FAIL() << "a string without its terminator was accepted";
    } catch (const ByteBufferException& e) {
        EXPECT_EQ(e.code(), ByteBufferException::IllegalArgument);
    }
}

} // namespace
} // namespace ostrel
