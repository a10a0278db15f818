// Many producers and consumers on small queues: every record must arrive once,
// intact, and in the order its producer put it. Sizes are small enough to finish
// quickly and every wait is bounded, so a lost wake-up fails instead of hanging.

#include "base/thread/Thread.h"
#include "network/BlockingQueue.h"
#include "network/BlockingRecordQueue.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

constexpr auto Patience = std::chrono::seconds(120);

using ostrel::testing::eventually;

class FunctionThread : public Thread {
public:
    explicit FunctionThread(std::function<void()> body) : Thread("stress"), _body(std::move(body)) {}
    ~FunctionThread() override { join(); }
    void run() override { _body(); }

private:
    std::function<void()> _body;
};

struct Shape {
    int producers;
    int consumers;
};

// What one consumer saw: per producer, the last sequence number, to check order.
struct ConsumerLog {
    std::vector<std::int64_t> lastSequence;
    long received = 0;
    std::vector<std::string> faults;
};

// Record: producer (4 bytes), sequence (4 bytes), then a payload whose length and
// bytes follow from both, so a torn or shifted record is recognised.
std::size_t payloadLength(std::uint32_t producer, std::uint32_t sequence) {
    return (producer * 97u + sequence * 31u) % 300u + 1u;
}

std::uint8_t payloadByte(std::uint32_t producer, std::uint32_t sequence, std::size_t index) {
    return static_cast<std::uint8_t>(producer * 59u + sequence * 7u + index);
}

void checkRecord(const std::uint8_t* data, std::size_t length, ConsumerLog& log, bool strictOrder) {
    if (length < 8) {
        log.faults.push_back("short record of " + std::to_string(length) + " bytes");
        return;
    }
    std::uint32_t producer = 0;
    std::uint32_t sequence = 0;
    std::memcpy(&producer, data, 4);
    std::memcpy(&sequence, data + 4, 4);
    if (producer >= log.lastSequence.size()) {
        log.faults.push_back("unknown producer " + std::to_string(producer));
        return;
    }
    if (length != 8 + payloadLength(producer, sequence)) {
        log.faults.push_back("wrong length for " + std::to_string(producer) + "/" + std::to_string(sequence));
        return;
    }
    for (std::size_t i = 0; i < length - 8; ++i) {
        if (data[8 + i] != payloadByte(producer, sequence, i)) {
            log.faults.push_back("corrupt payload in " + std::to_string(producer) + "/" + std::to_string(sequence));
            return;
        }
    }
    std::int64_t& last = log.lastSequence[producer];
    const bool inOrder = strictOrder ? sequence == last + 1 : sequence > last;
    if (!inOrder) {
        log.faults.push_back("producer " + std::to_string(producer) + " sequence " + std::to_string(sequence) +
                             " after " + std::to_string(last));
    }
    last = sequence;
    ++log.received;
}

} // namespace

class RecordQueueStress : public ::testing::TestWithParam<Shape> {};

