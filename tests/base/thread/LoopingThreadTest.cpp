#include "base/thread/LoopingThread.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

using namespace ostrel;

namespace {

// Polls a predicate for at most ten seconds; every wait in these tests is bounded.
using ostrel::testing::eventually;

class CountingLoop : public LoopingThread {
public:
    CountingLoop() : LoopingThread("counter") {}
    ~CountingLoop() override {
        stop();
        join();
    }

    std::atomic<int> starts{0};
    std::atomic<int> steps{0};
    std::atomic<int> stops{0};
    std::atomic<int> stepsSeenAtStop{-1};
    std::function<void(CountingLoop&)> onStep;

protected:
    void onStart() override { ++starts; }
    void step() override {
        ++steps;
        if (onStep) {
            onStep(*this);
        }
        Thread::yield();
    }
    void onStop() override {
        stepsSeenAtStop = steps.load();
        ++stops;
    }
};

} // namespace

TEST(LoopingThreadTest, StepsUntilStoppedThenCallsOnStopOnce) {
    CountingLoop loop;
    EXPECT_EQ(loop.state(), LoopingThread::State::NotRunning);
    loop.start();
    ASSERT_TRUE(eventually([&] { return loop.steps.load() >= 3; }));
    EXPECT_EQ(loop.state(), LoopingThread::State::Running);
    loop.stop();
    loop.join();
    EXPECT_EQ(loop.starts.load(), 1);
    EXPECT_EQ(loop.stops.load(), 1);
    EXPECT_EQ(loop.stepsSeenAtStop.load(), loop.steps.load());
    EXPECT_EQ(loop.state(), LoopingThread::State::NotRunning);
}

TEST(LoopingThreadTest, SuspendParksTheLoopAndResumeWakesIt) {
    CountingLoop loop;
    loop.start();
    ASSERT_TRUE(eventually([&] { return loop.steps.load() >= 1; }));
    loop.suspend();
    EXPECT_EQ(loop.state(), LoopingThread::State::Suspended);
    // At most the step in progress finishes after suspend().
    const int parkedAt = loop.steps.load();
    Thread::sleep(30);
    EXPECT_LE(loop.steps.load(), parkedAt + 1);
    const int stillParked = loop.steps.load();
    Thread::sleep(30);
    EXPECT_EQ(loop.steps.load(), stillParked);

    loop.resume();
    EXPECT_EQ(loop.state(), LoopingThread::State::Running);
    ASSERT_TRUE(eventually([&] { return loop.steps.load() > stillParked + 2; }));
    loop.stop();
    loop.join();
}

TEST(LoopingThreadTest, StopWakesASuspendedLoopWithoutAnotherStep) {
    CountingLoop loop;
    loop.start();
    ASSERT_TRUE(eventually([&] { return loop.steps.load() >= 1; }));
    loop.suspend();
    ASSERT_TRUE(eventually([&] {
        const int before = loop.steps.load();
        Thread::sleep(5);
        return loop.steps.load() == before;
    }));
    const int parked = loop.steps.load();
    loop.stop();
    loop.join();
    EXPECT_EQ(loop.steps.load(), parked);
    EXPECT_EQ(loop.stops.load(), 1);
}

TEST(LoopingThreadTest, SuspendAfterStopHasNoEffect) {
    CountingLoop loop;
    std::atomic<bool> release{false};
    loop.onStep = [&](CountingLoop&) {
        while (!release.load()) {
            Thread::sleep(1);
        }
    };
    loop.start();
    ASSERT_TRUE(eventually([&] { return loop.steps.load() >= 1; }));
    loop.stop();
    loop.suspend();
    EXPECT_EQ(loop.state(), LoopingThread::State::Running);
    release = true;
    loop.join(); // a suspension now would park the loop forever
    EXPECT_EQ(loop.stops.load(), 1);
}

TEST(LoopingThreadTest, ResumeOnARunningLoopHasNoEffect) {
    CountingLoop loop;
    loop.start();
    ASSERT_TRUE(eventually([&] { return loop.steps.load() >= 1; }));
    loop.resume();
    EXPECT_EQ(loop.state(), LoopingThread::State::Running);
    // A resume with nobody parked must not be stored for a later suspension.
    loop.suspend();
    EXPECT_EQ(loop.state(), LoopingThread::State::Suspended);
    loop.stop();
    loop.join();
}

TEST(LoopingThreadTest, SuspendBeforeStartHasNoEffect) {
    CountingLoop loop;
    loop.suspend();
    EXPECT_EQ(loop.state(), LoopingThread::State::NotRunning);
    loop.start();
    ASSERT_TRUE(eventually([&] { return loop.steps.load() >= 2; }));
    loop.stop();
    loop.join();
}

TEST(LoopingThreadTest, AStepMayStopItsOwnThread) {
    CountingLoop loop;
    loop.onStep = [](CountingLoop& self) {
        if (self.steps.load() == 5) {
            self.stop();
        }
    };
    loop.start();
    loop.join();
    EXPECT_EQ(loop.steps.load(), 5);
    EXPECT_EQ(loop.stops.load(), 1);
}

TEST(LoopingThreadTest, AStepMaySuspendItsOwnThread) {
    CountingLoop loop;
    loop.onStep = [](CountingLoop& self) {
        if (self.steps.load() == 3) {
            self.suspend();
        }
    };
    loop.start();
    ASSERT_TRUE(eventually([&] { return loop.state() == LoopingThread::State::Suspended; }));
    Thread::sleep(20);
    EXPECT_EQ(loop.steps.load(), 3);
    loop.resume();
    ASSERT_TRUE(eventually([&] { return loop.steps.load() > 3; }));
    loop.stop();
    loop.join();
}

TEST(LoopingThreadTest, CanBeStartedAgainAfterStop) {
    CountingLoop loop;
    for (int round = 1; round <= 2; ++round) {
        loop.start();
        ASSERT_TRUE(eventually([&] { return loop.steps.load() >= round * 2; }));
        loop.stop();
        loop.join();
        EXPECT_EQ(loop.starts.load(), round);
        EXPECT_EQ(loop.stops.load(), round);
    }
}

TEST(LoopingThreadTest, DestroyingARunningLoopStopsAndJoinsIt) {
    // Without the stop in the destructor the join there would never return; the
    // destruction runs on a helper so that the test itself stays bounded.
    auto destroyed = std::make_shared<std::atomic<bool>>(false);
    std::thread helper([destroyed] {
        {
            LoopingThread loop("plain");
            loop.start();
            eventually([&] { return loop.state() == LoopingThread::State::Running; });
        }
        destroyed->store(true);
    });
    const bool finished = eventually([&] { return destroyed->load(); });
    if (finished) {
        helper.join();
    } else {
        helper.detach();
    }
    EXPECT_TRUE(finished);
}
