#include "base/ByteBuffer.h"
#include "base/ByteBufferException.h"
#include "base/Date.h"
#include "base/FormatableBuffer.h"

#include <gtest/gtest.h>

#include <vector>

using namespace ostrel;

namespace {

struct PackCase {
    int year, month, day;
    uint32_t packed;
    const char* text;
};

const PackCase PackCases[] = {
    {2011, 2, 28, 0x07DB021C, "2011/02/28"},
    {2012, 2, 29, 0x07DC021D, "2012/02/29"},
    {1970, 1, 1, 0x07B20101, "1970/01/01"},
    {9999, 12, 31, 0x270F0C1F, "9999/12/31"},
    {5, 1, 2, 0x00050102, "5/01/02"},
    {0, 0, 0, 0x00000000, "0/00/00"},
};

} // namespace

TEST(DateTest, PacksAndUnpacksTheWord) {
    for (const auto& c : PackCases) {
        SCOPED_TRACE(c.text);
        const Date date(c.year, c.month, c.day);
        EXPECT_EQ(date.packed(), c.packed);
        const Date unpacked(c.packed);
        EXPECT_EQ(unpacked.year(), c.year);
        EXPECT_EQ(unpacked.month(), c.month);
        EXPECT_EQ(unpacked.day(), c.day);
        EXPECT_EQ(unpacked.toString(), c.text);
    }
}

TEST(DateTest, AFieldOutOfItsWidthNeverSpillsIntoAnother) {
    const Date date(2011, 0x103, 0x205);
    EXPECT_EQ(date.year(), 2011);
    EXPECT_EQ(date.month(), 3);
    EXPECT_EQ(date.day(), 5);
    EXPECT_EQ(Date(0x12345, 1, 1).year(), 0x2345);
}

TEST(DateTest, DefaultIsUnsetAndOrdersAfterEveryRealDate) {
    const Date unset;
    EXPECT_EQ(unset.packed(), 0xFFFFFFFFu);
    EXPECT_FALSE(unset.isSet());
    EXPECT_TRUE(Date(9999, 12, 31).isSet());
    EXPECT_TRUE(unset.greaterThan(Date(9999, 12, 31)));
    EXPECT_GT(unset, Date(9999, 12, 31));
    EXPECT_GT(unset, Date(65535, 12, 31));
    EXPECT_EQ(unset, Date());
}

TEST(DateTest, ComparesPackedWordsAsUnsignedNumbers) {
    const Date a(2011, 12, 31), b(2012, 1, 1), c(2012, 1, 2);
    const std::vector<Date> ordered = {Date(0, 0, 0), a, b, c, Date(0x8000, 1, 1), Date()};
    for (std::size_t i = 0; i < ordered.size(); ++i) {
        for (std::size_t j = 0; j < ordered.size(); ++j) {
            SCOPED_TRACE(ordered[i].toString() + " vs " + ordered[j].toString());
            EXPECT_EQ(ordered[i].equals(ordered[j]), i == j);
            EXPECT_EQ(ordered[i].notEquals(ordered[j]), i != j);
            EXPECT_EQ(ordered[i].lessThan(ordered[j]), i < j);
            EXPECT_EQ(ordered[i].greaterThan(ordered[j]), i > j);
            EXPECT_EQ(ordered[i].lessOrEqual(ordered[j]), i <= j);
            EXPECT_EQ(ordered[i].greaterOrEqual(ordered[j]), i >= j);
            EXPECT_EQ(ordered[i] == ordered[j], i == j);
            EXPECT_EQ(ordered[i] != ordered[j], i != j);
            EXPECT_EQ(ordered[i] < ordered[j], i < j);
            EXPECT_EQ(ordered[i] > ordered[j], i > j);
            EXPECT_EQ(ordered[i] <= ordered[j], i <= j);
            EXPECT_EQ(ordered[i] >= ordered[j], i >= j);
        }
    }
}

TEST(DateTest, SerializesYearInTheBufferByteOrder) {
    struct OrderCase {
        ByteOrder order;
        std::vector<uint8_t> bytes;
    };
    const OrderCase cases[] = {
        {BigEndian, {0x07, 0xDB, 0x02, 0x1C}},
        {LittleEndian, {0xDB, 0x07, 0x02, 0x1C}},
    };
    const Date date(2011, 2, 28);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.order == BigEndian ? "big-endian" : "little-endian");
        ByteBuffer buffer(8);
        buffer.order(c.order);
        EXPECT_EQ(date.size(), 4);

        date.write(buffer);
        EXPECT_EQ(buffer.position(), 4);
        date.writeAt(buffer, 4);
        EXPECT_EQ(buffer.position(), 4);
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(buffer.get(i), c.bytes[i]) << "byte " << i;
            EXPECT_EQ(buffer.get(4 + i), c.bytes[i]) << "byte " << 4 + i;
        }

        Date readBack;
        readBack.readAt(buffer, 4);
        EXPECT_EQ(readBack.packed(), date.packed());
        buffer.position(0);
        Date readRelative;
        readRelative.read(buffer);
        EXPECT_EQ(buffer.position(), 4);
        EXPECT_EQ(readRelative.packed(), date.packed());
    }
}

TEST(DateTest, UnsetDateSurvivesSerialization) {
    for (ByteOrder order : {BigEndian, LittleEndian}) {
        ByteBuffer buffer(4);
        buffer.order(order);
        Date().write(buffer);
        buffer.position(0);
        Date readBack(2000, 1, 1);
        readBack.read(buffer);
        EXPECT_FALSE(readBack.isSet());
    }
}

TEST(DateTest, SerializationOutsideTheBufferThrowsAndChangesNothing) {
    ByteBuffer buffer(6);
    buffer.order(BigEndian);
    const Date date(2011, 2, 28);

    EXPECT_THROW(date.writeAt(buffer, 3), ByteBufferException);
    EXPECT_THROW(date.writeAt(buffer, -1), ByteBufferException);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(buffer.get(i), 0) << "byte " << i;
    }

    buffer.position(3);
    EXPECT_THROW(date.write(buffer), ByteBufferException);
    EXPECT_EQ(buffer.position(), 3);
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(buffer.get(i), 0) << "byte " << i;
    }

    Date target(1999, 9, 9);
    EXPECT_THROW(target.readAt(buffer, 4), ByteBufferException);
    EXPECT_THROW(target.read(buffer), ByteBufferException);
    EXPECT_EQ(buffer.position(), 3);
    EXPECT_EQ(target, Date(1999, 9, 9));
}
