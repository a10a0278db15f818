// The merged time table, the chunk choice over it and the archive speed profiler.
#include "app/scheduling/ArchivingSchedule.h"
#include "app/scheduling/MergedTimeTable.h"
#include "app/util/ArchiveProfiler.h"
#include "base/Assert.h"
#include "base/ManualClock.h"

#include <gtest/gtest.h>

using namespace ostrel;

namespace {

DateTime at(int hour, int minute, int second) { return DateTime(2024, 1, 1, hour, minute, second); }
Interval span(int h1, int m1, int s1, int h2, int m2, int s2) { return Interval(at(h1, m1, s1), at(h2, m2, s2)); }

MergedTimeTable tableOf(const std::vector<Interval>& intervals) {
    MergedTimeTable table;
    for (const Interval& interval : intervals) {
        table.merge(interval);
    }
    return table;
}

TEST(MergedTimeTableTest, MergesOverlappingAndTouchingIntervalsInOrder) {
    struct Case {
        const char* name;
        std::vector<Interval> merged;
        std::vector<Interval> want;
    };
    const Case cases[] = {
        {"overlapping and touching become one",
         {span(10, 0, 0, 10, 10, 0), span(9, 0, 0, 9, 30, 0), span(9, 30, 1, 9, 59, 59)},
         {span(9, 0, 0, 10, 10, 0)}},
        {"earlier goes in front, later at the end",
         {span(9, 0, 0, 9, 10, 0), span(8, 0, 0, 8, 10, 0), span(10, 0, 0, 10, 10, 0)},
         {span(8, 0, 0, 8, 10, 0), span(9, 0, 0, 9, 10, 0), span(10, 0, 0, 10, 10, 0)}},
        {"touching at one second", {span(10, 0, 0, 10, 0, 9), span(10, 0, 10, 10, 0, 20)}, {span(10, 0, 0, 10, 0, 20)}},
        {"two seconds apart stay apart",
         {span(10, 0, 0, 10, 0, 9), span(10, 0, 11, 10, 0, 20)},
         {span(10, 0, 0, 10, 0, 9), span(10, 0, 11, 10, 0, 20)}},
        {"one spanning several",
         {span(8, 0, 0, 8, 10, 0), span(9, 0, 0, 9, 10, 0), span(11, 0, 0, 11, 10, 0), span(8, 5, 0, 9, 30, 0)},
         {span(8, 0, 0, 9, 30, 0), span(11, 0, 0, 11, 10, 0)}},
        {"contained", {span(8, 0, 0, 9, 0, 0), span(8, 10, 0, 8, 20, 0)}, {span(8, 0, 0, 9, 0, 0)}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tableOf(c.merged).intervals(), c.want) << c.name;
    }
}

TEST(MergedTimeTableTest, AssignTakesTheIntervalsOfATimeTable) {
    MergedTimeTable table = tableOf({span(1, 0, 0, 2, 0, 0)});
    table.assign({RecordingTimeTableEntry(7, span(10, 0, 0, 10, 10, 0), BitMask32(1)),
                  RecordingTimeTableEntry(3, span(9, 0, 0, 10, 0, 0), BitMask32(2))});
    EXPECT_EQ(table.intervals(), std::vector<Interval>{span(9, 0, 0, 10, 10, 0)});
    table.assign({});
    EXPECT_TRUE(table.empty());
}

TEST(MergedTimeTableTest, CoalesceJoinsRowsLessThanTheGapApart) {
    std::vector<Interval> rows;
    tableOf({span(10, 0, 0, 10, 0, 10), span(10, 0, 14, 10, 0, 20)}).coalesce(5, rows);
    EXPECT_EQ(rows, std::vector<Interval>{span(10, 0, 0, 10, 0, 20)});
    tableOf({span(10, 0, 0, 10, 0, 10), span(10, 0, 15, 10, 0, 20), span(10, 0, 30, 10, 0, 40)}).coalesce(5, rows);
    EXPECT_EQ(rows.size(), 3u);
}

TEST(NextChunkTest, CountsRecordedSecondsAcrossTheGaps) {
    const MergedTimeTable sections = tableOf({span(10, 0, 0, 10, 10, 0), span(11, 0, 0, 11, 30, 0)});
    struct Case {
        const char* name;
        DateTime from;
        int seconds;
        Interval want;
    };
    const Case cases[] = {
        {"before every section", at(9, 0, 0), 1801, span(10, 0, 0, 11, 19, 59)},
        // Inside a long section the chunk counts from where it starts in it.
        {"inside the first section", at(10, 5, 0), 100, span(10, 5, 0, 10, 6, 39)},
        {"inside, across the gap", at(10, 5, 0), 1801, span(10, 5, 0, 11, 24, 59)},
        {"all that is left", at(11, 20, 0), 1801, span(11, 20, 0, 11, 30, 0)},
        {"the last second", at(11, 30, 0), 1801, span(11, 30, 0, 11, 30, 0)},
        {"exactly one section", at(9, 0, 0), 601, span(10, 0, 0, 10, 10, 0)},
        {"nothing after", at(11, 30, 1), 1801, Interval()},
    };
    for (const Case& c : cases) {
        const Interval chunk = ArchivingSchedule::nextChunk(sections, c.from, c.seconds);
        EXPECT_EQ(chunk, c.want) << c.name << ": " << chunk.toString();
    }
    EXPECT_FALSE(ArchivingSchedule::nextChunk(MergedTimeTable(), at(9, 0, 0), 1801).from().isSet());
}

TEST(ArchiveProfilerTest, ClassifiesRecordedTimeAgainstWallClockTime) {
    ManualClock clock;
    ArchiveProfiler profiler(clock);
    EXPECT_FALSE(profiler.isRunning());
    profiler.start();
    EXPECT_TRUE(profiler.isRunning());
    profiler.add(300);
    clock.advanceSeconds(250);
    EXPECT_EQ(profiler.elapsed(), 250000u);
    EXPECT_EQ(profiler.archiveSpeed(), ArchiveProfiler::SpeedGood); // 1.2
    profiler.restartWindow();
    profiler.add(150);
    profiler.add(50);
    clock.advanceSeconds(250);
    EXPECT_EQ(profiler.archiveSpeed(), ArchiveProfiler::SpeedBad); // 0.8
    profiler.stop();
    EXPECT_FALSE(profiler.isRunning());
    EXPECT_EQ(profiler.archiveSpeed(), ArchiveProfiler::SpeedBad); // values kept
}

TEST(ArchiveProfilerTest, ParsesTheThreeSpeedsAndAssertsOnAnyOther) {
    EXPECT_EQ(ArchiveProfiler::parseArchiveSpeed(0), 0);
    EXPECT_EQ(ArchiveProfiler::parseArchiveSpeed(1), 1);
    EXPECT_EQ(ArchiveProfiler::parseArchiveSpeed(2), 2);
    EXPECT_EQ(ArchiveProfiler::parseArchiveSpeed(3), 0);
    AssertionScope on;
    EXPECT_THROW(ArchiveProfiler::parseArchiveSpeed(3), AssertionFailException);
}

} // namespace
