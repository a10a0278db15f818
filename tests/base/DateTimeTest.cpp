#include "base/ByteBuffer.h"
#include "base/DateTime.h"
#include "base/Exception.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <random>
#include <string>

using namespace ostrel;

namespace {

// Sets TZ for the test's lifetime and restores the previous zone.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        if (const char* old = std::getenv("TZ")) _old = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZoneScope() {
        if (_old) {
            ::setenv("TZ", _old->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::optional<std::string> _old;
};

} // namespace

TEST(DateTimeTest, AddSecondsAcrossMonthEndsLeapYearsAndYearEnds) {
    struct Case {
        const char* start;
        int64_t seconds;
        const char* expected;
    };
    const Case cases[] = {
        {"2011/02/28 23:00:00", 86400, "2011/03/01 23:00:00"},
        {"2012/02/28 23:00:00", 86400, "2012/02/29 23:00:00"},
        {"2012/02/29 23:00:00", 86400, "2012/03/01 23:00:00"},
        {"2000/02/28 12:00:00", 86400, "2000/02/29 12:00:00"},   // divisible by 400: leap
        {"2100/02/28 12:00:00", 86400, "2100/03/01 12:00:00"},   // divisible by 100: not leap
        {"2011/12/31 23:59:59", 1, "2012/01/01 00:00:00"},
        {"2012/01/01 00:00:00", -1, "2011/12/31 23:59:59"},
        {"2012/03/01 00:00:00", -1, "2012/02/29 23:59:59"},
        {"2011/03/01 00:00:00", -86400, "2011/02/28 00:00:00"},
        {"2011/04/30 10:00:00", 86400, "2011/05/01 10:00:00"},
        {"1970/01/01 00:00:00", -1, "1969/12/31 23:59:59"},
        {"2011/01/31 00:00:00", 366LL * 86400, "2012/02/01 00:00:00"},
        {"2038/01/19 03:14:07", 1, "2038/01/19 03:14:08"},        // past the 32-bit limit
        {"2011/06/15 08:30:00", 0, "2011/06/15 08:30:00"},
        {"2011/06/15 08:30:00", -1800, "2011/06/15 08:00:00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.start) + " + " + std::to_string(c.seconds));
        auto value = DateTime::parse(c.start);
        ASSERT_TRUE(value.has_value());
        value->addSeconds(c.seconds);
        EXPECT_EQ(value->toString(), c.expected);
    }
}

TEST(DateTimeTest, AddSecondsKeepsTheZone) {
    DateTime value(2011, 3, 27, 1, 30, 0, 3600);  // a daylight-saving night in many zones
    value.addSeconds(3600);
    EXPECT_EQ(value.toString(), "2011/03/27 02:30:00");
    EXPECT_EQ(value.zoneOffsetSeconds(), 3600);

    DateTime west(2011, 12, 31, 23, 0, 0, -20700);
    west.addSeconds(7200);
    EXPECT_EQ(west.toString(), "2012/01/01 01:00:00");
    EXPECT_EQ(west.zoneOffsetSeconds(), -20700);
}

TEST(DateTimeTest, EpochSecondsAgreeWithThePlatformUtcConversion) {
    std::mt19937 random(20110228);
    std::uniform_int_distribution<int> year(1900, 2400), month(1, 12), day(1, 28), hour(0, 23), minute(0, 59);
    for (int i = 0; i < 5000; ++i) {
        const DateTime value(year(random), month(random), day(random), hour(random), minute(random),
                             minute(random));
        std::tm fields{};
        fields.tm_year = value.year() - 1900;
        fields.tm_mon = value.month() - 1;
        fields.tm_mday = value.day();
        fields.tm_hour = value.hour();
        fields.tm_min = value.minute();
        fields.tm_sec = value.second();
        ASSERT_EQ(value.epochSeconds(), static_cast<int64_t>(::timegm(&fields))) << value.toString();
        ASSERT_EQ(DateTime::fromEpochSeconds(value.epochSeconds()), value) << value.toString();
    }
    EXPECT_EQ(DateTime(1970, 1, 1, 0, 0, 0).epochSeconds(), 0);
    // A day past the month's end counts on into the next month, as the calendar conversion does.
    EXPECT_EQ(DateTime(2011, 2, 31, 0, 0, 0).epochSeconds(), DateTime(2011, 3, 3, 0, 0, 0).epochSeconds());
}

TEST(DateTimeTest, SecondsBetweenIsSignedAndIgnoresZones) {
    struct Case {
        DateTime a, b;
        int64_t expected;
    };
    const Case cases[] = {
        {DateTime(2011, 3, 1, 0, 0, 0), DateTime(2011, 2, 28, 0, 0, 0), 86400},
        {DateTime(2012, 3, 1, 0, 0, 0), DateTime(2012, 2, 28, 0, 0, 0), 2 * 86400},
        {DateTime(2012, 2, 28, 0, 0, 0), DateTime(2012, 3, 1, 0, 0, 0), -2 * 86400},
        {DateTime(2013, 1, 1, 0, 0, 0), DateTime(2012, 1, 1, 0, 0, 0), 366 * 86400},
        {DateTime(2011, 1, 1, 10, 0, 0, 32400), DateTime(2011, 1, 1, 10, 0, 0, -18000), 0},
        {DateTime(2011, 1, 1, 0, 0, 1), DateTime(2010, 12, 31, 23, 59, 59), 2},
        {DateTime(2106, 2, 7, 6, 28, 16), DateTime(1970, 1, 1, 0, 0, 0), 4294967296LL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a.toString() + " - " + c.b.toString());
        EXPECT_EQ(DateTime::secondsBetween(c.a, c.b), c.expected);
        EXPECT_EQ(DateTime::secondsBetween(c.b, c.a), -c.expected);
    }
}

TEST(DateTimeTest, ArithmeticOnValuesThatAreNoCalendarTimeThrowsAndChangesNothing) {
    const DateTime cases[] = {
        DateTime(),                                     // unset date and time
        DateTime(Date(2011, 1, 1), Time()),             // unset time
        DateTime(Date(), Time(0, 0, 0)),                // unset date
        DateTime(2011, 13, 1, 0, 0, 0),
        DateTime(2011, 0, 1, 0, 0, 0),
        DateTime(2011, 1, 0, 0, 0, 0),
        DateTime(2011, 1, 32, 0, 0, 0),
        DateTime(2011, 1, 1, 24, 0, 0),
        DateTime(2011, 1, 1, 0, 60, 0),
        DateTime(2011, 1, 1, 0, 0, 61),
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.toString());
        DateTime value = c;
        EXPECT_THROW(value.addSeconds(1), Exception);
        EXPECT_EQ(value.date().packed(), c.date().packed());
        EXPECT_EQ(value.time().packed(), c.time().packed());
        EXPECT_THROW(DateTime::secondsBetween(c, DateTime(2011, 1, 1, 0, 0, 0)), Exception);
        EXPECT_THROW(DateTime::secondsBetween(DateTime(2011, 1, 1, 0, 0, 0), c), Exception);
    }
}

TEST(DateTimeTest, ResultsOutsideTheDateRangeThrow) {
    DateTime last(65535, 12, 31, 23, 59, 59);
    EXPECT_THROW(last.addSeconds(1), Exception);
    EXPECT_EQ(last.toString(), "65535/12/31 23:59:59");

    DateTime first(0, 1, 1, 0, 0, 0);
    EXPECT_THROW(first.addSeconds(-1), Exception);
    EXPECT_THROW(first.addSeconds(std::numeric_limits<int64_t>::min()), Exception);

    DateTime now = DateTime::nowUTC();
    EXPECT_THROW(now.addSeconds(std::numeric_limits<int64_t>::max()), Exception);
    EXPECT_THROW(DateTime::fromEpochSeconds(std::numeric_limits<int64_t>::max()), Exception);
}

TEST(DateTimeTest, NowCarriesTheLocalZoneOffset) {
    ZoneScope zone("XNP-5:45");  // five hours forty-five east of UTC, no daylight saving
    const DateTime local = DateTime::now();
    const DateTime utc = DateTime::nowUTC();
    EXPECT_EQ(local.zoneOffsetSeconds(), 20700);
    EXPECT_EQ(utc.zoneOffsetSeconds(), 0);
    // The two readings lie at most a moment apart.
    const int64_t difference = DateTime::secondsBetween(local, utc);
    EXPECT_GE(difference, 20700 - 2);
    EXPECT_LE(difference, 20700 + 2);
}

TEST(DateTimeTest, NowWestOfUtcHasANegativeOffset) {
    ZoneScope zone("XWT+3:30");  // three and a half hours west
    EXPECT_EQ(DateTime::now().zoneOffsetSeconds(), -12600);
}

TEST(DateTimeTest, OrdersByDateThenTime) {
    const DateTime a(2011, 2, 28, 23, 59, 59, 3600);
    const DateTime b(2011, 3, 1, 0, 0, 0, -3600);
    const DateTime c(2011, 3, 1, 0, 0, 1, 50400);
    EXPECT_TRUE(a < b && b < c && a < c);
    EXPECT_TRUE(c > b && b > a);
    EXPECT_TRUE(a.lessThan(b) && b.greaterThan(a));
    EXPECT_FALSE(b < a);
    EXPECT_TRUE(a <= a && a >= a);
    // Equal fields in different zones are equal values.
    EXPECT_EQ(DateTime(2011, 3, 1, 0, 0, 0, 0), b);
    EXPECT_NE(a, b);
    // An unset value orders after every set one.
    EXPECT_GT(DateTime(), DateTime(9999, 12, 31, 23, 59, 59));
}

TEST(DateTimeTest, Text) {
    EXPECT_EQ(DateTime(2011, 2, 8, 7, 6, 5).toString(), "2011/02/08 07:06:05");
    EXPECT_EQ(DateTime(Date(1999, 12, 31), Time(23, 59, 59, 3600)).toString(), "1999/12/31 23:59:59");
}

TEST(DateTimeTest, ParseChecksFormatAndRanges) {
    struct Case {
        const char* text;
        const char* expected;  // nullptr: refused
    };
    const Case cases[] = {
        {"2011/02/28 23:00:00", "2011/02/28 23:00:00"},
        {"2012/02/29 00:00:00", "2012/02/29 00:00:00"},
        {"2000/02/29 00:00:00", "2000/02/29 00:00:00"},
        {"2011/2/3 4:05:6", "2011/02/03 04:05:06"},
        {"65535/12/31 23:59:59", "65535/12/31 23:59:59"},
        {"2011/02/29 00:00:00", nullptr},
        {"2100/02/29 00:00:00", nullptr},
        {"2011/04/31 00:00:00", nullptr},
        {"2011/13/01 00:00:00", nullptr},
        {"2011/00/01 00:00:00", nullptr},
        {"2011/01/00 00:00:00", nullptr},
        {"2011/01/01 24:00:00", nullptr},
        {"2011/01/01 00:60:00", nullptr},
        {"2011/01/01 00:00:60", nullptr},
        {"65536/01/01 00:00:00", nullptr},
        {"123456/01/01 00:00:00", nullptr},
        {"2011-01-01 00:00:00", nullptr},
        {"2011/01/01T00:00:00", nullptr},
        {"2011/01/01 00:00", nullptr},
        {"2011/01/01 00:00:00 ", nullptr},
        {" 2011/01/01 00:00:00", nullptr},
        {"2011/01/01  00:00:00", nullptr},
        {"2011/001/01 00:00:00", nullptr},
        {"2011/+1/01 00:00:00", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto parsed = DateTime::parse(c.text);
        if (c.expected == nullptr) {
            EXPECT_FALSE(parsed.has_value());
        } else {
            ASSERT_TRUE(parsed.has_value());
            EXPECT_EQ(parsed->toString(), c.expected);
            EXPECT_EQ(parsed->zoneOffsetSeconds(), 0);
        }
    }
    const auto zoned = DateTime::parse("2011/02/28 23:00:00", 32400);
    ASSERT_TRUE(zoned.has_value());
    EXPECT_EQ(zoned->zoneOffsetSeconds(), 32400);
}

TEST(DateTimeTest, SerializesDateFormThenTimeForm) {
    const DateTime value(2011, 2, 28, 13, 45, 30, -18000);
    struct OrderCase {
        ByteOrder order;
        uint8_t bytes[8];
    };
    const OrderCase cases[] = {
        {BigEndian, {0x07, 0xDB, 0x02, 0x1C, 0xEC, 0x0D, 0x2D, 0x1E}},
        {LittleEndian, {0xDB, 0x07, 0x02, 0x1C, 0xEC, 0x0D, 0x2D, 0x1E}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.order == BigEndian ? "big-endian" : "little-endian");
        ByteBuffer buffer(10);
        buffer.order(c.order);
        buffer.put(uint8_t{0xAA});
        value.write(buffer);
        EXPECT_EQ(value.size(), 8);
        EXPECT_EQ(buffer.position(), 9);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(buffer.get(1 + i), c.bytes[i]) << "byte " << i;
        }
        DateTime readBack;
        readBack.readAt(buffer, 1);
        EXPECT_EQ(readBack.date().packed(), value.date().packed());
        EXPECT_EQ(readBack.time().packed(), value.time().packed());

        ByteBuffer copy(8);
        copy.order(c.order);
        readBack.writeAt(copy, 0);
        EXPECT_EQ(copy.position(), 0);
        DateTime again;
        again.read(copy);
        EXPECT_EQ(copy.position(), 8);
        EXPECT_EQ(again.time().packed(), value.time().packed());
        EXPECT_EQ(again.date().packed(), value.date().packed());
    }
}
