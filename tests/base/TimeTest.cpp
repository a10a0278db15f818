#include "base/ByteBuffer.h"
#include "base/Time.h"

#include <gtest/gtest.h>

#include <vector>

using namespace ostrel;

TEST(TimeTest, PacksTheZoneAsSignedQuarterHours) {
    struct Case {
        int hour, minute, second, offsetSeconds;
        uint32_t packed;
        int zoneOffsetSeconds;
    };
    const Case cases[] = {
        {13, 45, 30, 0, 0x000D2D1E, 0},
        {13, 45, 30, 3600, 0x040D2D1E, 3600},
        {13, 45, 30, -18000, 0xEC0D2D1E, -18000},    // UTC-5
        {0, 0, 0, 20700, 0x17000000, 20700},         // UTC+5:45
        {23, 59, 59, -34200, 0xDA173B3B, -34200},    // UTC-9:30
        {12, 0, 0, 50400, 0x380C0000, 50400},        // UTC+14
        {1, 2, 3, 1000, 0x01010203, 900},            // offsets are kept in whole quarter hours
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.offsetSeconds);
        const Time time(c.hour, c.minute, c.second, c.offsetSeconds);
        EXPECT_EQ(time.packed(), c.packed);
        const Time unpacked(c.packed);
        EXPECT_EQ(unpacked.hour(), c.hour);
        EXPECT_EQ(unpacked.minute(), c.minute);
        EXPECT_EQ(unpacked.second(), c.second);
        EXPECT_EQ(unpacked.zoneOffsetSeconds(), c.zoneOffsetSeconds);
    }
}

TEST(TimeTest, DefaultIsUnset) {
    const Time unset;
    EXPECT_EQ(unset.packed(), 0xFFFFFFFFu);
    EXPECT_FALSE(unset.isSet());
    EXPECT_TRUE(Time(0, 0, 0).isSet());
    EXPECT_GT(unset, Time(23, 59, 59));
}

TEST(TimeTest, TimesDifferingOnlyInZoneAreEqual) {
    const Time utc(10, 20, 30, 0), east(10, 20, 30, 32400), west(10, 20, 30, -28800);
    EXPECT_NE(utc.packed(), east.packed());
    EXPECT_TRUE(utc.equals(east));
    EXPECT_EQ(utc, west);
    EXPECT_FALSE(utc.notEquals(west));
    EXPECT_FALSE(utc < east);
    EXPECT_FALSE(utc > west);
    EXPECT_TRUE(utc <= east && utc >= east);
}

TEST(TimeTest, OrdersByHourMinuteSecondIgnoringZone) {
    // Zones chosen against the clock order, so a comparison that looked at the
    // zone byte would get them wrong.
    const std::vector<Time> ordered = {Time(0, 0, 0, 50400), Time(0, 0, 1, -43200), Time(0, 1, 0, 3600),
                                       Time(1, 0, 0, -3600), Time(23, 59, 59, -50400)};
    for (std::size_t i = 0; i < ordered.size(); ++i) {
        for (std::size_t j = 0; j < ordered.size(); ++j) {
            EXPECT_EQ(ordered[i] == ordered[j], i == j) << i << " " << j;
            EXPECT_EQ(ordered[i] < ordered[j], i < j) << i << " " << j;
            EXPECT_EQ(ordered[i] > ordered[j], i > j) << i << " " << j;
            EXPECT_EQ(ordered[i].lessOrEqual(ordered[j]), i <= j) << i << " " << j;
            EXPECT_EQ(ordered[i].greaterOrEqual(ordered[j]), i >= j) << i << " " << j;
        }
    }
}

TEST(TimeTest, Text) {
    EXPECT_EQ(Time(9, 5, 7, 3600).toString(), "09:05:07");
    EXPECT_EQ(Time(23, 59, 59).toString(), "23:59:59");
}

TEST(TimeTest, SerializesZoneHourMinuteSecondBytesInEitherOrder) {
    const Time time(13, 45, 30, -18000);
    const uint8_t expected[4] = {0xEC, 0x0D, 0x2D, 0x1E};
    for (ByteOrder order : {BigEndian, LittleEndian}) {
        ByteBuffer buffer(8);
        buffer.order(order);
        time.write(buffer);
        time.writeAt(buffer, 4);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(buffer.get(i), expected[i % 4]) << "byte " << i;
        }
        Time readBack;
        readBack.readAt(buffer, 4);
        EXPECT_EQ(readBack.packed(), time.packed());
        EXPECT_EQ(readBack.zoneOffsetSeconds(), -18000);
    }
}
