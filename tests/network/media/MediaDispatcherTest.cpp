#include "base/ByteBuffer.h"
#include "base/Exception.h"
#include "base/thread/Thread.h"
#include "network/BlockingRecordQueue.h"
#include "network/RecordSizeException.h"
#include "network/media/MediaDispatcher.h"
#include "network/media/MediaDispatcherClient.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace ostrel;

namespace {

constexpr auto Patience = std::chrono::seconds(30);

// Remembers every record delivered to it as text, prefixed with its name.
class TextClient : public MediaDispatcherClient {
public:
    TextClient(std::string name, std::vector<std::string>& log, std::mutex& mutex, std::condition_variable& changed)
        : _name(std::move(name)), _log(log), _mutex(mutex), _changed(changed) {}

    void deliver(ByteBuffer& record) override {
        std::string text(record.remaining(), '\0');
        record.get(text.data(), 0, record.remaining());
        if (onDeliver) {
            onDeliver(text);
        }
        std::lock_guard<std::mutex> lock(_mutex);
        _log.push_back(_name + ":" + text);
        _changed.notify_all();
    }

    std::function<void(const std::string&)> onDeliver;

private:
    std::string _name;
    std::vector<std::string>& _log;
    std::mutex& _mutex;
    std::condition_variable& _changed;
};

class MediaDispatcherTest : public ::testing::Test {
protected:
    void SetUp() override { dispatcher.start(); }
    void TearDown() override {
        dispatcher.stop();
        dispatcher.join();
    }

    std::shared_ptr<BlockingRecordQueue> registerWithQueue(MediaDispatcherClient& client, int capacity = 4096) {
        auto queue = std::make_shared<BlockingRecordQueue>(capacity);
        dispatcher.registerClient(client, queue);
        return queue;
    }

    static bool postText(MediaDispatcher& dispatcher, MediaDispatcherClient& client, const std::string& text) {
        return dispatcher.post(client, {{text.data(), text.size()}});
    }

    // Waits (bounded) until the log holds `count` entries; returns a copy.
    std::vector<std::string> waitForLog(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, Patience, [&] { return log.size() >= count; });
        return log;
    }

    // Clients belong to the fixture, so they outlive the dispatcher's thread.
    TextClient& makeClient(const std::string& name) {
        clients.push_back(std::make_unique<TextClient>(name, log, mutex, changed));
        return *clients.back();
    }

    std::vector<std::string> log;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::unique_ptr<TextClient>> clients;
    // Hooks that hold the dispatcher's thread use these: they outlive the thread.
    std::atomic<bool> release{false};
    std::atomic<bool> holding{false};
    std::atomic<bool> readyFull{false};
    MediaDispatcher dispatcher;
};

// Runs a body on a thread of its own; the destructor joins it.
class Worker {
public:
    explicit Worker(std::function<void()> body) : _thread(std::move(body)) {}
    ~Worker() { _thread.join(); }

private:
    std::thread _thread;
};

using ostrel::testing::eventually;

TEST_F(MediaDispatcherTest, DeliversEachClientInOrderAndClientsInPostOrder) {
    TextClient& a = makeClient("a");
    TextClient& b = makeClient("b");
    registerWithQueue(a);
    registerWithQueue(b);
    ASSERT_TRUE(postText(dispatcher, a, "1"));
    ASSERT_TRUE(postText(dispatcher, b, "1"));
    ASSERT_TRUE(postText(dispatcher, a, "2"));
    ASSERT_TRUE(postText(dispatcher, b, "2"));
    ASSERT_TRUE(postText(dispatcher, a, "3"));
    EXPECT_EQ(waitForLog(5), (std::vector<std::string>{"a:1", "b:1", "a:2", "b:2", "a:3"}));
    EXPECT_EQ(dispatcher.deliveredCount(), 5u);
}

