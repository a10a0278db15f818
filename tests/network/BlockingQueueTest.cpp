#include "base/Exception.h"
#include "base/thread/Thread.h"
#include "network/BlockingQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include "support/TestThreads.h"

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

using namespace ostrel;
using ostrel::testing::eventually;
using ostrel::testing::FunctionThread;


TEST(BlockingQueueTest, ValuesComeOutInOrderAcrossTheWrap) {
    BlockingQueue queue(3);
    EXPECT_EQ(queue.capacity(), 3u);
    std::uint32_t next = 100;
    std::uint32_t expected = 100;
    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(queue.push(next++));
        ASSERT_TRUE(queue.push(next++));
        EXPECT_EQ(queue.pop(0), expected++);
        EXPECT_EQ(queue.pop(0), expected++);
    }
    EXPECT_EQ(queue.size(), 0u);
}

TEST(BlockingQueueTest, TimedOperationsGiveUpOnFullAndEmpty) {
    BlockingQueue queue(1);
    EXPECT_EQ(queue.pop(0), std::nullopt);
    EXPECT_EQ(queue.pop(5), std::nullopt);
    ASSERT_TRUE(queue.push(7, 0));
    EXPECT_FALSE(queue.push(8, 0));
    EXPECT_FALSE(queue.push(8, 5));
    EXPECT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue.pop(), 7u);
}

TEST(BlockingQueueTest, ZeroCapacityIsRefused) { EXPECT_THROW(BlockingQueue(0), SystemException); }

TEST(BlockingQueueTest, CloseReleasesBlockedProducersAndConsumers) {
    BlockingQueue full(1);
    ASSERT_TRUE(full.push(1));
    BlockingQueue empty(4);
    std::atomic<int> released{0};
    std::vector<std::unique_ptr<FunctionThread>> threads;
    for (int i = 0; i < 3; ++i) {
        threads.push_back(std::make_unique<FunctionThread>([&] {
            if (!full.push(2)) {
                ++released;
            }
        }));
        threads.push_back(std::make_unique<FunctionThread>([&] {
            if (!empty.pop()) {
                ++released;
            }
        }));
    }
    for (auto& thread : threads) {
        thread->start();
    }
    Thread::sleep(20);
    EXPECT_EQ(released.load(), 0);
    full.close();
    empty.close();
    ASSERT_TRUE(eventually([&] { return released.load() == 6; })) << released.load();
    EXPECT_FALSE(full.push(3));
    EXPECT_EQ(full.pop(), std::nullopt);
    EXPECT_TRUE(full.isClosed());
}

TEST(BlockingQueueTest, APopLetsABlockedPushGoOn) {
    BlockingQueue queue(2);
    ASSERT_TRUE(queue.push(1));
    ASSERT_TRUE(queue.push(2));
    std::atomic<bool> pushed{false};
    FunctionThread producer([&] { pushed = queue.push(3); });
    producer.start();
    Thread::sleep(20);
    EXPECT_FALSE(pushed.load());
    EXPECT_EQ(queue.pop(), 1u);
    ASSERT_TRUE(eventually([&] { return pushed.load(); }));
    EXPECT_EQ(queue.pop(), 2u);
    EXPECT_EQ(queue.pop(), 3u);
}
