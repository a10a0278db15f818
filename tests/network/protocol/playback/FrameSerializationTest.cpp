// The in-memory frames written into and read from buffers in either byte order.
#include "base/ByteBuffer.h"
#include "base/ByteBufferException.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/TextInFrame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ostrel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const ByteBuffer& buffer, int from, int length) {
    Bytes bytes;
    for (int i = from; i < from + length; ++i) {
        bytes.push_back(buffer.get(i));
    }
    return bytes;
}

MediaFrame sampleFrame(const uint8_t* data) {
    MediaFrame frame;
    frame.setMediaType(MediaFrame::Video);
    frame.setFrameIndex(0x0102);
    frame.setGopID(0x03040506);
    frame.setChannelMask(BitMask32(0x00000400));
    frame.setDataSize(3);
    frame.setMediaID(0x1112131415161718ull);
    frame.setTime(DateTime(2024, 2, 29, 23, 58, 7, 3600));
    frame.setAttributeA(0x2122);
    frame.setAttributeB(0x2324);
    frame.setAttributeC(0x25262728);
    frame.setAttributeD(0x292A2B2C2D2E2F30ull);
    frame.setLinkedChannelMask(BitMask32(0x31323334));
    frame.setExtraSize(2);
    frame.setData(data);
    return frame;
}

TEST(MediaFrameTest, HeaderLayoutOnALittleEndianBuffer) {
    const uint8_t data[5] = {0xD0, 0xD1, 0xD2, 0xE0, 0xE1};
    const MediaFrame frame = sampleFrame(data);
    ByteBuffer buffer(80);
    buffer.order(LittleEndian);
    frame.write(buffer);
    EXPECT_EQ(buffer.position(), 64);
    const Bytes expected = {
        0x00, 0x00, 0x02, 0x01, 0x06, 0x05, 0x04, 0x03, // media type, frame index, gop
        0x00, 0x04, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, // channel mask, data size
        0x18, 0x17, 0x16, 0x15, 0x14, 0x13, 0x12, 0x11, // media ID
        0xE8, 0x07, 0x02, 0x1D, 0x04, 0x17, 0x3A, 0x07, // DateTime serialized: year LE, month, day, zone, h, m, s
        0x22, 0x21, 0x24, 0x23, 0x28, 0x27, 0x26, 0x25, // attributes A, B, C
        0x30, 0x2F, 0x2E, 0x2D, 0x2C, 0x2B, 0x2A, 0x29, // attribute D
        0x34, 0x33, 0x32, 0x31, 0x02, 0x00, 0x00, 0x00, // linked mask, extra size
        0, 0, 0, 0, 0, 0, 0, 0,
    };
    EXPECT_EQ(bytesOf(buffer, 0, 64), expected);
    frame.writeData(buffer);
    EXPECT_EQ(bytesOf(buffer, 64, 5), Bytes(data, data + 5));
    EXPECT_EQ(frame.size(), 69);
}

TEST(MediaFrameTest, RoundTripInBothOrdersAndAtAnOffset) {
    const uint8_t data[5] = {};
    const MediaFrame frame = sampleFrame(data);
    for (ByteOrder order : {BigEndian, LittleEndian}) {
        ByteBuffer buffer(200);
        buffer.order(order);
        frame.writeAt(buffer, 100);
        EXPECT_EQ(buffer.position(), 0);
        MediaFrame read;
        read.readAt(buffer, 100);
        EXPECT_EQ(read.mediaType(), frame.mediaType());
        EXPECT_EQ(read.frameIndex(), frame.frameIndex());
        EXPECT_EQ(read.gopID(), frame.gopID());
        EXPECT_EQ(read.channelMask(), frame.channelMask());
        EXPECT_EQ(read.dataSize(), frame.dataSize());
        EXPECT_EQ(read.mediaID(), frame.mediaID());
        EXPECT_EQ(read.time(), frame.time());
        EXPECT_EQ(read.time().zoneOffsetSeconds(), 3600);
        EXPECT_EQ(read.attributeA(), frame.attributeA());
        EXPECT_EQ(read.attributeB(), frame.attributeB());
        EXPECT_EQ(read.attributeC(), frame.attributeC());
        EXPECT_EQ(read.attributeD(), frame.attributeD());
        EXPECT_EQ(read.linkedChannelMask(), frame.linkedChannelMask());
        EXPECT_EQ(read.extraSize(), frame.extraSize());
        EXPECT_EQ(read.channel(), 10);
    }
}

