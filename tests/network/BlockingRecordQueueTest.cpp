#include "base/thread/Thread.h"
#include "network/BlockingRecordQueue.h"
#include "network/RecordSizeException.h"

#include <gtest/gtest.h>

#include <atomic>
#include "support/TestThreads.h"

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace ostrel;
using ostrel::testing::eventually;
using ostrel::testing::FunctionThread;

namespace {

bool putText(BlockingRecordQueue& queue, const std::string& text) {
    return queue.put({{text.data(), text.size()}});
}

std::string takeText(BlockingRecordQueue& queue, std::uint32_t milliseconds = 10000) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(queue.largestRecord()));
    const std::size_t length = queue.take(buffer, milliseconds);
    return std::string(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
}

// A producer blocked on a full queue, observed from the test thread.
struct BlockedProducer {
    std::atomic<bool> done{false};
    std::atomic<bool> result{false};
    std::unique_ptr<FunctionThread> thread;

    BlockingRecordQueue& queue;

    BlockedProducer(BlockingRecordQueue& target, std::string text) : queue(target) {
        thread = std::make_unique<FunctionThread>([this, text] {
            result = putText(queue, text);
            done = true;
        });
        thread->start();
    }
    // A test that failed half-way leaves the producer blocked: closing releases it.
    ~BlockedProducer() {
        if (!done.load()) {
            queue.close();
        }
        thread->join();
    }
};

} // namespace

TEST(BlockingRecordQueueTest, RecordsComeOutInOrderAndWhole) {
    BlockingRecordQueue queue(256);
    const std::string header = "kind=0;";
    const std::string body = "frame bytes";
    ASSERT_TRUE(queue.put({{header.data(), header.size()}, {body.data(), body.size()}}));
    ASSERT_TRUE(putText(queue, "second"));
    EXPECT_EQ(queue.count(), 2);
    EXPECT_EQ(takeText(queue), "kind=0;frame bytes");
    EXPECT_EQ(takeText(queue), "second");
    EXPECT_TRUE(queue.isEmpty());
}

TEST(BlockingRecordQueueTest, TakeWithZeroMillisecondsOnEmptyReturnsZero) {
    BlockingRecordQueue queue(64);
    std::vector<std::uint8_t> buffer(64);
    EXPECT_EQ(queue.take(buffer, 0), 0u);
    EXPECT_EQ(queue.take(buffer, 5), 0u);
}

TEST(BlockingRecordQueueTest, TimedPutOnAFullQueueGivesUpWithoutStoring) {
    BlockingRecordQueue queue(16);
    ASSERT_TRUE(putText(queue, std::string(12, 'a')));
    const std::string more = "b";
    EXPECT_FALSE(queue.put({{more.data(), more.size()}}, 0));
    EXPECT_FALSE(queue.put({{more.data(), more.size()}}, 5));
    EXPECT_EQ(queue.count(), 1);
    EXPECT_EQ(takeText(queue), std::string(12, 'a'));
}

TEST(BlockingRecordQueueTest, ARecordThatCanNeverFitFailsAtOnce) {
    BlockingRecordQueue queue(16);
    ASSERT_TRUE(putText(queue, "x"));
    // Run on a helper so that a put waiting for room that never comes cannot hang
    // the test: closing the queue would release it.
    std::atomic<int> code{0};
    FunctionThread producer([&] {
        const std::string tooLarge(13, 'z');
        try {
            putText(queue, tooLarge);
        } catch (const RecordSizeException& e) {
            code = e.code();
        }
    });
    producer.start();
    const bool failed = eventually([&] { return code.load() != 0; });
    if (!failed) {
        queue.close();
    }
    producer.join();
    EXPECT_EQ(code.load(), RecordSizeException::TooLarge);
    EXPECT_EQ(queue.count(), 1);
}

TEST(BlockingRecordQueueTest, EmptyRecordsAreRefused) {
    BlockingRecordQueue queue(64);
    try {
        queue.put({});
        FAIL() << "an empty record would read back as 'nothing'";
    } catch (const RecordSizeException& e) {
        EXPECT_EQ(e.code(), RecordSizeException::EmptyRecord);
    }
    EXPECT_TRUE(queue.isEmpty());
}

TEST(BlockingRecordQueueTest, ABufferTooSmallLeavesTheRecordInPlace) {
    BlockingRecordQueue queue(128);
    ASSERT_TRUE(putText(queue, "a record of thirty-two bytes....")); // 32 bytes
    ASSERT_TRUE(putText(queue, "next"));
    std::vector<std::uint8_t> small(31);
    try {
        queue.take(small, 0);
        FAIL() << "the record does not fit the buffer";
    } catch (const RecordSizeException& e) {
        EXPECT_EQ(e.code(), RecordSizeException::BufferTooSmall);
        EXPECT_EQ(e.recordSize(), 32u);
    }
    EXPECT_EQ(queue.count(), 2);
    std::vector<std::uint8_t> exact(32);
    EXPECT_EQ(queue.take(exact, 0), 32u);
    EXPECT_EQ(std::string(exact.begin(), exact.end()), "a record of thirty-two bytes....");
    EXPECT_EQ(takeText(queue), "next");
}

