#include "network/RecordRing.h"
#include "network/RecordSizeException.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

std::vector<std::uint8_t> bytes(std::size_t length, std::uint8_t seed) {
    std::vector<std::uint8_t> data(length);
    for (std::size_t i = 0; i < length; ++i) {
        data[i] = static_cast<std::uint8_t>(seed + i * 13);
    }
    return data;
}

void put(RecordRing& ring, const std::vector<std::uint8_t>& data) { ring.put({{data.data(), data.size()}}); }

std::vector<std::uint8_t> head(const RecordRing& ring) {
    const auto record = ring.peek();
    return {record.begin(), record.end()};
}

int putCode(RecordRing& ring, std::size_t length) {
    const std::vector<std::uint8_t> data(length, 0xEE);
    try {
        put(ring, data);
    } catch (const RecordSizeException& e) {
        EXPECT_EQ(e.recordSize(), length);
        return e.code();
    }
    return 0;
}

} // namespace

TEST(RecordRingTest, ASixteenByteRingHoldsTwelveBytesThenNothingUntilConsumed) {
    RecordRing ring(16);
    EXPECT_TRUE(ring.isEmpty());
    EXPECT_EQ(ring.freeSpace(), 12);
    const auto first = bytes(12, 1);
    put(ring, first);
    EXPECT_EQ(ring.count(), 1);
    EXPECT_EQ(ring.freeSpace(), 0);
    EXPECT_FALSE(ring.canPut(1));
    EXPECT_EQ(putCode(ring, 1), RecordSizeException::NoRoom);
    EXPECT_EQ(head(ring), first);

    ring.consume();
    EXPECT_TRUE(ring.isEmpty());
    EXPECT_TRUE(ring.canPut(1));
    const auto second = bytes(1, 9);
    put(ring, second);
    EXPECT_EQ(head(ring), second);
}

TEST(RecordRingTest, AHundredByteRingWrapsARecordToTheFrontAndTheReaderFollows) {
    RecordRing ring(100);
    const auto a = bytes(36, 1);
    const auto b = bytes(36, 2);
    const auto c = bytes(30, 3);
    put(ring, a); // [0, 40)
    put(ring, b); // [40, 80)
    ring.consume();
    EXPECT_EQ(ring.readOffset(), 40);
    EXPECT_EQ(ring.writeOffset(), 80);
    EXPECT_EQ(ring.freeSpace(), 36); // max(20, 40) - 4

    put(ring, c); // 20 bytes left at the end are too few: it goes to offset 0
    EXPECT_EQ(ring.wrapEnd(), 80);
    EXPECT_EQ(ring.writeOffset(), 34);
    EXPECT_EQ(ring.freeSpace(), 2); // 40 - 34 - 4
    EXPECT_EQ(head(ring), b);

    ring.consume();
    EXPECT_EQ(ring.readOffset(), 0);
    EXPECT_EQ(ring.wrapEnd(), 100);
    EXPECT_EQ(head(ring), c);
    ring.consume();
    EXPECT_TRUE(ring.isEmpty());
    EXPECT_EQ(ring.writeOffset(), 0);
    EXPECT_EQ(ring.peek().data(), nullptr);
    EXPECT_EQ(ring.peek().size(), 0u);
}

TEST(RecordRingTest, PartsFormOneRecord) {
    RecordRing ring(64);
    const std::string header = "HEAD";
    const std::string body = "payload bytes";
    ring.put({{header.data(), header.size()}, {nullptr, 0}, {body.data(), body.size()}});
    const auto record = ring.peek();
    EXPECT_EQ(std::string(record.begin(), record.end()), "HEADpayload bytes");
    EXPECT_EQ(ring.count(), 1);
}

TEST(RecordRingTest, SizeLimits) {
    EXPECT_THROW(RecordRing(4), RecordSizeException);
    EXPECT_THROW(RecordRing(-1), RecordSizeException);

    RecordRing ring(32);
    EXPECT_EQ(ring.largestRecord(), 28);
    EXPECT_EQ(putCode(ring, 29), RecordSizeException::TooLarge);
    EXPECT_TRUE(ring.isEmpty());
    EXPECT_EQ(putCode(ring, 28), 0);
    EXPECT_EQ(ring.freeSpace(), 0);
}

