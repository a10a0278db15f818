#include "base/ByteBuffer.h"
#include "storage/EventElement.h"
#include "storage/MediaElement.h"
#include "storage/RecordingTableElement.h"
#include "storage/TextInElement.h"
#include "storage/TimelineElement.h"
#include "storage/VarnelException.h"
#include "storage/pager/Buffer.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

namespace ostrel {
namespace {

const DateTime When(2024, 5, 6, 7, 8, 9, 3600);

// Every byte of a page window starts as 0xEE so that padding written as zero shows.
struct Window {
    explicit Window(ByteOrder order) : bytes(512, 0xEE), buffer(bytes.data(), bytes.size(), order) {}
    std::vector<std::uint8_t> bytes;
    Buffer buffer;
};

MediaElement media() {
    MediaElement e;
    e.setMediaType(TimelineLinkedElement::Audio);
    e.setFrameIndex(3);
    e.setGopID(0x01020304);
    e.setChannelMask(BitMask32(0x10));
    e.setDataSize(5);
    e.setExtraSize(2);
    e.setMediaID(0x1122334455667788ull);
    e.setDateTime(When);
    e.setAttributes(0xA1, 0xB2, 0xC3C3, 0xD4D4D4D4D4ull);
    e.setLinkedChannelMask(BitMask32(0x3));
    return e;
}

TEST(ItemLayoutTest, MediaElementLayoutInBothByteOrders) {
    for (ByteOrder order : {LittleEndian, BigEndian}) {
        Window w(order);
        const MediaElement e = media();
        e.writeAt(w.buffer, 64);
        EXPECT_EQ(w.buffer.getU16(64 + 0), 1);
        EXPECT_EQ(w.buffer.getU16(64 + 2), 3);
        EXPECT_EQ(w.buffer.getU32(64 + 4), 0x01020304u);
        EXPECT_EQ(w.buffer.getU32(64 + 8), 0x10u);
        EXPECT_EQ(w.buffer.getU32(64 + 12), 5u);
        EXPECT_EQ(w.buffer.getU64(64 + 16), 0x1122334455667788ull);
        // The DateTime in its serialized form: year as u16 in the page order, then month, day, zone, h, m, s.
        EXPECT_EQ(w.buffer.getU16(64 + 24), 2024);
        EXPECT_EQ(w.bytes[64 + 26], 5);
        EXPECT_EQ(w.bytes[64 + 27], 6);
        EXPECT_EQ(w.bytes[64 + 28], 4);
        EXPECT_EQ(w.bytes[64 + 29], 7);
        EXPECT_EQ(w.bytes[64 + 31], 9);
        EXPECT_EQ(w.buffer.getU16(64 + 32), 0xA1);
        EXPECT_EQ(w.buffer.getU16(64 + 34), 0xB2);
        EXPECT_EQ(w.buffer.getU32(64 + 36), 0xC3C3u);
        EXPECT_EQ(w.buffer.getU64(64 + 40), 0xD4D4D4D4D4ull);
        EXPECT_EQ(w.buffer.getU32(64 + 48), 3u);
        EXPECT_EQ(w.buffer.getU32(64 + 52), 2u);
        EXPECT_EQ(w.buffer.getU64(64 + 56), 0u);
        EXPECT_EQ(w.bytes[64 + 64], 0xEE);
        EXPECT_EQ(w.bytes[63], 0xEE);

        MediaElement back;
        back.readAt(w.buffer, 64);
        EXPECT_EQ(back.mediaType(), 1);
        EXPECT_EQ(back.gopID(), 0x01020304u);
        EXPECT_EQ(back.mediaID(), e.mediaID());
        EXPECT_TRUE(back.dateTime() == When);
        EXPECT_EQ(back.dateTime().zoneOffsetSeconds(), 3600);
        EXPECT_EQ(back.attributeD(), 0xD4D4D4D4D4ull);
        EXPECT_EQ(back.payloadSize(), 7u);
        EXPECT_EQ(back.size(), 71);
        EXPECT_FALSE(back.marksChannel());
    }
}

TEST(ItemLayoutTest, PayloadIsWrittenInPieces) {
    MediaElement e = media();
    const std::uint8_t payload[7] = {1, 2, 3, 4, 5, 6, 7};
    e.setPayload(payload);
    Window w(LittleEndian);
    w.buffer.setPosition(128);
    e.writeHeader(w.buffer);
    e.writePayload(w.buffer, 0, 4);
    EXPECT_EQ(w.buffer.position(), 128u + 64 + 4);
    e.writePayload(w.buffer, 4, 3);
    EXPECT_EQ(std::memcmp(w.bytes.data() + 192, payload, 7), 0);
    EXPECT_THROW(e.writePayload(w.buffer, 5, 3), VarnelException);

    MediaElement empty;
    EXPECT_EQ(empty.size(), 64);
    EXPECT_TRUE(empty.marksChannel());
}

TEST(ItemLayoutTest, TimelineElementRoundTrip) {
    TimelineElement e;
    e.setMediaType(0);
    e.setFrameIndex(9);
    e.setGopID(77);
    e.setChannelMask(BitMask32(5));
    e.setLinkedChannelMask(BitMask32(6));
    e.setDateTime(When);
    e.setMediaID(42);
    e.setMediaPosition({12, 4000});
    e.setPreviousPosition({11, 192});
    e.setTotalSize(100064);
    Window w(BigEndian);
    e.writeAt(w.buffer, 128);
    EXPECT_EQ(w.buffer.getU32(128 + 12), 6u);
    EXPECT_EQ(w.buffer.getU16(128 + 16), 2024);
    EXPECT_EQ(w.buffer.getU64(128 + 24), 42u);
    EXPECT_EQ(w.buffer.getU32(128 + 32), 12u);
    EXPECT_EQ(w.buffer.getU32(128 + 36), 4000u);
    EXPECT_EQ(w.buffer.getU32(128 + 44), 192u);
    EXPECT_EQ(w.buffer.getU32(128 + 48), 100064u);
    for (int i = 52; i < 64; ++i) {
        EXPECT_EQ(w.bytes[128 + i], 0) << i;
    }
    TimelineElement back;
    back.readAt(w.buffer, 128);
    EXPECT_EQ(back.mediaPosition(), (PagePosition{12, 4000}));
    EXPECT_EQ(back.previousPosition(), (PagePosition{11, 192}));
    EXPECT_EQ(back.totalSize(), 100064u);
    EXPECT_TRUE(back.marksChannel());
}

TEST(ItemLayoutTest, RecordingTableAndEventElements) {
    RecordingTableElement r;
    r.setDateTime(When);
    r.setChannelMask(BitMask32(0xF));
    r.setSectionID(8);
    r.setPosition({3, 256});
    r.setMediaID(99);
    r.setPreviousPosition({3, 192});
    r.setPreviousChannelMask(BitMask32(0x7));
    Window w(LittleEndian);
    r.writeAt(w.buffer, 0);
    EXPECT_EQ(w.buffer.getU16(0), 2024);
    EXPECT_EQ(w.buffer.getU32(12), 8u);
    EXPECT_EQ(w.buffer.getU32(20), 256u);
    EXPECT_EQ(w.buffer.getU64(24), 99u);
    EXPECT_EQ(w.buffer.getU32(40), 7u);
    EXPECT_EQ(w.bytes[63], 0);
    RecordingTableElement rb;
    rb.readAt(w.buffer, 0);
    EXPECT_EQ(rb.sectionID(), 8u);
    EXPECT_EQ(rb.previousChannelMask().word(), 7u);

    EventElement e;
    e.setEventType(2);
    e.setEventSubType(4);
    e.setChannelMask(BitMask32(0x100));
    e.setMediaID(1234);
    e.setDateTime(When);
    e.setTimelinePos({5, 320});
    e.setSectionID(17);
    e.writeAt(w.buffer, 64);
    EXPECT_EQ(w.bytes[64], 2);
    EXPECT_EQ(w.bytes[65], 4);
    EXPECT_EQ(w.buffer.getU16(66), 0);
    EXPECT_EQ(w.buffer.getU32(68), 0x100u);
    EXPECT_EQ(w.buffer.getU64(72), 1234u);
    EXPECT_EQ(w.buffer.getU32(64 + 24), 5u);
    EXPECT_EQ(w.buffer.getU32(64 + 32), 17u);
    EventElement eb;
    eb.readAt(w.buffer, 64);
    EXPECT_EQ(eb.timelinePos(), (PagePosition{5, 320}));
    EXPECT_EQ(eb.eventSubType(), 4);
    EXPECT_TRUE(eb.dateTime() == When);
}

TEST(ItemLayoutTest, TextInElementCutsItsText) {
    TextInElement t;
    t.setFrameIndex(1);
    t.setGopID(2);
    t.setChannelMask(BitMask32(1));
    t.setMediaID(5);
    t.setDateTime(When);
    t.setRunStart({4, 128});
    t.setLinkedChannelMask(BitMask32(2));
    t.setAttribute(33);
    t.setFlags(BitMask32(3));
    t.setText(std::string(80, 'z'));
    EXPECT_EQ(t.text().size(), 63u);
    Window w(LittleEndian);
    t.writeAt(w.buffer, 128);
    EXPECT_EQ(w.buffer.getU16(128), 3);
    EXPECT_EQ(w.buffer.getU32(128 + 52), 33u);
    EXPECT_EQ(w.buffer.getU32(128 + 56), 3u);
    EXPECT_EQ(w.bytes[128 + 60], 'z');
    EXPECT_EQ(w.bytes[128 + 60 + 62], 'z');
    EXPECT_EQ(w.bytes[128 + 60 + 63], 0);
    EXPECT_EQ(w.buffer.getU32(128 + 124), 0u);
    // A stored text without terminator is still read as at most 63 characters.
    std::memset(w.bytes.data() + 128 + 60, 'q', 64);
    TextInElement back;
    back.readAt(w.buffer, 128);
    EXPECT_EQ(back.text(), std::string(63, 'q'));
    EXPECT_EQ(back.runStart(), (PagePosition{4, 128}));
    EXPECT_FALSE(back.marksChannel());
}

TEST(ItemLayoutTest, ItemsOutsideTheWindowAreRefused) {
    Window w(LittleEndian);
    EventElement e;
    EXPECT_THROW(e.readAt(w.buffer, 500), VarnelException);
    EXPECT_THROW(e.writeAt(w.buffer, 449), VarnelException);
    EXPECT_NO_THROW(e.writeAt(w.buffer, 448));
}

TEST(ItemLayoutTest, ByteBufferSideMatchesThePageSide) {
    ByteBuffer packet(128);
    packet.order(BigEndian);
    const MediaElement e = media();
    MediaElement noPayload = e;
    noPayload.setDataSize(0);
    noPayload.setExtraSize(0);
    noPayload.write(packet);
    EXPECT_EQ(packet.position(), 64);
    MediaElement back;
    back.readAt(packet, 0);
    EXPECT_EQ(back.mediaID(), e.mediaID());
    EXPECT_EQ(packet.getInt(8), 0x10u);
}

} // namespace
} // namespace ostrel