TEST(BlockingRecordQueueTest, DiscardDropsTheHeadRecord) {
    BlockingRecordQueue queue(128);
    EXPECT_EQ(queue.discard(), 0u);
    ASSERT_TRUE(putText(queue, "oversized"));
    ASSERT_TRUE(putText(queue, "kept"));
    EXPECT_EQ(queue.discard(), 9u);
    EXPECT_EQ(takeText(queue), "kept");
}

TEST(BlockingRecordQueueTest, CloseWakesAProducerBlockedOnAFullQueue) {
    BlockingRecordQueue queue(16);
    ASSERT_TRUE(putText(queue, std::string(12, 'a')));
    BlockedProducer producer(queue, "late");
    Thread::sleep(20);
    EXPECT_FALSE(producer.done.load());
    queue.close();
    ASSERT_TRUE(eventually([&] { return producer.done.load(); }));
    EXPECT_FALSE(producer.result.load());
    EXPECT_TRUE(queue.isClosed());
}

TEST(BlockingRecordQueueTest, CloseWakesEveryBlockedProducerAndConsumer) {
    BlockingRecordQueue full(16);
    ASSERT_TRUE(putText(full, std::string(12, 'a')));
    BlockingRecordQueue empty(64);
    std::atomic<int> released{0};
    std::vector<std::unique_ptr<FunctionThread>> threads;
    for (int i = 0; i < 3; ++i) {
        threads.push_back(std::make_unique<FunctionThread>([&] {
            if (!putText(full, "p")) {
                ++released;
            }
        }));
        threads.push_back(std::make_unique<FunctionThread>([&] {
            std::vector<std::uint8_t> buffer(64);
            if (empty.take(buffer) == 0) {
                ++released;
            }
        }));
    }
    for (auto& thread : threads) {
        thread->start();
    }
    Thread::sleep(20);
    full.close();
    empty.close();
    ASSERT_TRUE(eventually([&] { return released.load() == 6; })) << released.load();
}

TEST(BlockingRecordQueueTest, AfterCloseEveryPutFailsAndEveryTakeReturnsZero) {
    BlockingRecordQueue queue(64);
    ASSERT_TRUE(putText(queue, "left behind"));
    queue.close();
    EXPECT_FALSE(putText(queue, "more"));
    std::vector<std::uint8_t> buffer(64);
    EXPECT_EQ(queue.take(buffer), 0u);
    EXPECT_EQ(queue.take(buffer, 0), 0u);
}

TEST(BlockingRecordQueueTest, ClearLetsABlockedProducerGoOn) {
    BlockingRecordQueue queue(16);
    ASSERT_TRUE(putText(queue, std::string(12, 'a')));
    BlockedProducer producer(queue, "fresh");
    Thread::sleep(20);
    EXPECT_FALSE(producer.done.load());
    queue.clear();
    ASSERT_TRUE(eventually([&] { return producer.done.load(); }));
    EXPECT_TRUE(producer.result.load());
    EXPECT_EQ(takeText(queue), "fresh");
}

TEST(BlockingRecordQueueTest, ASmallRecordIsNotHeldUpByALargerOneWaitingBesideIt) {
    // Room for a small record must reach the producer it fits, even when a producer
    // whose record still does not fit is waiting too.
    BlockingRecordQueue queue(64);
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(putText(queue, "123456")); // 6 x 10 bytes of 64
    }
    BlockedProducer large(queue, std::string(60, 'L'));
    BlockedProducer small(queue, "s");
    Thread::sleep(20);
    EXPECT_FALSE(small.done.load());
    EXPECT_EQ(takeText(queue), "123456");
    ASSERT_TRUE(eventually([&] { return small.done.load(); }));
    EXPECT_TRUE(small.result.load());
    EXPECT_FALSE(large.done.load());
    queue.close();
    ASSERT_TRUE(eventually([&] { return large.done.load(); }));
    EXPECT_FALSE(large.result.load());
}

TEST(BlockingRecordQueueTest, AQueueToldToReleaseFreesItsArrayWheneverItRunsEmpty) {
    BlockingRecordQueue queue(256);
    EXPECT_EQ(queue.allocatedBytes(), 0u);
    ASSERT_TRUE(putText(queue, "one"));
    ASSERT_TRUE(putText(queue, "two"));
    queue.setReleaseWhenEmpty(true);
    EXPECT_EQ(queue.allocatedBytes(), 256u) << "records still wait";
    EXPECT_EQ(takeText(queue), "one");
    EXPECT_EQ(queue.allocatedBytes(), 256u);
    EXPECT_EQ(takeText(queue), "two");
    EXPECT_EQ(queue.allocatedBytes(), 0u);
    // A put allocates again; clear() and discard() release like take().
    ASSERT_TRUE(putText(queue, "three"));
    EXPECT_EQ(queue.allocatedBytes(), 256u);
    queue.clear();
    EXPECT_EQ(queue.allocatedBytes(), 0u);
    ASSERT_TRUE(putText(queue, "four"));
    EXPECT_EQ(queue.discard(), 4u);
    EXPECT_EQ(queue.allocatedBytes(), 0u);
    // In use again: running empty keeps the array.
    queue.setReleaseWhenEmpty(false);
    ASSERT_TRUE(putText(queue, "five"));
    EXPECT_EQ(takeText(queue), "five");
    EXPECT_EQ(queue.allocatedBytes(), 256u);
    queue.setReleaseWhenEmpty(true);
    EXPECT_EQ(queue.allocatedBytes(), 0u);
}
