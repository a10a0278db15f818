#include "base/thread/Profiler.h"
#include "base/thread/Random.h"
#include "base/thread/Thread.h"

#include <gtest/gtest.h>

#include <set>

using namespace ostrel;

TEST(ProfilerTest, WithoutMarksBothAveragesAreZero) {
    Profiler profiler("idle");
    EXPECT_EQ(profiler.name(), "idle");
    EXPECT_EQ(profiler.count(), 0u);
    EXPECT_EQ(profiler.averageInterval(), 0.0);
    EXPECT_EQ(profiler.averageValue(), 0.0);
    EXPECT_EQ(profiler.minimumInterval(), 0xFFFFFFFFu);
    EXPECT_EQ(profiler.maximumInterval(), 0u);
    EXPECT_EQ(profiler.minimumValue(), 0xFFFFFFFF);
    EXPECT_EQ(profiler.maximumValue(), 0);
    EXPECT_EQ(profiler.elapsed(), 0u);
}

TEST(ProfilerTest, MarksKeepCountTotalsAndBounds) {
    Profiler profiler;
    profiler.mark(30);
    Thread::sleep(5);
    profiler.mark(10);
    profiler.mark(20);
    EXPECT_EQ(profiler.count(), 3u);
    EXPECT_EQ(profiler.total(), 60);
    EXPECT_EQ(profiler.lastValue(), 20);
    EXPECT_EQ(profiler.minimumValue(), 10);
    EXPECT_EQ(profiler.maximumValue(), 30);
    EXPECT_DOUBLE_EQ(profiler.averageValue(), 20.0);
    EXPECT_LE(profiler.minimumInterval(), profiler.maximumInterval());
    EXPECT_GE(profiler.maximumInterval(), 1u); // the 5 ms sleep lies inside one interval
    EXPECT_EQ(profiler.elapsed(), profiler.lastTick() - profiler.startTick());
    EXPECT_DOUBLE_EQ(profiler.averageInterval(), profiler.elapsed() / 3.0);
}

TEST(ProfilerTest, NegativeValuesSetTheBoundsFromTheFirstMark) {
    Profiler profiler;
    profiler.mark(-5);
    profiler.mark(-2);
    EXPECT_EQ(profiler.minimumValue(), -5);
    EXPECT_EQ(profiler.maximumValue(), -2);
    EXPECT_EQ(profiler.total(), -7);
}

TEST(ProfilerTest, ResetClearsEverything) {
    Profiler profiler;
    profiler.mark(7);
    profiler.reset();
    EXPECT_EQ(profiler.count(), 0u);
    EXPECT_EQ(profiler.total(), 0);
    EXPECT_EQ(profiler.lastValue(), 0);
    EXPECT_EQ(profiler.averageValue(), 0.0);
    EXPECT_EQ(profiler.minimumInterval(), 0xFFFFFFFFu);
    EXPECT_EQ(profiler.startTick(), profiler.lastTick());
}

TEST(ProfilerTest, TickDifferencesWrapModulo32Bits) {
    const std::uint32_t before = Profiler::tick();
    Thread::sleep(3);
    EXPECT_GE(Profiler::elapsedSince(before), 1u);
    EXPECT_LT(Profiler::elapsedSince(before), 60000u);
    // A tick taken just before the counter wrapped is still only a few ms ago.
    const std::uint32_t nearWrap = 0xFFFFFFF0u;
    EXPECT_EQ(static_cast<std::uint32_t>(0x10u - nearWrap), 0x20u);
}

TEST(RandomTest, IsOneInstanceGivingVaryingNumbers) {
    Random& random = Random::instance();
    EXPECT_EQ(&random, &Random::instance());
    std::set<std::uint32_t> seen;
    for (int i = 0; i < 64; ++i) {
        seen.insert(random.next());
    }
    // 64 draws from 2^32 values repeat with negligible probability.
    EXPECT_GT(seen.size(), 60u);
}
