#include "base/BitMask32.h"

#include <gtest/gtest.h>

#include <string>

using namespace ostrel;

TEST(BitMask32Test, TextShowsBit31First) {
    struct Case {
        uint32_t word;
        std::string text;
    };
    const Case cases[] = {
        {5, "0b" + std::string(29, '0') + "101"},
        {0, "0b" + std::string(32, '0')},
        {0xFFFFFFFF, "0b" + std::string(32, '1')},
        {0x80000000, "0b1" + std::string(31, '0')},
        {0x80000001, "0b1" + std::string(30, '0') + "1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BitMask32(c.word).toString(), c.text) << c.word;
    }
}

TEST(BitMask32Test, TestWrapsTheChannelNumber) {
    const BitMask32 mask(0x80000002);
    EXPECT_FALSE(mask.test(0));
    EXPECT_TRUE(mask.test(1));
    EXPECT_TRUE(mask.test(31));
    EXPECT_TRUE(mask.test(33));
    EXPECT_TRUE(mask.test(63));
    EXPECT_FALSE(mask.test(32));
    EXPECT_TRUE(mask.test(-1));  // -1 mod 32 as an unsigned number is 31
}

TEST(BitMask32Test, SetClearMergeAndAll) {
    BitMask32 mask;
    EXPECT_TRUE(mask.isEmpty());
    mask.set(3).set(35).set(0);
    EXPECT_EQ(mask.word(), 0x9u);
    mask.clear(0);
    EXPECT_EQ(mask.word(), 0x8u);
    mask.merge(BitMask32(0x80000001));
    EXPECT_EQ(mask.word(), 0x80000009u);
    EXPECT_EQ(BitMask32(0x10).all().word(), 0xFFFFFFFFu);
    for (int n = 0; n < 32; ++n) {
        EXPECT_TRUE(BitMask32().all().test(n)) << n;
        EXPECT_FALSE(BitMask32().test(n)) << n;
    }
}

TEST(BitMask32Test, ComparesWordsAsUnsignedNumbers) {
    const BitMask32 low(1), high(0x80000000);
    EXPECT_LT(low, high);
    EXPECT_TRUE(high.greaterThan(low));
    EXPECT_GE(high, high);
    EXPECT_LE(low, low);
    EXPECT_EQ(BitMask32(7), BitMask32(7));
    EXPECT_NE(BitMask32(7), BitMask32(6));
    EXPECT_TRUE(BitMask32(7).notEquals(BitMask32(6)));
    EXPECT_TRUE(low.lessOrEqual(high));
    EXPECT_FALSE(low.greaterOrEqual(high));
}
