#include "base/ByteBuffer.h"
#include "base/FourCharacterCode.h"

#include <gtest/gtest.h>

#include <vector>

using namespace ostrel;

namespace {

// A code family as the storage layers build them: named constants and a default.
class SampleCode : public FourCharacterCode<SampleCode> {
public:
    using FourCharacterCode::FourCharacterCode;
    SampleCode() : FourCharacterCode('N', 'U', 'L', 'L') {}
};

class OtherCode : public FourCharacterCode<OtherCode> {
public:
    using FourCharacterCode::FourCharacterCode;
    OtherCode() = default;
};

} // namespace

TEST(FourCharacterCodeTest, TextAndBytes) {
    EXPECT_EQ(SampleCode("TIML").toString(), "TIML");
    EXPECT_EQ(SampleCode('L', 'O', 'G', ' ').toString(), "LOG ");
    EXPECT_EQ(SampleCode().toString(), "NULL");
    const SampleCode bad('B', 'A', 'D', '\0');
    EXPECT_EQ(bad.bytes()[3], 0);
    EXPECT_EQ(bad.toString().substr(0, 3), "BAD");
    const OtherCode unset;
    for (uint8_t b : unset.bytes()) {
        EXPECT_EQ(b, 0);
    }
}

TEST(FourCharacterCodeTest, ComparesByteByByteUnsigned) {
    const std::vector<SampleCode> ordered = {
        SampleCode('\0', '\0', '\0', '\0'), SampleCode("ABCD"), SampleCode("ABCE"), SampleCode("ABDA"),
        SampleCode("BAAA"), SampleCode('\xFF', 'A', 'A', 'A'),
    };
    for (std::size_t i = 0; i < ordered.size(); ++i) {
        for (std::size_t j = 0; j < ordered.size(); ++j) {
            EXPECT_EQ(ordered[i] == ordered[j], i == j) << i << " " << j;
            EXPECT_EQ(ordered[i].notEquals(ordered[j]), i != j) << i << " " << j;
            EXPECT_EQ(ordered[i] < ordered[j], i < j) << i << " " << j;
            EXPECT_EQ(ordered[i] > ordered[j], i > j) << i << " " << j;
            EXPECT_EQ(ordered[i] <= ordered[j], i <= j) << i << " " << j;
            EXPECT_EQ(ordered[i] >= ordered[j], i >= j) << i << " " << j;
        }
    }
}

TEST(FourCharacterCodeTest, SerializesTheBytesInOrderWhateverTheByteOrder) {
    const SampleCode code("TIML");
    for (ByteOrder order : {BigEndian, LittleEndian}) {
        ByteBuffer buffer(8);
        buffer.order(order);
        code.write(buffer);
        code.writeAt(buffer, 4);
        EXPECT_EQ(buffer.position(), 4);
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(buffer.get(i), static_cast<uint8_t>("TIML"[i % 4])) << "byte " << i;
        }
        SampleCode readBack;
        readBack.readAt(buffer, 4);
        EXPECT_EQ(readBack, code);
        buffer.position(0);
        SampleCode readRelative;
        readRelative.read(buffer);
        EXPECT_EQ(readRelative, code);
        EXPECT_EQ(buffer.position(), 4);
    }
}