TEST(MediaFrameTest, HeaderThatDoesNotFitChangesNothing) {
    const uint8_t data[5] = {};
    const MediaFrame frame = sampleFrame(data);
    ByteBuffer buffer(100);
    buffer.position(40);
    EXPECT_THROW(frame.write(buffer), ByteBufferException);
    EXPECT_EQ(buffer.position(), 40);
    EXPECT_EQ(bytesOf(buffer, 40, 60), Bytes(60, 0));
    EXPECT_THROW(frame.writeAt(buffer, 37), ByteBufferException);
    EXPECT_THROW(frame.writeAt(buffer, -1), ByteBufferException);
    EXPECT_EQ(bytesOf(buffer, 0, 100), Bytes(100, 0));

    MediaFrame read = frame;
    EXPECT_THROW(read.readAt(buffer, 37), ByteBufferException);
    EXPECT_THROW(read.read(buffer), ByteBufferException);
    EXPECT_EQ(read.mediaID(), frame.mediaID());
    EXPECT_EQ(buffer.position(), 40);
}

TEST(MediaFrameTest, ChannelOfSingleBitMasksOnly) {
    MediaFrame frame;
    for (int i = 0; i < 32; ++i) {
        frame.setChannelMask(BitMask32(1u << i));
        EXPECT_EQ(frame.channel(), i);
    }
    for (uint32_t mask : {0u, 3u, 0x80000001u, 0xFFFFFFFFu}) {
        frame.setChannelMask(BitMask32(mask));
        EXPECT_EQ(frame.channel(), -1) << mask;
    }
}

TEST(MediaFrameTest, DataWithoutBytesIsRefused) {
    MediaFrame frame;
    frame.setDataSize(4);
    ByteBuffer buffer(100);
    EXPECT_THROW(frame.writeData(buffer), ByteBufferException);
    frame.setDataSize(0);
    EXPECT_NO_THROW(frame.writeData(buffer));
    EXPECT_EQ(buffer.position(), 0);
}

TEST(TextInFrameTest, SerializedLayout) {
    TextInFrame frame;
    frame.setFrameIndex(0x0102);
    frame.setGopID(0x03040506);
    frame.setChannelMask(BitMask32(0x07080910));
    frame.setMediaID(0x1112131415161718ull);
    frame.setTime(DateTime(2024, 1, 2, 3, 4, 5));
    frame.setTimelinePosition(0x21222324, 0x25262728);
    frame.setAttribute(0x31323334);
    frame.setFlags(BitMask32(0x3));
    frame.setText("PAID");
    ByteBuffer buffer(128);
    buffer.order(BigEndian);
    frame.write(buffer);
    Bytes expected = {0x00, 0x03, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x10, 0, 0, 0, 0,
                      0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x07, 0xE8, 1,    2,    0,    3,    4,    5,
                      0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0,    0,    0,    0,    0,    0,    0,    0,
                      0xFF, 0xFF, 0xFF, 0xFF, 0x31, 0x32, 0x33, 0x34, 0,    0,    0,    3,    'P',  'A',  'I',  'D'};
    expected.resize(128, 0);
    EXPECT_EQ(bytesOf(buffer, 0, 128), expected);

    TextInFrame read;
    buffer.flip();
    read.read(buffer);
    EXPECT_EQ(read.mediaID(), frame.mediaID());
    EXPECT_EQ(read.timelinePageNumber(), 0x21222324u);
    EXPECT_EQ(read.timelineOffset(), 0x25262728u);
    EXPECT_EQ(read.flags().word(), 3u);
    EXPECT_STREQ(read.text(), "PAID");
}

TEST(TextInFrameTest, TextIsCutTo63CharactersAndAlwaysTerminated) {
    TextInFrame frame;
    frame.setText(std::string(70, 'x'));
    EXPECT_EQ(std::string(frame.text()), std::string(63, 'x'));
    frame.setText(std::string("ab\0cd", 5));
    EXPECT_STREQ(frame.text(), "ab");

    // A stored form whose text field has no terminator reads back cut, not overrun.
    ByteBuffer buffer(128);
    frame.write(buffer);
    for (int i = 60; i < 124; ++i) {
        buffer.put(i, uint8_t{'y'});
    }
    TextInFrame read;
    read.readAt(buffer, 0);
    EXPECT_EQ(std::string(read.text()), std::string(63, 'y'));
}

} // namespace
} // namespace ostrel