TEST_F(MediaDispatcherTest, ManyProducersKeepEachClientsOrder) {
    constexpr int PerClient = 2000;
    TextClient& a = makeClient("a");
    TextClient& b = makeClient("b");
    registerWithQueue(a, 256); // small queues: producers block on them
    registerWithQueue(b, 256);
    {
        Worker first([&] {
            for (int i = 0; i < PerClient; ++i) {
                postText(dispatcher, a, std::to_string(i));
            }
        });
        Worker second([&] {
            for (int i = 0; i < PerClient; ++i) {
                postText(dispatcher, b, std::to_string(i));
            }
        });
    }
    const auto delivered = waitForLog(2 * PerClient);
    ASSERT_EQ(delivered.size(), static_cast<std::size_t>(2 * PerClient));
    int nextA = 0;
    int nextB = 0;
    for (const auto& entry : delivered) {
        int& next = entry[0] == 'a' ? nextA : nextB;
        EXPECT_EQ(entry.substr(2), std::to_string(next));
        ++next;
    }
    EXPECT_EQ(nextA, PerClient);
    EXPECT_EQ(nextB, PerClient);
}

TEST_F(MediaDispatcherTest, ClearedRecordsAreNotDeliveredAndLaterOnesAre) {
    TextClient& a = makeClient("a");
    a.onDeliver = [&](const std::string& text) {
        if (text == "hold") {
            holding = true;
            while (!release) {
                Thread::sleep(1);
            }
        }
    };
    auto queue = registerWithQueue(a);
    ASSERT_TRUE(postText(dispatcher, a, "hold"));
    ASSERT_TRUE(eventually([&] { return holding.load(); }));
    ASSERT_TRUE(postText(dispatcher, a, "stale-1"));
    ASSERT_TRUE(postText(dispatcher, a, "stale-2"));
    queue->clear();
    ASSERT_TRUE(postText(dispatcher, a, "fresh"));
    release = true;
    const auto delivered = waitForLog(2);
    ASSERT_TRUE(eventually([&] { return dispatcher.pendingCount() == 0; }));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(log, (std::vector<std::string>{"a:hold", "a:fresh"}));
}

TEST_F(MediaDispatcherTest, ThrowingClientDoesNotStopTheThread) {
    TextClient& a = makeClient("a");
    a.onDeliver = [](const std::string& text) {
        if (text == "bad") {
            throw Exception("TestException", 1, std::string("client failure"));
        }
        if (text == "worse") {
            throw std::runtime_error("standard failure");
        }
    };
    registerWithQueue(a);
    ASSERT_TRUE(postText(dispatcher, a, "bad"));
    ASSERT_TRUE(postText(dispatcher, a, "worse"));
    ASSERT_TRUE(postText(dispatcher, a, "good"));
    EXPECT_EQ(waitForLog(1), (std::vector<std::string>{"a:good"}));
    EXPECT_TRUE(dispatcher.isRunning());
}

TEST_F(MediaDispatcherTest, LargestSessionRecordIsDeliveredWhole) {
    // A frame record: header fields in front of a payload of the session limit.
    std::vector<std::uint8_t> record(MediaDispatcher::SessionPayloadLimit + 92);
    for (std::size_t i = 0; i < record.size(); ++i) {
        record[i] = static_cast<std::uint8_t>(i * 31 + 7);
    }
    std::vector<std::uint8_t> received;
    TextClient& a = makeClient("a");
    registerWithQueue(a, static_cast<int>(record.size()) + RecordRing::LengthSize);
    a.onDeliver = [&](const std::string& text) { received.assign(text.begin(), text.end()); };
    ASSERT_TRUE(dispatcher.post(a, {{record.data(), record.size()}}));
    ASSERT_EQ(waitForLog(1).size(), 1u);
    EXPECT_TRUE(received == record);
}

TEST_F(MediaDispatcherTest, RecordBeyondTheDeliveryBufferIsStillDelivered) {
    std::vector<std::uint8_t> record(MediaDispatcher::DeliveryBufferSize + 1000, 0xA5);
    record.back() = 0x5A;
    std::vector<std::uint8_t> received;
    TextClient& a = makeClient("a");
    registerWithQueue(a, static_cast<int>(record.size()) * 2);
    a.onDeliver = [&](const std::string& text) { received.assign(text.begin(), text.end()); };
    ASSERT_TRUE(dispatcher.post(a, {{record.data(), record.size()}}));
    ASSERT_TRUE(postText(dispatcher, a, "after"));
    ASSERT_EQ(waitForLog(2).size(), 2u);
    EXPECT_TRUE(received.size() == 5 || received == record);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(log.back(), "a:after");
}

