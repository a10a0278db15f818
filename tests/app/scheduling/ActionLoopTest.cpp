// Action loops and their actors: growing delays, daily entries, pending
// commands and the loop that steps the actors.
#include "app/scheduling/ActionLoop.h"
#include "app/scheduling/Actor.h"
#include "app/scheduling/ExponentialDelay.h"
#include "app/scheduling/ScheduledActionList.h"
#include "base/ManualClock.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

using namespace ostrel;
using namespace ostrel::testing;

namespace {

DateTime on(int day, int hour, int minute, int second) { return DateTime(2024, 1, day, hour, minute, second); }

TEST(ExponentialDelayTest, GrowsToItsMaximumAndStartsAgainAfterAReset) {
    struct Case {
        int initial, factor, maximum;
        std::vector<int> want;
    };
    const Case cases[] = {
        {3, 2, 300, {3, 6, 12, 24, 48, 96, 192, 300, 300}},
        {1, 2, 1800, {1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 1800, 1800}},
    };
    for (const Case& c : cases) {
        ExponentialDelay delay;
        EXPECT_EQ(delay.next(), 0); // construction sets everything to 0
        delay.init(c.initial, c.factor, c.maximum);
        for (int want : c.want) {
            EXPECT_EQ(delay.next(), want);
        }
        delay.reset();
        EXPECT_EQ(delay.next(), c.initial);
    }
    // A long run of retries never wraps into a small delay.
    ExponentialDelay delay;
    delay.init(1, 2, 1800);
    for (int i = 0; i < 100; ++i) {
        delay.next();
    }
    EXPECT_EQ(delay.next(), 1800);
}

// Polls the list once a second from `from` to `to` and collects what fired.
std::vector<std::pair<int, DateTime>> pollBetween(ScheduledActionList& list, DateTime from, const DateTime& to) {
    std::vector<std::pair<int, DateTime>> fired;
    for (DateTime now = from; !now.greaterThan(to); now.addSeconds(1)) {
        for (int command = list.poll(now); command != -1; command = list.poll(now)) {
            fired.emplace_back(command, now);
        }
    }
    return fired;
}

TEST(ScheduledActionListTest, EntriesAddedBeforeTheirTimeFireThatDayAndEveryFollowingDay) {
    ScheduledActionList list;
    const DateTime added = on(1, 7, 0, 0);
    list.reset(added);
    list.add(0, Time(8, 0, 0), added);
    list.add(1, Time(18, 0, 0), added);
    const auto fired = pollBetween(list, added, on(2, 23, 0, 0));
    ASSERT_EQ(fired.size(), 4u);
    EXPECT_EQ(fired[0], std::make_pair(0, on(1, 8, 0, 0)));
    EXPECT_EQ(fired[1], std::make_pair(1, on(1, 18, 0, 0)));
    EXPECT_EQ(fired[2], std::make_pair(0, on(2, 8, 0, 0)));
    EXPECT_EQ(fired[3], std::make_pair(1, on(2, 18, 0, 0)));
}

TEST(ScheduledActionListTest, AnEntryWhoseTimeHasPassedFirstFiresTheNextDay) {
    ScheduledActionList list;
    const DateTime added = on(1, 12, 0, 0);
    list.reset(added);
    list.add(0, Time(8, 0, 0), added);
    list.add(1, Time(18, 0, 0), added);
    const auto fired = pollBetween(list, added, on(2, 9, 0, 0));
    ASSERT_EQ(fired.size(), 2u);
    EXPECT_EQ(fired[0], std::make_pair(1, on(1, 18, 0, 0)));
    EXPECT_EQ(fired[1], std::make_pair(0, on(2, 8, 0, 0)));
}

TEST(ScheduledActionListTest, EntriesOfTheSameTimeAllFireInTheOrderTheyWereAdded) {
    // Added in either order around an existing entry: the one that was next
    // must not be skipped by a later entry of the same time.
    ScheduledActionList list;
    const DateTime added = on(1, 7, 0, 0);
    list.reset(added);
    list.add(5, Time(9, 0, 0), added);
    list.add(1, Time(8, 0, 0), added);
    list.add(2, Time(8, 0, 0), added);
    list.add(3, Time(8, 0, 0), added);
    std::vector<int> fired;
    for (const auto& [command, when] : pollBetween(list, added, on(1, 10, 0, 0))) {
        fired.push_back(command);
        EXPECT_EQ(when.hour(), command == 5 ? 9 : 8);
    }
    EXPECT_EQ(fired, (std::vector<int>{1, 2, 3, 5}));
    // One per poll.
    EXPECT_EQ(list.poll(on(2, 8, 0, 0)), 1);
    EXPECT_EQ(list.poll(on(2, 8, 0, 0)), 2);
    EXPECT_EQ(list.poll(on(2, 8, 0, 0)), 3);
    EXPECT_EQ(list.poll(on(2, 8, 0, 0)), -1);
    list.clear();
    EXPECT_EQ(list.poll(on(3, 8, 0, 0)), -1);
}

// An actor that records what it performs.
class RecordingActor : public Actor {
public:
    using Actor::Actor;
    std::vector<int> performed() const {
        std::lock_guard lock(_mutex);
        return _performed;
    }
    bool hasPerformed(int command) const {
        std::lock_guard lock(_mutex);
        return std::find(_performed.begin(), _performed.end(), command) != _performed.end();
    }
    std::atomic<int> idles{0};
    std::function<void(int)> onPerform;

protected:
    void idle() override { ++idles; }
    void perform(int32_t command) override {
        {
            std::lock_guard lock(_mutex);
            _performed.push_back(command);
        }
        if (onPerform) {
            onPerform(command);
        }
    }

private:
    mutable std::mutex _mutex;
    std::vector<int> _performed;
};

TEST(ActorTest, ANewerRequestReplacesAnOlderOneAndRunsWhenDue) {
    ManualClock clock(on(1, 12, 0, 0));
    RecordingActor actor(clock);
    actor.reset();
    actor.requestAt(2, on(1, 12, 0, 5));
    actor.step();
    EXPECT_TRUE(actor.performed().empty());
    EXPECT_EQ(actor.idles.load(), 1);
    actor.requestAt(3, clock.now());
    actor.step();
    clock.advanceSeconds(10);
    actor.step();
    EXPECT_EQ(actor.performed(), std::vector<int>{3});

    actor.requestAt(4, on(1, 12, 0, 20));
    clock.advanceSeconds(9);
    actor.step();
    EXPECT_TRUE(actor.performed().size() == 1);
    clock.advanceSeconds(1);
    actor.step();
    EXPECT_EQ(actor.performed(), (std::vector<int>{3, 4}));
    actor.requestNow(5);
    actor.cancel();
    actor.step();
    EXPECT_EQ(actor.performed().size(), 2u);
}

TEST(ActorTest, ADailyEntryThatFallsDueReplacesThePendingCommand) {
    ManualClock clock(on(1, 7, 59, 58));
    RecordingActor actor(clock);
    actor.reset();
    actor.addDaily(0, Time(8, 0, 0));
    actor.requestAt(7, on(1, 9, 0, 0));
    actor.step();
    clock.advanceSeconds(2);
    actor.step();
    clock.advanceSeconds(3600);
    actor.step();
    EXPECT_EQ(actor.performed(), std::vector<int>{0});
    actor.clearDaily();
}

TEST(ActorTest, ACommandRequestedWhilePerformingStaysPendingForTheNextStep) {
    ManualClock clock;
    RecordingActor actor(clock);
    actor.reset();
    actor.onPerform = [&actor](int command) {
        if (command == 1) {
            actor.requestNow(2);
        }
    };
    actor.requestNow(1);
    actor.step();
    EXPECT_EQ(actor.pendingCommand(), 2);
    actor.step();
    EXPECT_EQ(actor.performed(), (std::vector<int>{1, 2}));
    EXPECT_EQ(actor.pendingCommand(), Actor::NoCommand);
}

TEST(ActorTest, NoRequestMadeWhileTheLoopTakesACommandIsLost) {
    // One thread steps as fast as it can; another requests a command and at
    // once a second one (a Stop after a Continue), then waits for the second
    // to be performed. A second request that arrived between taking the due
    // first command and clearing it would be wiped, and its wait run out.
    ManualClock clock;
    RecordingActor actor(clock);
    actor.reset();
    std::atomic<bool> done{false};
    FunctionThread stepper([&] {
        while (!done.load()) {
            actor.step();
        }
    });
    stepper.start();
    bool allPerformed = true;
    for (int command = 2; command <= 4000 && allPerformed; command += 2) {
        actor.requestNow(command - 1);
        actor.requestNow(command);
        allPerformed = eventually([&] { return actor.hasPerformed(command); }, std::chrono::seconds(10));
        EXPECT_TRUE(allPerformed) << "command " << command << " was lost";
    }
    done.store(true);
}

TEST(ActionLoopTest, StepsEveryActorAndForgetsThemWhenStopped) {
    ManualClock clock;
    RecordingActor a(clock);
    RecordingActor b(clock);
    ActionLoop loop(5);
    loop.add(a);
    loop.add(b);
    a.requestNow(9); // reset by the loop's start: dropped
    loop.start();
    ASSERT_TRUE(eventually([&] { return a.idles.load() > 2 && b.idles.load() > 2; }));
    EXPECT_TRUE(a.performed().empty());
    b.requestNow(4);
    ASSERT_TRUE(eventually([&] { return b.hasPerformed(4); }));
    loop.remove(a);
    EXPECT_FALSE(loop.contains(a));
    const int idlesAfterRemove = a.idles.load();
    ASSERT_TRUE(eventually([&] { return b.idles.load() > idlesAfterRemove + 3; }));
    EXPECT_EQ(a.idles.load(), idlesAfterRemove);
    loop.stop();
    EXPECT_FALSE(loop.contains(b));
}

TEST(ActionLoopTest, RemoveWaitsForThePassThatIsSteppingTheActor) {
    ManualClock clock;
    RecordingActor actor(clock);
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
    actor.onPerform = [&](int) {
        inside.store(true);
        while (!release.load()) {
            Thread::sleep(1);
        }
        inside.store(false);
    };
    ActionLoop loop(5);
    loop.add(actor);
    loop.start();
    ASSERT_TRUE(eventually([&] { return actor.idles.load() > 0; })); // past the start's reset
    actor.requestNow(1);
    ASSERT_TRUE(eventually([&] { return inside.load(); }));
    std::atomic<bool> removed{false};
    FunctionThread remover([&] {
        loop.remove(actor);
        removed.store(true);
    });
    remover.start();
    Thread::sleep(50);
    EXPECT_FALSE(removed.load()); // still stepping
    release.store(true);
    ASSERT_TRUE(eventually([&] { return removed.load(); }));
    EXPECT_FALSE(inside.load());
    remover.join();
    loop.stop();
}

} // namespace
