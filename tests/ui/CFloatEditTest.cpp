#include "app/ui/CFloatEdit.h"

#include <gtest/gtest.h>

using namespace ostrel;

namespace {

struct FilterCase {
    const char* text;
    std::size_t start;
    std::size_t end;
    char typed;
    bool accepted;
};

class CFloatEditFilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(CFloatEditFilterTest, Accepts) {
    const FilterCase& c = GetParam();
    EXPECT_EQ(CFloatEdit::accepts(c.text, c.start, c.end, c.typed), c.accepted)
        << "\"" << c.text << "\" [" << c.start << "," << c.end << ") + '" << c.typed << "'";
}

INSTANTIATE_TEST_SUITE_P(
    TypingRule, CFloatEditFilterTest,
    ::testing::Values(
        // Two decimals and the caret at the end: no third decimal.
        FilterCase{"4.25", 4, 4, '7', false},
        // The caret in the whole-number part: more than two characters follow it.
        FilterCase{"4.25", 1, 1, '7', true}, FilterCase{"4.25", 0, 0, '1', true},
        // Right after the dot only two characters follow: refused.
        FilterCase{"4.25", 2, 2, '7', false},
        // One decimal: a second one is fine.
        FilterCase{"4.2", 3, 3, '5', true},
        // A selected decimal is replaced: the text without it has one decimal.
        FilterCase{"4.25", 3, 4, '9', true},
        // A second dot never, unless the selection removes the first.
        FilterCase{"4.2", 3, 3, '.', false}, FilterCase{"4.2", 1, 2, '.', true}, FilterCase{"42", 2, 2, '.', true},
        FilterCase{"", 0, 0, '.', true},
        // Backspace always; letters, signs, blanks and control characters never.
        FilterCase{"4.25", 4, 4, CFloatEdit::Backspace, true}, FilterCase{"4", 1, 1, 'e', false},
        FilterCase{"4", 1, 1, '-', false}, FilterCase{"4", 1, 1, ' ', false}, FilterCase{"4", 1, 1, '\x16', false},
        FilterCase{"4", 1, 1, ',', false},
        // A reversed selection counts as the same range.
        FilterCase{"4.25", 4, 3, '9', true}));

TEST(CFloatEditTest, TypingThroughTheFilterKeepsTwoDecimals) {
    CFloatEdit field;
    for (char c : std::string("12.345")) {
        field.type(c);
    }
    EXPECT_EQ(field.text(), "12.34");
    field.select(1, 1);
    EXPECT_TRUE(field.type('0'));
    EXPECT_EQ(field.text(), "102.34");
    EXPECT_FALSE(field.type('.'));
    field.select(6, 6);
    EXPECT_TRUE(field.type(CFloatEdit::Backspace));
    EXPECT_EQ(field.text(), "102.3");
    field.selectAll();
    EXPECT_TRUE(field.type('8'));
    EXPECT_EQ(field.text(), "8");
}

struct ParseCase {
    const char* text;
    CFloatEdit::Result result;
    uint64_t bytes;
};

class CFloatEditParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(CFloatEditParseTest, Parses) {
    const ParseCase& c = GetParam();
    const CFloatEdit::Parsed parsed = CFloatEdit::parse(c.text);
    EXPECT_EQ(parsed.result, c.result) << c.text;
    if (c.result == CFloatEdit::Result::Valid) {
        EXPECT_EQ(parsed.bytes, c.bytes) << c.text;
        EXPECT_EQ(parsed.bytes % CFloatEdit::SizeBlock, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    GigabytesToBytes, CFloatEditParseTest,
    ::testing::Values(
        // 1908 and 954 blocks of 524,288 bytes.
        ParseCase{"1", CFloatEdit::Result::Valid, 1000341504ULL}, ParseCase{"1.0", CFloatEdit::Result::Valid, 1000341504ULL},
        ParseCase{"0.5", CFloatEdit::Result::Valid, 500170752ULL},
        // Rounded to 500,170,752 as well: this is what lets 0.4997 GB through the 0.5 GB test.
        ParseCase{"0.4997", CFloatEdit::Result::Valid, 500170752ULL},
        ParseCase{"4", CFloatEdit::Result::Valid, 4000317440ULL},
        // A whole block is added even to an exact multiple; a trailing dot is a number.
        ParseCase{"0.000524288", CFloatEdit::Result::Valid, 1048576ULL}, ParseCase{"4.", CFloatEdit::Result::Valid, 4000317440ULL},
        // Decimals past the ninth (below a byte) are truncated.
        ParseCase{"0.0000000019", CFloatEdit::Result::Valid, 524288ULL},
        // Not [0-9]+(\.[0-9]*)?.
        ParseCase{"", CFloatEdit::Result::NotDecimal, 0}, ParseCase{".5", CFloatEdit::Result::NotDecimal, 0},
        ParseCase{"-1", CFloatEdit::Result::NotDecimal, 0}, ParseCase{"1e3", CFloatEdit::Result::NotDecimal, 0},
        ParseCase{" 4", CFloatEdit::Result::NotDecimal, 0}, ParseCase{"4.2.1", CFloatEdit::Result::NotDecimal, 0},
        ParseCase{"nan", CFloatEdit::Result::NotDecimal, 0}, ParseCase{"0x10", CFloatEdit::Result::NotDecimal, 0},
        // Beyond any file size, without wrapping round.
        ParseCase{"9223372036", CFloatEdit::Result::Valid, 9223372036000186368ULL},
        ParseCase{"9223372037", CFloatEdit::Result::TooLarge, 0},
        ParseCase{"18446744073.709551616", CFloatEdit::Result::TooLarge, 0},
        ParseCase{"99999999999999999999999999", CFloatEdit::Result::TooLarge, 0}));

} // namespace
