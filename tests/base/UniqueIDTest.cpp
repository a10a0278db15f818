#include "base/Exception.h"
#include "base/UniqueID.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>

using namespace ostrel;

namespace {

UniqueID::Bytes bytesOf(std::initializer_list<uint8_t> list) {
    UniqueID::Bytes bytes{};
    std::copy(list.begin(), list.end(), bytes.begin());
    return bytes;
}

} // namespace

TEST(UniqueIDTest, TextGroupsAreTheFieldsOfTheMemoryLayout) {
    // The 32-bit and both 16-bit fields lie little-endian in memory; the last
    // eight bytes in their order.
    const UniqueID id(bytesOf({0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xAA, 0xBB, 0xCC,
                               0xDD, 0xEE, 0xFF}));
    EXPECT_EQ(id.toString(), "00112233-4455-6677-8899-aabbccddeeff");
    EXPECT_EQ(UniqueID("00112233-4455-6677-8899-aabbccddeeff"), id);
    EXPECT_EQ(UniqueID("00112233-4455-6677-8899-AABBCCDDEEFF").bytes(), id.bytes());
}

TEST(UniqueIDTest, TextRoundTrip) {
    const char* texts[] = {
        "00000000-0000-0000-0000-000000000000",
        "ffffffff-ffff-ffff-ffff-ffffffffffff",
        "d0e0446e-0c4d-4c36-96b1-4f6a6c73bdc3",
        "01234567-89ab-cdef-0123-456789abcdef",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        EXPECT_EQ(UniqueID(text).toString(), text);
        std::string upper(text);
        std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
        EXPECT_EQ(UniqueID(upper).toString(), text);
    }
    for (int i = 0; i < 100; ++i) {
        const UniqueID id;
        EXPECT_EQ(UniqueID(id.toString()), id);
    }
}

TEST(UniqueIDTest, MalformedTextsThrowWithAClearMessage) {
    using namespace std::string_literals;
    const std::string texts[] = {
        "",
        "00112233-4455-6677-8899-aabbccddeef",            // 35 characters
        "00112233-4455-6677-8899-aabbccddeeff0",          // 37 characters
        "{00112233-4455-6677-8899-aabbccddeeff}",
        "0011223344556677-8899-aabbccddeeff-0",           // dashes misplaced
        "00112233-4455-6677-8899_aabbccddeeff",
        "0011223-34455-6677-8899-aabbccddeeff",
        "00112233-4455-6677-8899-aabbccddeefg",
        "g0112233-4455-6677-8899-aabbccddeeff",
        "00112233-4455-6677-8899-aabbccddee f",
        "00112233-4455-6677-8899-aabbccdd\0eff"s,         // embedded terminator
        "00112233-4455-6677-8899-aabbccddee+f",
        "-0112233-4455-6677-8899-aabbccddeeff",
    };
    for (const auto& text : texts) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(UniqueID::parse(text).has_value());
        try {
            UniqueID id(text);
            ADD_FAILURE() << "parsed as " << id.toString();
        } catch (const Exception& e) {
            ASSERT_NE(e.message(), nullptr);
            EXPECT_NE(std::string(e.message()).find("Malformed UniqueID text"), std::string::npos) << e.message();
        }
    }
}

TEST(UniqueIDTest, ParsingNeverReadsPastTheText) {
    // A well-formed text cut one character short must fail, though the bytes
    // after the cut would complete it.
    const char full[] = "00112233-4455-6677-8899-aabbccddeeff";
    EXPECT_FALSE(UniqueID::parse(std::string_view(full, 35)).has_value());
    EXPECT_THROW(UniqueID(std::string_view(full, 35)), Exception);
    EXPECT_TRUE(UniqueID::parse(std::string_view(full, 36)).has_value());
}

TEST(UniqueIDTest, OrdersByMemoryBytesNotByFieldValue) {
    // As numbers (and as text) a > b; in memory a's first byte is 0x00 and b's 0x02.
    const UniqueID a("01000000-0000-0000-0000-000000000000");
    const UniqueID b("00000002-0000-0000-0000-000000000000");
    EXPECT_EQ(a.bytes()[0], 0x00);
    EXPECT_EQ(b.bytes()[0], 0x02);
    EXPECT_TRUE(a.lessThan(b));
    EXPECT_TRUE(b.greaterThan(a));
    EXPECT_LT(a, b);
    EXPECT_GT(b, a);
    EXPECT_LE(a, b);
    EXPECT_GE(b, a);
    EXPECT_NE(a, b);
    EXPECT_TRUE(a.notEquals(b));

    // Two that differ only in the first byte of the 32-bit field.
    const UniqueID c("000000ff-0000-0000-0000-000000000000"), d("00000001-0000-0000-0000-000000000000");
    EXPECT_GT(c, d);

    // The last byte decides only when all others are equal; bytes compare unsigned.
    const UniqueID e("00000000-0000-0000-0000-000000000080"), f("00000000-0000-0000-0000-00000000007f");
    EXPECT_GT(e, f);
    EXPECT_EQ(e, UniqueID(e));
    EXPECT_TRUE(e.lessOrEqual(e) && e.greaterOrEqual(e));
}

TEST(UniqueIDTest, NewIdentifiersAreRandomVersion4) {
    std::set<UniqueID> seen;
    for (int i = 0; i < 1000; ++i) {
        const UniqueID id;
        const std::string text = id.toString();
        ASSERT_EQ(text.size(), 36u);
        EXPECT_EQ(text[14], '4') << text;
        EXPECT_NE(std::string("89ab").find(text[19]), std::string::npos) << text;
        EXPECT_FALSE(id.isNil());
        EXPECT_TRUE(seen.insert(id).second) << "repeated " << text;
    }
    EXPECT_NE(UniqueID(), UniqueID());
}

TEST(UniqueIDTest, NilAndRawBytes) {
    const UniqueID nil = UniqueID::nil();
    EXPECT_TRUE(nil.isNil());
    EXPECT_EQ(nil.toString(), "00000000-0000-0000-0000-000000000000");
    EXPECT_LT(nil, UniqueID());

    const UniqueID id;
    uint8_t stored[UniqueID::Size];
    std::memcpy(stored, id.data(), UniqueID::Size);
    EXPECT_EQ(UniqueID::fromBytes(stored), id);
    EXPECT_EQ(UniqueID(id.bytes()), id);
}

TEST(UniqueIDTest, HashFollowsEquality) {
    std::unordered_set<UniqueID> ids;
    const UniqueID a("d0e0446e-0c4d-4c36-96b1-4f6a6c73bdc3");
    ids.insert(a);
    ids.insert(UniqueID("D0E0446E-0C4D-4C36-96B1-4F6A6C73BDC3"));
    ids.insert(UniqueID::nil());
    EXPECT_EQ(ids.size(), 2u);
    EXPECT_EQ(std::hash<UniqueID>{}(a), std::hash<UniqueID>{}(UniqueID(a.toString())));
}
