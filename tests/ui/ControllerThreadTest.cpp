#include "app/ui/ControllerThread.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using namespace ostrel;
using ostrel::testing::eventually;

namespace {
struct Recorder : MessageHandler {
    std::mutex mutex;
    std::vector<int> ids;
    std::vector<std::thread::id> threads;
    void handleMessage(const Message& message) override {
        std::lock_guard<std::mutex> lock(mutex);
        ids.push_back(message.id);
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<int> seen() {
        std::lock_guard<std::mutex> lock(mutex);
        return ids;
    }
};
} // namespace

TEST(ControllerThreadTest, PostedMessagesRunInOrderOnTheControllerThread) {
    Recorder recorder;
    ControllerThread controller(&recorder);
    controller.start();
    for (int id = 1; id <= 200; ++id) {
        ASSERT_TRUE(controller.post(Message{id, 0, 0}));
    }
    ASSERT_TRUE(eventually([&] { return recorder.seen().size() == 200; }));
    const auto ids = recorder.seen();
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(ids[i], i + 1);
    }
    std::lock_guard<std::mutex> lock(recorder.mutex);
    for (const auto& t : recorder.threads) {
        EXPECT_NE(t, std::this_thread::get_id());
        EXPECT_EQ(t, recorder.threads.front());
    }
}

TEST(ControllerThreadTest, SendWaitsForItsMessageAndRunsAfterWhatWasPostedBefore) {
    Recorder recorder;
    ControllerThread controller(&recorder);
    controller.start();
    controller.post(Message{1, 0, 0});
    controller.post(Message{2, 0, 0});
    ASSERT_TRUE(controller.send(Message{3, 0, 0}));
    // A sent message has run when send returns, after everything posted before it.
    EXPECT_EQ(recorder.seen(), (std::vector<int>{1, 2, 3}));
}

TEST(ControllerThreadTest, SendFromTheControllerThreadRunsAtOnceInsteadOfDeadlocking) {
    ControllerThread controller;
    controller.start();
    std::vector<int> order;
    ASSERT_TRUE(controller.send([&] {
        order.push_back(1);
        EXPECT_TRUE(controller.isCurrent());
        controller.send([&] { order.push_back(2); });
        order.push_back(3);
    }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(ControllerThreadTest, StopDrainsTheQueueThenRefusesNewWork) {
    ControllerThread controller;
    controller.start();
    std::atomic<int> ran{0};
    std::atomic<bool> release{false};
    controller.post([&] {
        while (!release) {
            std::this_thread::yield();
        }
        ++ran;
    });
    for (int i = 0; i < 50; ++i) {
        controller.post([&] { ++ran; });
    }
    std::thread stopper([&] { controller.stop(); });
    ASSERT_TRUE(eventually([&] { return !controller.isAccepting(); }));
    EXPECT_FALSE(controller.post([&] { ++ran; }));
    EXPECT_FALSE(controller.send([&] { ++ran; }));
    release = true;
    stopper.join();
    EXPECT_EQ(ran.load(), 51);
}

TEST(ControllerThreadTest, AFailingTaskDoesNotEndTheLoop) {
    ControllerThread controller;
    controller.start();
    controller.post([] { throw std::runtime_error("command failed"); });
    bool ran = false;
    ASSERT_TRUE(controller.send([&] { ran = true; }));
    EXPECT_TRUE(ran);
}

TEST(ControllerThreadTest, ManySendersFromManyThreadsAllRun) {
    ControllerThread controller;
    controller.start();
    int counter = 0; // only touched on the controller thread
    std::vector<std::thread> senders;
    for (int t = 0; t < 8; ++t) {
        senders.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                controller.send([&] { ++counter; });
            }
        });
    }
    for (auto& s : senders) {
        s.join();
    }
    controller.send([&] { EXPECT_EQ(counter, 800); });
}
