#include "storage/EventElement.h"
#include "storage/EventTrack.h"
#include "storage/IStorageListener.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrack.h"
#include "storage/MediaTrackIterator.h"
#include "storage/PreEventTrack.h"
#include "storage/RecordingTable.h"
#include "storage/RecordingTableElement.h"
#include "storage/Timeline.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/support/StorageFixture.h"
#include "storage/util/StorageChecker.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrel {
namespace {

using test::StorageFixture;
using test::at;

std::vector<RecordingTableElement> entries(Storage& storage) {
    std::vector<RecordingTableElement> result;
    TrackIterator it(storage, PageType::RecordingTable);
    for (bool more = it.first(); more; more = it.next()) {
        RecordingTableElement entry;
        it.read(entry);
        result.push_back(entry);
    }
    return result;
}

// One key frame per channel and second.
void recordSeconds(StorageFixture& f, std::int64_t from, std::int64_t to, std::vector<int> channels,
                   std::uint32_t gop = 1) {
    for (std::int64_t s = from; s < to; ++s) {
        for (int channel : channels) {
            f.record(f.frames.video(channel, gop + static_cast<std::uint32_t>(s), 0, at(s), 20));
        }
    }
}

struct SectionListener : IStorageListener {
    void usageChanged(Storage&, std::uint64_t, std::uint64_t) override {}
    void formattingBegins(Storage&) override {}
    void formattingEnded(Storage&) override {}
    void sectionChanged(Storage&, std::uint32_t id) override { sections.push_back(id); }
    std::vector<std::uint32_t> sections;
};

TEST(RecordingTableTest, EntriesOnlyWhereTheRecordingChanges) {
    StorageFixture f;
    recordSeconds(f, 0, 10, {0});
    recordSeconds(f, 10, 20, {0, 1});
    std::vector<RecordingTableElement> table = entries(*f.storage);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].dateTime(), at(0));
    EXPECT_EQ(table[0].channelMask().word(), 1u);
    EXPECT_EQ(table[0].sectionID(), 1u);
    EXPECT_EQ(table[1].dateTime(), at(10));
    EXPECT_EQ(table[1].channelMask().word(), 3u);
    EXPECT_EQ(table[1].previousChannelMask().word(), 1u);
    EXPECT_EQ(table[1].previousPosition().offset, 128u);
    Interval interval;
    ASSERT_TRUE(f.storage->recordingInterval(interval));
    EXPECT_EQ(interval.from(), at(0));
    EXPECT_EQ(interval.to(), at(19));
    // The close writes the last second's state and a stop entry.
    f.reopen();
    table = entries(*f.storage);
    ASSERT_EQ(table.size(), 3u);
    EXPECT_TRUE(table[2].channelMask().isEmpty());
    EXPECT_EQ(table[2].dateTime(), at(19));
    const std::vector<RecordingSection> sections = f.storage->recordingTable().sections();
    ASSERT_EQ(sections.size(), 1u);
    EXPECT_EQ(sections[0].interval(), Interval(at(0), at(19)));
    EXPECT_TRUE(sections[0].isStopped());
}

// A process that died mid-recording leaves the table behind the timeline, and
// the timeline may end with audio. The stop entry the next close writes must
// still name the last video element, or the check at open refuses the file.
TEST(RecordingTableTest, AStopAfterReopeningNamesTheLastVideoElementNotTrailingAudio) {
    StorageFixture f;
    recordSeconds(f, 0, 6, {0});
    PagePosition lastVideo;
    {
        MediaElement frame = f.frames.video(0, 7, 0, at(6), 20);
        lastVideo = f.record(frame);
    }
    for (std::uint16_t i = 0; i < 3; ++i) {
        f.record(f.frames.audio(0, i, at(6), 20));
    }
    // Save what a dying process had saved: media and timeline, but not the
    // table's pending second nor its stop.
    f.storage->mediaTrack().flush();
    f.storage->timeline().flush();
    ASSERT_TRUE(f.storage->close(false));
    f.storage = f.memory.storage();
    ASSERT_TRUE(f.storage->open("fixture.strg", true, 2));
    f.reopen(); // opened writable and closed: the close writes the stop
    std::vector<RecordingTableElement> table = entries(*f.storage);
    ASSERT_FALSE(table.empty());
    EXPECT_TRUE(table.back().channelMask().isEmpty());
    EXPECT_EQ(table.back().position(), lastVideo);
    StorageChecker checker(*f.storage);
    EXPECT_TRUE(checker.check()) << checker.problem();
}

