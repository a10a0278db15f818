#include "base/ByteBuffer.h"
#include "base/ByteBufferException.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace ostrel {
namespace {

// Runs `operation` and returns the ByteBufferException code it raised, or -1.
int codeOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const ByteBufferException& e) {
        return e.code();
    }
    return -1;
}

std::vector<uint8_t> written(const ByteBuffer& buffer) {
    ByteBuffer view(const_cast<uint8_t*>(buffer.array() - buffer.position()), buffer.position());
    return std::vector<uint8_t>(view.array(), view.array() + view.capacity());
}

TEST(ByteBufferTest, NewBufferTakesHostOrderAndFullLimit) {
    ByteBuffer buffer(16);
    EXPECT_EQ(buffer.order(), ByteBuffer::hostOrder());
    EXPECT_EQ(buffer.capacity(), 16);
    EXPECT_EQ(buffer.limit(), 16);
    EXPECT_EQ(buffer.position(), 0);
    EXPECT_FALSE(buffer.isWrapped());
    ByteBuffer empty;
    EXPECT_EQ(empty.capacity(), 0);
    EXPECT_EQ(codeOf([&] { empty.put(uint8_t{1}); }), ByteBufferException::Overflow);
}

TEST(ByteBufferTest, BigEndianScalarsAreWrittenMostSignificantFirst) {
    ByteBuffer buffer(15);
    buffer.order(BigEndian);
    buffer.put(uint8_t{0xAB});
    buffer.putShort(0x0617);
    buffer.putInt(0x01020304);
    buffer.putLong(0x1112131415161718ULL);
    EXPECT_EQ(written(buffer), (std::vector<uint8_t>{0xAB, 0x06, 0x17, 0x01, 0x02, 0x03, 0x04, 0x11, 0x12, 0x13,
                                                     0x14, 0x15, 0x16, 0x17, 0x18}));
    buffer.flip();
    EXPECT_EQ(buffer.get(), 0xAB);
    EXPECT_EQ(buffer.getShort(), 0x0617);
    EXPECT_EQ(buffer.getInt(), 0x01020304u);
    EXPECT_EQ(buffer.getLong(), 0x1112131415161718ULL);
    EXPECT_EQ(buffer.remaining(), 0);
}