TEST_P(RecordQueueStress, EveryRecordArrivesIntactAndInProducerOrder) {
    const Shape shape = GetParam();
    constexpr std::uint32_t RecordsPerProducer = 4000;
    BlockingRecordQueue queue(1024); // small: producers block and records wrap often
    const long expected = static_cast<long>(shape.producers) * RecordsPerProducer;
    std::atomic<long> received{0};
    std::vector<ConsumerLog> logs(static_cast<std::size_t>(shape.consumers));
    std::vector<std::unique_ptr<FunctionThread>> threads;

    for (int c = 0; c < shape.consumers; ++c) {
        ConsumerLog& log = logs[static_cast<std::size_t>(c)];
        log.lastSequence.assign(static_cast<std::size_t>(shape.producers), -1);
        threads.push_back(std::make_unique<FunctionThread>([&queue, &log, &received, &shape] {
            std::vector<std::uint8_t> buffer(static_cast<std::size_t>(queue.largestRecord()));
            for (;;) {
                const std::size_t length = queue.take(buffer);
                if (length == 0) {
                    return; // closed
                }
                checkRecord(buffer.data(), length, log, shape.consumers == 1);
                ++received;
            }
        }));
    }
    for (int p = 0; p < shape.producers; ++p) {
        threads.push_back(std::make_unique<FunctionThread>([&queue, p] {
            const auto producer = static_cast<std::uint32_t>(p);
            std::vector<std::uint8_t> payload(300);
            for (std::uint32_t sequence = 0; sequence < RecordsPerProducer; ++sequence) {
                const std::size_t length = payloadLength(producer, sequence);
                for (std::size_t i = 0; i < length; ++i) {
                    payload[i] = payloadByte(producer, sequence, i);
                }
                if (!queue.put({{&producer, 4}, {&sequence, 4}, {payload.data(), length}})) {
                    return; // closed after a failure elsewhere
                }
            }
        }));
    }
    for (auto& thread : threads) {
        thread->start();
    }
    const bool complete = eventually([&] { return received.load() >= expected; }, Patience);
    queue.close(); // releases the consumers (and anyone stuck)
    for (auto& thread : threads) {
        thread->join();
    }
    ASSERT_TRUE(complete) << "only " << received.load() << " of " << expected << " records arrived";
    EXPECT_EQ(received.load(), expected);
    for (const ConsumerLog& log : logs) {
        EXPECT_TRUE(log.faults.empty()) << log.faults.size() << " faults, first: " << log.faults.front();
    }
    if (shape.consumers == 1) {
        for (std::int64_t last : logs[0].lastSequence) {
            EXPECT_EQ(last, static_cast<std::int64_t>(RecordsPerProducer) - 1);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, RecordQueueStress,
                         ::testing::Values(Shape{1, 1}, Shape{4, 1}, Shape{4, 3}, Shape{2, 4}),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                             return std::to_string(info.param.producers) + "Producers" +
                                    std::to_string(info.param.consumers) + "Consumers";
                         });

class ValueQueueStress : public ::testing::TestWithParam<Shape> {};

TEST_P(ValueQueueStress, EveryValueArrivesOnceAndInProducerOrder) {
    const Shape shape = GetParam();
    constexpr std::uint32_t ValuesPerProducer = 20000;
    BlockingQueue queue(7);
    const long expected = static_cast<long>(shape.producers) * ValuesPerProducer;
    std::atomic<long> received{0};
    std::vector<std::vector<std::int64_t>> last(static_cast<std::size_t>(shape.consumers));
    std::vector<std::vector<std::uint32_t>> counts(static_cast<std::size_t>(shape.consumers));
    std::vector<long> outOfOrder(static_cast<std::size_t>(shape.consumers), 0);
    std::vector<std::unique_ptr<FunctionThread>> threads;

    for (int c = 0; c < shape.consumers; ++c) {
        const auto index = static_cast<std::size_t>(c);
        last[index].assign(static_cast<std::size_t>(shape.producers), -1);
        counts[index].assign(static_cast<std::size_t>(shape.producers), 0);
        threads.push_back(std::make_unique<FunctionThread>([&, index] {
            while (const auto value = queue.pop()) {
                const std::uint32_t producer = *value >> 24;
                const std::int64_t sequence = *value & 0xFFFFFF;
                if (producer >= last[index].size() || sequence <= last[index][producer]) {
                    ++outOfOrder[index];
                } else {
                    last[index][producer] = sequence;
                    ++counts[index][producer];
                }
                ++received;
            }
        }));
    }
    for (int p = 0; p < shape.producers; ++p) {
        threads.push_back(std::make_unique<FunctionThread>([&queue, p] {
            for (std::uint32_t sequence = 0; sequence < ValuesPerProducer; ++sequence) {
                if (!queue.push(static_cast<std::uint32_t>(p) << 24 | sequence)) {
                    return;
                }
            }
        }));
    }
    for (auto& thread : threads) {
        thread->start();
    }
    const bool complete = eventually([&] { return received.load() >= expected; }, Patience);
    queue.close();
    for (auto& thread : threads) {
        thread->join();
    }
    ASSERT_TRUE(complete) << "only " << received.load() << " of " << expected << " values arrived";
    EXPECT_EQ(received.load(), expected);
    for (std::size_t c = 0; c < outOfOrder.size(); ++c) {
        EXPECT_EQ(outOfOrder[c], 0) << "consumer " << c;
    }
    for (int p = 0; p < shape.producers; ++p) {
        std::uint64_t total = 0;
        for (const auto& perConsumer : counts) {
            total += perConsumer[static_cast<std::size_t>(p)];
        }
        EXPECT_EQ(total, ValuesPerProducer) << "producer " << p; // each value exactly once
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ValueQueueStress,
                         ::testing::Values(Shape{1, 1}, Shape{4, 1}, Shape{4, 3}, Shape{2, 4}),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                             return std::to_string(info.param.producers) + "Producers" +
                                    std::to_string(info.param.consumers) + "Consumers";
                         });
