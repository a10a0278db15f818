#include "base/FormatableBuffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace ostrel;

TEST(FormatableBufferTest, TruncatesATooLongTextAndReportsFailure) {
    FormatableBuffer<17> buffer;
    EXPECT_FALSE(buffer.format("%s", "abcdefghijklmnopqrst"));  // 20 characters
    EXPECT_STREQ(buffer.c_str(), "abcdefghijklmnop");
    EXPECT_EQ(buffer.size(), 16u);
}

TEST(FormatableBufferTest, AppendToAFullBufferFailsAndChangesNothing) {
    FormatableBuffer<17> buffer;
    EXPECT_FALSE(buffer.format("%s", "abcdefghijklmnopqrst"));
    EXPECT_FALSE(buffer.append("%s", "x"));
    EXPECT_FALSE(buffer.append("%s", ""));
    EXPECT_STREQ(buffer.c_str(), "abcdefghijklmnop");
    EXPECT_EQ(buffer.size(), 16u);
}

TEST(FormatableBufferTest, ExactFitSucceedsThenNothingMoreFits) {
    FormatableBuffer<17> buffer;
    EXPECT_TRUE(buffer.format("%s", "abcdefghijklmnop"));  // 16 characters: one byte left for the terminator
    EXPECT_STREQ(buffer.c_str(), "abcdefghijklmnop");
    EXPECT_FALSE(buffer.append("%c", 'q'));
    EXPECT_STREQ(buffer.c_str(), "abcdefghijklmnop");
}

TEST(FormatableBufferTest, AppendsUntilTheTextIsCut) {
    FormatableBuffer<17> buffer;
    EXPECT_TRUE(buffer.format("%d", 12345));
    EXPECT_TRUE(buffer.append("-%s", "abc"));
    EXPECT_STREQ(buffer.c_str(), "12345-abc");
    EXPECT_FALSE(buffer.append("%s", "0123456789"));
    EXPECT_STREQ(buffer.c_str(), "12345-abc0123456");
    EXPECT_EQ(buffer.size(), 16u);
}

TEST(FormatableBufferTest, FormatStartsAgainAfterTruncation) {
    FormatableBuffer<17> buffer;
    EXPECT_FALSE(buffer.format("%s", "a text far longer than the buffer"));
    EXPECT_TRUE(buffer.format("%s", "short"));
    EXPECT_STREQ(buffer.c_str(), "short");
    EXPECT_TRUE(buffer.append("%s", "er"));
    EXPECT_STREQ(buffer.c_str(), "shorter");
}

TEST(FormatableBufferTest, SmallestBufferHoldsOneCharacter) {
    FormatableBuffer<2> buffer;
    EXPECT_STREQ(buffer.c_str(), "");
    EXPECT_TRUE(buffer.format("%c", 'x'));
    EXPECT_STREQ(buffer.c_str(), "x");
    EXPECT_FALSE(buffer.append("%c", 'y'));
    EXPECT_FALSE(buffer.format("%s", "yz"));
    EXPECT_STREQ(buffer.c_str(), "y");
}

TEST(FormatableBufferTest, CopiesTheTextAndItsLength) {
    FormatableBuffer<32> original;
    original.format("%s", "copied");
    FormatableBuffer<32> copy(original);
    original.format("%s", "changed");
    EXPECT_STREQ(copy.c_str(), "copied");
    EXPECT_TRUE(copy.append("%s", "!"));
    EXPECT_STREQ(copy.c_str(), "copied!");
    FormatableBuffer<32> assigned;
    assigned = original;
    EXPECT_EQ(assigned.str(), "changed");
}

TEST(FormatableBufferTest, TheTerminatorNeverLeavesTheArray) {
    // Used through the interface as the exception and log code do.
    FormatableBuffer<64> buffer;
    IFormatable& out = buffer;
    const std::string longText(1000, 'z');
    EXPECT_FALSE(out.format("%s", longText.c_str()));
    EXPECT_EQ(std::strlen(out.c_str()), 63u);
    EXPECT_EQ(buffer.str(), std::string(63, 'z'));
}