TEST(ByteBufferTest, LittleEndianScalarsAreWrittenLeastSignificantFirst) {
    ByteBuffer buffer(6);
    buffer.order(LittleEndian);
    buffer.putShort(0x0617);
    buffer.putInt(0x01020304);
    EXPECT_EQ(written(buffer), (std::vector<uint8_t>{0x17, 0x06, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(buffer.getShort(0), 0x0617);
    EXPECT_EQ(buffer.getInt(2), 0x01020304u);
}

TEST(ByteBufferTest, BooleansAreFFOrZeroAndAnyNonZeroReadsTrue) {
    ByteBuffer buffer(4);
    buffer.putBool(true);
    buffer.putBool(false);
    buffer.put(uint8_t{0x01});
    buffer.put(uint8_t{0x80});
    EXPECT_EQ(written(buffer), (std::vector<uint8_t>{0xFF, 0x00, 0x01, 0x80}));
    buffer.flip();
    EXPECT_TRUE(buffer.getBool());
    EXPECT_FALSE(buffer.getBool());
    EXPECT_TRUE(buffer.getBool());
    EXPECT_TRUE(buffer.getBool());
}

TEST(ByteBufferTest, StringIsCountCharactersAndTerminator) {
    ByteBuffer buffer(16);
    buffer.order(BigEndian);
    buffer.putString("md5");
    EXPECT_EQ(written(buffer), (std::vector<uint8_t>{0x00, 0x03, 0x6D, 0x64, 0x35, 0x00}));
    buffer.putString(std::string_view(""));
    buffer.flip();
    EXPECT_STREQ(buffer.getString(), "md5");
    EXPECT_STREQ(buffer.getString(), "");
    EXPECT_EQ(buffer.remaining(), 0);
}

TEST(ByteBufferTest, StringIntoFieldIsCutAndAlwaysTerminated) {
    ByteBuffer buffer(32);
    buffer.putString("abcdefgh");
    buffer.putString("xy");
    buffer.flip();
    char field[4];
    std::memset(field, 'Z', sizeof field);
    buffer.getString(field, sizeof field);
    EXPECT_STREQ(field, "abc");
    EXPECT_EQ(buffer.position(), 11) << "the whole string is consumed";
    char wide[16];
    buffer.getString(wide, sizeof wide);
    EXPECT_STREQ(wide, "xy");
}

TEST(ByteBufferTest, MalformedOrTruncatedStringsFailWithoutMoving) {
    struct Case {
        std::vector<uint8_t> bytes;
        int code;
    };
    const std::vector<Case> cases = {
        {{0x00}, ByteBufferException::Underflow},                          // half a count
        {{0x00, 0x03, 'a', 'b', 'c'}, ByteBufferException::Underflow},      // no terminator
        {{0x00, 0x03, 'a', 'b'}, ByteBufferException::Underflow},           // short characters
        {{0x00, 0x02, 'a', 'b', 'c'}, ByteBufferException::IllegalArgument}, // terminator not 0
        {{0xFF, 0xFF, 0x00}, ByteBufferException::Underflow},               // huge count
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = c.bytes;
        ByteBuffer buffer(bytes.data(), static_cast<int>(bytes.size()));
        buffer.order(BigEndian);
        EXPECT_EQ(codeOf([&] { buffer.getString(); }), c.code);
        EXPECT_EQ(buffer.position(), 0);
        char field[8];
        EXPECT_EQ(codeOf([&] { buffer.getString(field, sizeof field); }), c.code);
        EXPECT_EQ(buffer.position(), 0);
    }
}

TEST(ByteBufferTest, StringLongerThanACountCanSayIsRefused) {
    ByteBuffer buffer(70000);
    const std::string tooLong(65536, 'a');
    EXPECT_EQ(codeOf([&] { buffer.putString(tooLong); }), ByteBufferException::IllegalArgument);
    EXPECT_EQ(buffer.position(), 0);
    EXPECT_EQ(codeOf([&] { buffer.putString(static_cast<const char*>(nullptr)); }),
              ByteBufferException::IllegalArgument);
}

TEST(ByteBufferTest, FailedGetLeavesPositionUnchanged) {
    std::array<uint8_t, 5> bytes{1, 2, 3, 4, 5};
    ByteBuffer buffer(bytes.data(), 5);
    buffer.skip(2);
    EXPECT_EQ(codeOf([&] { buffer.getInt(); }), ByteBufferException::Underflow);
    EXPECT_EQ(buffer.position(), 2);
    EXPECT_EQ(codeOf([&] { buffer.getLong(); }), ByteBufferException::Underflow);
    EXPECT_EQ(codeOf([&] {
                  uint8_t out[4];
                  buffer.get(out, 0, 4);
              }),
              ByteBufferException::Underflow);
    EXPECT_EQ(buffer.position(), 2);
    EXPECT_EQ(buffer.getShort(), buffer.order() == BigEndian ? 0x0304 : 0x0403);
}

TEST(ByteBufferTest, FailedPutWritesNothing) {
    std::array<uint8_t, 4> bytes{9, 9, 9, 9};
    ByteBuffer buffer(bytes.data(), 4);
    buffer.put(uint8_t{1});
    const struct {
        const char* name;
        std::function<void()> put;
    } cases[] = {
        {"putInt", [&] { buffer.putInt(0); }},
        {"putLong", [&] { buffer.putLong(0); }},
        {"putString", [&] { buffer.putString("a"); }},
        {"bulk", [&] { buffer.put("abcd", 4); }},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(codeOf(c.put), ByteBufferException::Overflow) << c.name;
        EXPECT_EQ(buffer.position(), 1) << c.name;
    }
    EXPECT_EQ(bytes, (std::array<uint8_t, 4>{1, 9, 9, 9}));
}

TEST(ByteBufferTest, AbsoluteAccessIsBoundsCheckedAgainstTheLimit) {
    std::array<uint8_t, 8> guard{};
    ByteBuffer buffer(guard.data(), 0, 4);
    buffer.limit(4);
    const struct {
        const char* name;
        std::function<void()> op;
    } cases[] = {
        {"put -1", [&] { buffer.put(-1, uint8_t{1}); }},
        {"put 4", [&] { buffer.put(4, uint8_t{1}); }},
        {"putShort 3", [&] { buffer.putShort(3, 1); }},
        {"putInt 1", [&] { buffer.putInt(1, 1); }},
        {"get 4", [&] { (void)buffer.get(4); }},
        {"getShort -1", [&] { (void)buffer.getShort(-1); }},
        {"getInt 1", [&] { (void)buffer.getInt(1); }},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(codeOf(c.op), ByteBufferException::IndexOutOfRange) << c.name;
    }
    buffer.putInt(0, 0xFFFFFFFF);
    buffer.position(2);
    buffer.flip();
    EXPECT_EQ(codeOf([&] { (void)buffer.get(2); }), ByteBufferException::IndexOutOfRange) << "beyond limit 2";
    EXPECT_EQ(buffer.position(), 0);
    for (size_t i = 4; i < guard.size(); ++i) {
        EXPECT_EQ(guard[i], 0) << "byte " << i << " outside the buffer";
    }
}

TEST(ByteBufferTest, AbsolutePutRestoresPosition) {
    ByteBuffer buffer(8);
    buffer.order(BigEndian);
    buffer.putInt(0);
    buffer.putShort(1, 0xBEEF);
    EXPECT_EQ(buffer.position(), 4);
    EXPECT_EQ(buffer.get(1), 0xBE);
    EXPECT_EQ(buffer.get(2), 0xEF);
}

TEST(ByteBufferTest, PositionLimitSkipFlipClear) {
    ByteBuffer buffer(10);
    EXPECT_EQ(codeOf([&] { buffer.position(11); }), ByteBufferException::IllegalArgument);
    EXPECT_EQ(codeOf([&] { buffer.position(-1); }), ByteBufferException::IllegalArgument);
    buffer.position(6);
    EXPECT_EQ(codeOf([&] { buffer.limit(5); }), ByteBufferException::IllegalArgument);
    EXPECT_EQ(codeOf([&] { buffer.limit(11); }), ByteBufferException::IllegalArgument);
    EXPECT_EQ(codeOf([&] { buffer.skip(5); }), ByteBufferException::IllegalArgument);
    EXPECT_EQ(codeOf([&] { buffer.skip(-7); }), ByteBufferException::IllegalArgument);
    EXPECT_EQ(buffer.position(), 6);
    buffer.skip(-2);
    EXPECT_EQ(buffer.position(), 4);
    buffer.flip();
    EXPECT_EQ(buffer.limit(), 4);
    EXPECT_EQ(buffer.position(), 0);
    EXPECT_EQ(buffer.remaining(), 4);
    buffer.clear();
    EXPECT_EQ(buffer.limit(), 10);
    EXPECT_EQ(buffer.array(), buffer.array() + buffer.position());
    buffer.position(3);
    buffer.position(0);
    EXPECT_EQ(codeOf([&] { buffer.order(static_cast<ByteOrder>(7)); }), ByteBufferException::IllegalArgument);
}

TEST(ByteBufferTest, ConstructionArguments) {
    uint8_t memory[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(codeOf([] { ByteBuffer b(-1); }), ByteBufferException::IllegalArgument);
    EXPECT_EQ(codeOf([&] { ByteBuffer b(memory, -1, 8); }), ByteBufferException::IndexOutOfRange);
    EXPECT_EQ(codeOf([&] { ByteBuffer b(memory, 0, -1); }), ByteBufferException::IndexOutOfRange);
    EXPECT_EQ(codeOf([&] { ByteBuffer b(memory, 8, 8); }), ByteBufferException::IndexOutOfRange);
    EXPECT_EQ(codeOf([&] { ByteBuffer b(memory, 9, 8); }), ByteBufferException::IndexOutOfRange);
    EXPECT_EQ(codeOf([&] { ByteBuffer b(memory, 3, 0); }), ByteBufferException::IndexOutOfRange);
    ByteBuffer wrapped(memory, 3, 8);
    EXPECT_TRUE(wrapped.isWrapped());
    EXPECT_EQ(wrapped.capacity(), 5);
    EXPECT_EQ(wrapped.get(), 3);
    EXPECT_EQ(*wrapped.array(), 4);
}

TEST(ByteBufferTest, BulkPutAndGet) {
    ByteBuffer buffer(8);
    const char text[] = "0123456789";
    buffer.put(text, 2, 3);
    buffer.put(text, 2);
    EXPECT_EQ(codeOf([&] { buffer.put(text, -1, 1); }), ByteBufferException::IndexOutOfRange);
    EXPECT_EQ(codeOf([&] { buffer.put(text, 0, -1); }), ByteBufferException::IndexOutOfRange);
    buffer.flip();
    char out[8] = {};
    EXPECT_EQ(codeOf([&] { buffer.get(out, -1, 1); }), ByteBufferException::IndexOutOfRange);
    buffer.get(out, 1, 5);
    EXPECT_EQ(std::string(out + 1, 5), "23401");
}

TEST(ByteBufferTest, PutOfAnotherBufferCopiesItsRemainingAndAdvancesOnlyThis) {
    ByteBuffer source(6);
    source.put("abcdef", 6);
    source.flip();
    source.skip(2);
    ByteBuffer target(8);
    target.put(uint8_t{'>'});
    target.put(source);
    EXPECT_EQ(target.position(), 5);
    EXPECT_EQ(source.position(), 2);
    EXPECT_EQ(target.get(4), 'f');
    ByteBuffer small(2);
    EXPECT_EQ(codeOf([&] { small.put(source); }), ByteBufferException::Overflow);
    EXPECT_EQ(codeOf([&] { target.put(target); }), ByteBufferException::IllegalArgument);
}

TEST(ByteBufferTest, MoveTransfersOwnership) {
    ByteBuffer first(4);
    first.putInt(42);
    ByteBuffer second(std::move(first));
    EXPECT_EQ(second.capacity(), 4);
    EXPECT_EQ(second.position(), 4);
    EXPECT_EQ(first.capacity(), 0); // NOLINT: moved-from is empty, not dangling
    EXPECT_EQ(codeOf([&] { first.put(uint8_t{1}); }), ByteBufferException::Overflow);
    ByteBuffer third;
    third = std::move(second);
    EXPECT_EQ(third.getInt(0), 42u);
}

TEST(ByteBufferTest, ExceptionBelongsToTheFamily) {
    try {
        ByteBuffer buffer(0);
        buffer.get();
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ(e.typeName(), "ByteBufferException");
        EXPECT_EQ(e.code(), ByteBufferException::Underflow);
        EXPECT_NE(e.toString().find("underflow"), std::string::npos);
    }
}

} // namespace
} // namespace ostrel