TEST(RecordingTableTest, FramesOfOneSecondMergeTheirChannels) {
    StorageFixture f;
    f.record(f.frames.video(0, 1, 0, at(0), 20));
    f.record(f.frames.video(3, 1, 0, at(0), 20));
    f.record(f.frames.video(0, 2, 0, at(1), 20));
    const std::vector<RecordingTableElement> table = entries(*f.storage);
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0].channelMask().word(), 0b1001u);
}

TEST(RecordingTableTest, ANewCalendarDayWritesAnEntry) {
    StorageFixture f;
    const DateTime late(2024, 3, 1, 23, 59, 57);
    for (int s = 0; s < 5; ++s) {
        DateTime time = late;
        time.addSeconds(s);
        f.record(f.frames.video(0, static_cast<std::uint32_t>(s + 1), 0, time, 20));
    }
    const std::vector<RecordingTableElement> table = entries(*f.storage);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[1].dateTime(), DateTime(2024, 3, 1, 23, 59, 59));
    f.storage->flush();
    const std::vector<RecordingSection> sections = f.storage->recordingTable().sections();
    ASSERT_EQ(sections.size(), 1u);
    EXPECT_EQ(sections[0].dates().size(), 2u);
}

TEST(RecordingTableTest, APauseStopsTheIntervalAndTheNextFrameOpensAnother) {
    StorageFixture f;
    recordSeconds(f, 0, 6, {0});
    recordSeconds(f, 10, 16, {0});
    const std::vector<RecordingTableElement> table = entries(*f.storage);
    ASSERT_EQ(table.size(), 3u);
    EXPECT_TRUE(table[1].channelMask().isEmpty());
    EXPECT_EQ(table[1].dateTime(), at(5));
    EXPECT_EQ(table[2].dateTime(), at(10));
    const std::vector<RecordingSection> sections = f.storage->recordingTable().sections();
    ASSERT_EQ(sections.size(), 1u);
    const std::vector<Interval> intervals = sections[0].intervals();
    ASSERT_EQ(intervals.size(), 2u);
    EXPECT_EQ(intervals[0], Interval(at(0), at(5)));
    EXPECT_EQ(intervals[1].from(), at(10));
    std::vector<RecordingRun> runs;
    f.storage->recordingTimeTable(BitMask32(BitMask32::AllBits), Interval(DateTime(1970, 1, 1, 0, 0, 0), DateTime()),
                                  runs);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].interval, Interval(at(0), at(5)));
    EXPECT_EQ(runs[1].interval, Interval(at(10), at(15)));
    EXPECT_EQ(runs[1].sectionID, 1u);
}

TEST(RecordingTableTest, TimeGoingBackStartsANewSection) {
    StorageFixture f;
    SectionListener listener;
    f.storage->addListener(&listener);
    recordSeconds(f, 100, 105, {0});
    recordSeconds(f, 50, 55, {0}, 500);
    f.storage->flush();
    EXPECT_EQ(f.storage->lastSectionID(), 2u);
    EXPECT_EQ(f.storage->firstSectionID(), 1u);
    EXPECT_EQ(listener.sections, (std::vector<std::uint32_t>{1, 2}));
    EXPECT_TRUE(f.logged("Storage::recordingSectionChanged(): 2"));
    std::vector<RecordingRun> runs;
    f.storage->recordingTimeTable(BitMask32(1), Interval(DateTime(1970, 1, 1, 0, 0, 0), DateTime()), runs);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].sectionID, 1u);
    EXPECT_EQ(runs[0].interval, Interval(at(100), at(104)));
    EXPECT_EQ(runs[1].sectionID, 2u);
    EXPECT_EQ(runs[1].interval, Interval(at(50), at(54)));
    f.reopen();
    const std::vector<RecordingSection> sections = f.storage->recordingTable().sections();
    ASSERT_EQ(sections.size(), 2u);
    EXPECT_EQ(sections[0].interval(), Interval(at(100), at(104)));
    EXPECT_EQ(sections[1].interval(), Interval(at(50), at(54)));
    EXPECT_EQ(f.storage->lastSectionID(), 2u);
    f.storage->removeListener(&listener);
}

TEST(RecordingTableTest, TheTimelineMovingToANewPageWritesAContinuation) {
    StorageFixture f;
    const std::uint32_t perPage = (8192 - 128) / 64;
    for (std::uint32_t i = 0; i < perPage + 20; ++i) {
        f.record(f.frames.video(0, 1, static_cast<std::uint16_t>(i % 10 == 0 ? 0 : i % 10), at(i / 10), 10));
    }
    const std::vector<RecordingTableElement> table = entries(*f.storage);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_NE(table[1].position().number, table[0].position().number);
    EXPECT_EQ(table[1].channelMask(), table[0].channelMask());
}