TEST_F(MediaDispatcherTest, RecordThatCanNeverFitIsRefusedAtOnce) {
    TextClient& a = makeClient("a");
    registerWithQueue(a, 64);
    const std::string big(100, 'x');
    EXPECT_THROW(postText(dispatcher, a, big), RecordSizeException);
    ASSERT_TRUE(postText(dispatcher, a, "small"));
    EXPECT_EQ(waitForLog(1), (std::vector<std::string>{"a:small"}));
}

TEST_F(MediaDispatcherTest, StopReleasesProducerBlockedOnFullQueue) {
    TextClient& a = makeClient("a");
    a.onDeliver = [&](const std::string&) {
        holding = true;
        while (!release) {
            Thread::sleep(1);
        }
    };
    registerWithQueue(a, 64);
    ASSERT_TRUE(postText(dispatcher, a, "first")); // held in delivery
    ASSERT_TRUE(eventually([&] { return holding.load(); }));
    std::atomic<int> outcome{-1};
    {
        Worker producer([&] {
            bool all = true;
            for (int i = 0; i < 100 && all; ++i) {
                all = postText(dispatcher, a, std::string(20, 'y'));
            }
            outcome = all ? 1 : 0;
        });
        ASSERT_TRUE(eventually([&] { return dispatcher.pendingCount() >= 2; }));
        dispatcher.stop();
        release = true;
    }
    EXPECT_EQ(outcome.load(), 0);
    EXPECT_FALSE(postText(dispatcher, a, "late"));
}

TEST_F(MediaDispatcherTest, UnregisterReleasesProducerBlockedOnFullQueue) {
    TextClient& a = makeClient("a");
    TextClient& b = makeClient("b");
    b.onDeliver = [&](const std::string&) {
        holding = true;
        while (!release) {
            Thread::sleep(1);
        }
    };
    registerWithQueue(a, 64);
    registerWithQueue(b);
    ASSERT_TRUE(postText(dispatcher, b, "hold")); // keeps the thread busy
    ASSERT_TRUE(eventually([&] { return holding.load(); }));
    std::atomic<int> outcome{-1};
    {
        Worker producer([&] {
            bool all = true;
            for (int i = 0; i < 100 && all; ++i) {
                all = postText(dispatcher, a, std::string(20, 'y'));
            }
            outcome = all ? 1 : 0;
        });
        ASSERT_TRUE(eventually([&] { return dispatcher.pendingCount() >= 2; }));
        release = true; // unregistering waits for the delivery in progress
        dispatcher.unregisterClient(a);
    }
    EXPECT_EQ(outcome.load(), 0);
    EXPECT_FALSE(dispatcher.isRegistered(a));
    EXPECT_FALSE(postText(dispatcher, a, "late"));
}

// 20 bytes: only two fit a 64-byte queue.
std::string numbered(int i) {
    std::string text = "n" + std::to_string(i);
    text.resize(20, '.');
    return text;
}

TEST_F(MediaDispatcherTest, PostFromTheDispatcherThreadNeverWaits) {
    TextClient& a = makeClient("a");
    std::atomic<int> refused{0};
    std::atomic<int> accepted{0};
    auto queue = registerWithQueue(a, 64);
    a.onDeliver = [&](const std::string& text) {
        if (text != "go") {
            return;
        }
        // From the delivering thread: the queue fills up; the rest is refused
        // instead of waiting for this very thread.
        for (int i = 0; i < 10; ++i) {
            if (postText(dispatcher, a, numbered(i))) {
                ++accepted;
            } else {
                ++refused;
            }
        }
    };
    ASSERT_TRUE(postText(dispatcher, a, "go"));
    ASSERT_TRUE(eventually([&] { return accepted + refused == 10; }));
    EXPECT_GT(accepted.load(), 0);
    EXPECT_GT(refused.load(), 0);
    const auto delivered = waitForLog(1 + static_cast<std::size_t>(accepted.load()));
    ASSERT_EQ(delivered.size(), 1u + static_cast<std::size_t>(accepted.load()));
    for (int i = 0; i < accepted; ++i) {
        EXPECT_EQ(delivered[static_cast<std::size_t>(i) + 1], "a:" + numbered(i));
    }
}