TEST(RecordRingTest, AnEmptyRecordNeverOverwritesUnreadData) {
    // A gap of fewer than 4 bytes reports freeSpace() 0, yet an empty record still
    // needs its 4-byte length: storing it would overwrite the head record.
    struct Case {
        const char* what;
        int capacity;
        std::vector<std::size_t> records;
        int consumed;
        std::vector<std::size_t> refill; // put after consuming
        int readOffset;
        int writeOffset;
    };
    const std::vector<Case> cases = {
        {"3 bytes left at the end, reader at 0", 15, {8}, 0, {}, 0, 12},
        {"full ring, reader and writer both at 0", 16, {12}, 0, {}, 0, 0},
        {"full ring after a wrap", 24, {4, 4, 4}, 1, {4}, 8, 8},
        {"2 bytes between writer and reader", 30, {6, 6, 6}, 1, {4}, 10, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RecordRing ring(c.capacity);
        std::deque<std::vector<std::uint8_t>> expected;
        std::uint8_t seed = 1;
        for (std::size_t length : c.records) {
            expected.push_back(bytes(length, seed++));
            put(ring, expected.back());
        }
        for (int i = 0; i < c.consumed; ++i) {
            ring.consume();
            expected.pop_front();
        }
        for (std::size_t length : c.refill) {
            expected.push_back(bytes(length, seed++));
            put(ring, expected.back());
        }
        ASSERT_EQ(ring.readOffset(), c.readOffset);
        ASSERT_EQ(ring.writeOffset(), c.writeOffset);
        ASSERT_EQ(ring.freeSpace(), 0);
        EXPECT_FALSE(ring.canPut(0));
        EXPECT_EQ(putCode(ring, 0), RecordSizeException::NoRoom);
        while (!ring.isEmpty()) {
            ASSERT_FALSE(expected.empty());
            EXPECT_EQ(head(ring), expected.front());
            expected.pop_front();
            ring.consume();
        }
        EXPECT_TRUE(expected.empty());
    }
}

TEST(RecordRingTest, AnEmptyRecordFitsWhereItsLengthFits) {
    RecordRing ring(16);
    put(ring, bytes(8, 1)); // [0, 12): 4 bytes left at the end
    EXPECT_EQ(ring.freeSpace(), 0);
    EXPECT_TRUE(ring.canPut(0));
    ring.put({});
    EXPECT_EQ(ring.count(), 2);
    ring.consume();
    EXPECT_EQ(ring.peek().size(), 0u);
    EXPECT_NE(ring.peek().data(), nullptr);
    ring.consume();
    EXPECT_TRUE(ring.isEmpty());
}

TEST(RecordRingTest, ClearAndConsumeOnEmpty) {
    RecordRing ring(64);
    put(ring, bytes(10, 1));
    put(ring, bytes(20, 2));
    ring.clear();
    EXPECT_TRUE(ring.isEmpty());
    EXPECT_EQ(ring.count(), 0);
    EXPECT_EQ(ring.readOffset(), 0);
    EXPECT_EQ(ring.writeOffset(), 0);
    EXPECT_EQ(ring.wrapEnd(), 64);
    EXPECT_EQ(ring.freeSpace(), 60);
    ring.consume();
    EXPECT_TRUE(ring.isEmpty());
}

TEST(RecordRingTest, RandomTrafficKeepsEveryRecordIntactAndInOrder) {
    // A reference queue beside the ring: whatever the offsets do, the ring must hand
    // back exactly what was put, and freeSpace() must agree with what fits.
    for (int capacity : {5, 16, 37, 100, 257}) {
        SCOPED_TRACE(capacity);
        RecordRing ring(capacity);
        std::deque<std::vector<std::uint8_t>> expected;
        std::mt19937 random(static_cast<std::uint32_t>(capacity));
        std::uint8_t seed = 0;
        for (int operation = 0; operation < 20000; ++operation) {
            const std::size_t length = random() % static_cast<std::uint32_t>(capacity);
            for (std::size_t n = 1; n <= static_cast<std::size_t>(capacity); ++n) {
                ASSERT_EQ(ring.canPut(n), static_cast<int>(n) <= ring.freeSpace()) << n;
            }
            if (random() % 2 == 0 && ring.canPut(length)) {
                expected.push_back(bytes(length, seed++));
                put(ring, expected.back());
            } else if (!ring.isEmpty()) {
                ASSERT_EQ(head(ring), expected.front());
                expected.pop_front();
                ring.consume();
            }
            ASSERT_EQ(ring.count(), static_cast<int>(expected.size()));
        }
        while (!ring.isEmpty()) {
            ASSERT_EQ(head(ring), expected.front());
            expected.pop_front();
            ring.consume();
        }
    }
}

TEST(RecordRingTest, TheArrayComesWithTheFirstPutAndGoesWithRelease) {
    RecordRing ring(64);
    EXPECT_EQ(ring.allocatedBytes(), 0u);
    EXPECT_EQ(ring.freeSpace(), 60) << "an unallocated ring still offers its whole capacity";
    put(ring, bytes(10, 1));
    EXPECT_EQ(ring.allocatedBytes(), 64u);
    ring.consume();
    EXPECT_EQ(ring.allocatedBytes(), 64u) << "running empty keeps the array";
    put(ring, bytes(30, 2));
    ring.release();
    EXPECT_TRUE(ring.isEmpty());
    EXPECT_EQ(ring.allocatedBytes(), 0u);
    put(ring, bytes(60, 3));
    EXPECT_EQ(head(ring), bytes(60, 3));
}