TEST(RecordingTableTest, RollbackBeforeTheFirstEntryKeepsTheSectionID) {
    StorageFixture f;
    recordSeconds(f, 100, 105, {0});
    recordSeconds(f, 50, 55, {0}, 500);
    EXPECT_EQ(f.storage->lastSectionID(), 2u);
    f.storage->timeline().truncateAfter(0);
    f.storage->recordingTable().rollback(1, 0);
    EXPECT_FALSE(f.storage->hasTrack(PageType::RecordingTable));
    EXPECT_TRUE(f.storage->recordingTable().sections().empty());
    EXPECT_EQ(f.storage->lastSectionID(), 2u);
}

TEST(RecordingTableTest, StorageTruncationCutsEveryTrackAfterTheFrame) {
    StorageFixture f(60);
    for (int s = 0; s < 30; ++s) {
        for (int k = 0; k < 5; ++k) {
            MediaElement frame = f.frames.video(0, static_cast<std::uint32_t>(s + 1), static_cast<std::uint16_t>(k),
                                                at(s), 300, static_cast<std::uint32_t>(s * 5 + k));
            const PagePosition timeline = f.record(frame);
            if (k == 0) {
                EventElement event;
                event.setEventType(1);
                event.setMediaID(static_cast<std::uint64_t>(s * 5 + k + 1));
                event.setTimelinePos(timeline);
                event.setChannelMask(BitMask32(1));
                event.setDateTime(at(s));
                f.storage->writeEvent(event, false);
            }
        }
    }
    ASSERT_EQ(f.storage->lastIssuedItemID(), 150u);
    const std::uint64_t cut = 62; // the second frame of second 12
    f.storage->truncateAfter(1, cut);
    EXPECT_TRUE(f.logged("[TRUNCATE_AFTER] section= 1 id= 62"));
    EXPECT_EQ(f.storage->nextItemID(), cut + 1);
    EXPECT_EQ(f.storage->lastTimelineMediaID(), cut);
    {
        MediaTrackIterator media(*f.storage, PageType::Media);
        ASSERT_TRUE(media.last());
        MediaElement last;
        media.read(last);
        EXPECT_EQ(last.mediaID(), cut);
        EXPECT_EQ(media.readPayload(), test::Frames::pattern(300, static_cast<std::uint32_t>(cut - 1)));
        TrackIterator events(*f.storage, PageType::Event);
        ASSERT_TRUE(events.last());
        EventElement event;
        events.read(event);
        EXPECT_EQ(event.mediaID(), 61u);
    }
    Interval interval;
    ASSERT_TRUE(f.storage->recordingInterval(interval));
    EXPECT_EQ(interval.to(), at(12));
    // Recording goes on from the cut.
    MediaElement next = f.frames.video(0, 13, 2, at(12), 300, 999);
    const PagePosition position = f.record(next);
    EXPECT_FALSE(position.isNull());
    f.reopen();
    EXPECT_EQ(f.storage->lastTimelineMediaID(), cut + 1);
    EXPECT_EQ(f.storage->nextItemID(), cut + 2);
}

TEST(EventTrackTest, EventsCarryTheSectionCurrentWhenWritten) {
    StorageFixture f;
    recordSeconds(f, 100, 103, {0});
    const std::uint64_t oldFrame = f.storage->lastIssuedItemID();
    recordSeconds(f, 50, 53, {0}, 500);
    f.storage->flush();
    ASSERT_EQ(f.storage->lastSectionID(), 2u);
    EventElement event;
    event.setMediaID(oldFrame);
    event.setDateTime(at(102));
    event.setChannelMask(BitMask32(1));
    f.storage->writeEvent(event, true);
    f.reopen();
    TrackIterator it(*f.storage, PageType::Event);
    ASSERT_TRUE(it.first());
    EventElement stored;
    it.read(stored);
    EXPECT_EQ(stored.sectionID(), 2u);
    EXPECT_EQ(stored.mediaID(), oldFrame);
}

TEST(EventTrackTest, ThePreEventTrackStaysEmptyThroughClearingAndTrimming) {
    StorageFixture f;
    recordSeconds(f, 0, 3, {0});
    EXPECT_FALSE(f.storage->preEventTrack().overwrite(100));
    f.storage->preEventTrack().clear();
    f.storage->overwriteBefore(2);
    EXPECT_FALSE(f.storage->hasTrack(PageType::PreEvent));
    EXPECT_TRUE(f.storage->preEventTrack().isEmpty());
}

} // namespace
} // namespace ostrel