TEST_F(MediaDispatcherTest, PostFromTheDispatcherThreadWithAFullReadyQueueIsStillDelivered) {
    TextClient& a = makeClient("a");
    TextClient& b = makeClient("b");
    std::atomic<int> posted{-1};
    a.onDeliver = [&](const std::string& text) {
        if (text == "go") {
            while (!readyFull) {
                Thread::sleep(1);
            }
            posted = postText(dispatcher, a, "from-inside") ? 1 : 0;
        }
    };
    registerWithQueue(a);
    registerWithQueue(b, 1 << 20);
    ASSERT_TRUE(postText(dispatcher, a, "go"));
    ASSERT_TRUE(eventually([&] { return dispatcher.pendingCount() == 0; }));
    for (std::size_t i = 0; i < MediaDispatcher::ReadyQueueCapacity; ++i) {
        ASSERT_TRUE(postText(dispatcher, b, "x"));
    }
    readyFull = true;
    const auto delivered = waitForLog(2 + MediaDispatcher::ReadyQueueCapacity);
    EXPECT_EQ(posted.load(), 1);
    ASSERT_EQ(delivered.size(), 2 + MediaDispatcher::ReadyQueueCapacity);
    EXPECT_NE(std::find(delivered.begin(), delivered.end(), "a:from-inside"), delivered.end());
}

TEST_F(MediaDispatcherTest, TryPostRefusesWhenFullWithoutWaitingAndDeliversWhatItTook) {
    TextClient& a = makeClient("a");
    a.onDeliver = [&](const std::string& text) {
        if (text == "hold") {
            holding = true;
            while (!release) {
                Thread::sleep(1);
            }
        }
    };
    registerWithQueue(a, 64);
    ASSERT_TRUE(postText(dispatcher, a, "hold"));
    ASSERT_TRUE(eventually([&] { return holding.load(); }));
    const std::string first = numbered(1);
    const std::string second = numbered(2);
    const std::string third = numbered(3);
    EXPECT_TRUE(dispatcher.tryPost(a, {{first.data(), first.size()}}));
    EXPECT_TRUE(dispatcher.tryPost(a, {{second.data(), second.size()}}));
    EXPECT_FALSE(dispatcher.tryPost(a, {{third.data(), third.size()}})); // full: refused at once
    release = true;
    EXPECT_EQ(waitForLog(3), (std::vector<std::string>{"a:hold", "a:" + first, "a:" + second}));
}

TEST_F(MediaDispatcherTest, UnregisteredClientAndStoppedDispatcherRefusePosts) {
    TextClient& a = makeClient("a");
    EXPECT_FALSE(postText(dispatcher, a, "x"));
    dispatcher.stop();
    dispatcher.join();
    auto queue = registerWithQueue(a);
    EXPECT_TRUE(queue->isClosed());
    EXPECT_FALSE(postText(dispatcher, a, "x"));
    EXPECT_THROW(dispatcher.start(), Exception);
}

TEST_F(MediaDispatcherTest, RegisteringTwiceKeepsTheFirstQueue) {
    TextClient& a = makeClient("a");
    auto first = registerWithQueue(a);
    auto second = std::make_shared<BlockingRecordQueue>(4096);
    dispatcher.registerClient(a, second);
    ASSERT_TRUE(postText(dispatcher, a, "x"));
    EXPECT_EQ(waitForLog(1), (std::vector<std::string>{"a:x"}));
    EXPECT_EQ(second->count(), 0);
    dispatcher.unregisterClient(a);
    EXPECT_TRUE(first->isClosed());
}

} // namespace
