#include "storage/EventElement.h"
#include "storage/EventTrack.h"
#include "storage/IStorageListener.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrack.h"
#include "storage/MediaTrackIterator.h"
#include "storage/PreEventTrack.h"
#include "storage/RecordingTable.h"
#include "storage/RecordingTableElement.h"
#include "storage/StorageGroup.h"
#include "storage/Timeline.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/support/StorageFixture.h"
#include "storage/util/RecordingTableVerifier.h"
#include "storage/util/StorageChecker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
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

// The first second of a section has no entry until the next second begins;
// a pause right after it still closes its run.
TEST(RecordingTableTest, APauseAfterTheFirstSecondStopsItsRun) {
    StorageFixture f;
    recordSeconds(f, 0, 1, {0, 1});
    recordSeconds(f, 10, 12, {0});
    f.storage->flush();
    std::vector<RecordingRun> runs;
    f.storage->recordingTimeTable(BitMask32(BitMask32::AllBits), Interval(DateTime(1970, 1, 1, 0, 0, 0), DateTime()),
                                  runs);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].interval, Interval(at(0), at(0)));
    EXPECT_EQ(runs[0].mask.word(), 3u);
    EXPECT_EQ(runs[1].interval, Interval(at(10), at(11)));
    RecordingTableVerifier verifier(*f.storage);
    EXPECT_TRUE(verifier.verify(RecordingTableVerifier::Depth::Full)) << verifier.problem();
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

namespace ostrel {
namespace {

// The table describes the timeline: every check of the verifier passes.
void expectDescribed(Storage& storage) {
    RecordingTableVerifier verifier(storage);
    EXPECT_TRUE(verifier.verify(RecordingTableVerifier::Depth::Full)) << verifier.problem();
}

// Two video channels and one audio channel, one key frame per channel and
// second: three timeline elements a second, so a timeline page (126
// elements) lasts 42 seconds and the table writes a continuation for each.
void recordSteadily(StorageFixture& f, std::int64_t from, std::int64_t to, std::vector<int> channels = {0, 1}) {
    for (std::int64_t s = from; s < to; ++s) {
        for (int channel : channels) {
            f.record(f.frames.video(channel, 1 + static_cast<std::uint32_t>(s), 0, at(s), 200));
        }
        f.record(f.frames.audio(0, 0, at(s), 40));
    }
}

// What a process killed at this moment leaves: the pages saved when tracks
// moved to new pages, and the media pages (with `timelineToo`, the timeline
// pages too, which saves the table's page before them); no pending second
// of the table, no close. Then the next open, with correction and recovery.
void killProcess(StorageFixture& f, bool timelineToo = true) {
    f.storage->mediaTrack().flush();
    if (timelineToo) {
        f.storage->timeline().flush();
    }
    ASSERT_TRUE(f.storage->close(false));
    f.storage = f.memory.storage();
    ASSERT_TRUE(f.storage->open("fixture.strg", true, 2));
}

// ostrel-archive's resume: the record names the last video frame of second
// 79, stored (tracks flushed) when it was archived; the process archived up
// to second 99 and was killed. The resumed run cuts back to the record and
// archives seconds 80 to 149 again. The table then holds one section that
// covers every second once. (The open used to rebuild the table from a
// state restored at the timeline's end, so the elements after the table's
// last entry looked like time going back: a stop at the end and a second
// section from a frame before the kill; the cut then kept that section's ID.)
TEST(RecordingTableTest, AResumeAfterAKillContinuesTheSectionOfTheRecord) {
    StorageFixture f(200);
    recordSteadily(f, 0, 80);
    const std::uint64_t record = f.storage->lastIssuedItemID() - 1; // channel 1 of second 79
    f.storage->flushTracks();
    recordSteadily(f, 80, 100);
    killProcess(f);
    expectDescribed(*f.storage);
    EXPECT_EQ(f.storage->lastSectionID(), 1u);
    f.storage->truncateAfter(1, record);
    expectDescribed(*f.storage);
    recordSteadily(f, 80, 150);
    f.reopen();
    expectDescribed(*f.storage);
    const std::vector<RecordingSection> sections = f.storage->recordingTable().sections();
    ASSERT_EQ(sections.size(), 1u);
    EXPECT_EQ(sections[0].sectionID(), 1u);
    EXPECT_EQ(sections[0].interval(), Interval(at(0), at(149)));
    EXPECT_EQ(sections[0].firstMediaID(), 1u);
    std::vector<RecordingRun> runs;
    f.storage->recordingTimeTable(BitMask32(BitMask32::AllBits), Interval(DateTime(1970, 1, 1, 0, 0, 0), DateTime()),
                                  runs);
    ASSERT_FALSE(runs.empty());
    EXPECT_EQ(runs.front().interval.from(), at(0));
    EXPECT_EQ(runs.back().interval.to(), at(149));
    for (const RecordingRun& run : runs) {
        EXPECT_EQ(run.sectionID, 1u);
    }
    for (const RecordingTableElement& entry : entries(*f.storage)) {
        EXPECT_EQ(entry.sectionID(), 1u) << entry.dateTime().toString();
    }
}

// The open after a kill alone: the table catches up with the timeline the
// recovery rebuilt from the media track, and the writer's state is that of
// the second in progress, so a frame of a new channel in that second gives
// the entry of that second.
TEST(RecordingTableTest, TheOpenAfterAKillContinuesTheTableWhereTheTimelineEnds) {
    StorageFixture f(200);
    recordSteadily(f, 0, 60);
    recordSteadily(f, 60, 100, {0});
    killProcess(f, false);
    expectDescribed(*f.storage);
    Interval interval;
    ASSERT_TRUE(f.storage->recordingInterval(interval));
    EXPECT_EQ(interval, Interval(at(0), at(99)));
    std::vector<RecordingTableElement> table = entries(*f.storage);
    ASSERT_GE(table.size(), 2u);
    EXPECT_TRUE(std::any_of(table.begin(), table.end(), [](const RecordingTableElement& e) {
        return e.dateTime() == at(60) && e.channelMask().word() == 1u;
    }));
    f.record(f.frames.video(2, 100, 0, at(99), 200));
    recordSteadily(f, 100, 110, {0, 2});
    f.reopen();
    expectDescribed(*f.storage);
    table = entries(*f.storage);
    EXPECT_TRUE(std::any_of(table.begin(), table.end(), [](const RecordingTableElement& e) {
        return e.dateTime() == at(99) && e.channelMask().word() == 0b101u;
    }));
    ASSERT_EQ(f.storage->recordingTable().sections().size(), 1u);
    EXPECT_EQ(f.storage->recordingTable().sections()[0].interval(), Interval(at(0), at(109)));
}


} // namespace
} // namespace ostrel
namespace ostrel {
namespace {

// A recording whose table holds every kind of entry: two channels, then one
// (a change), a pause of ten seconds (a stop), two channels again across
// several timeline pages (continuations), then the time going back (a
// second section). One frame a channel and second, one audio frame a second.
struct ScriptFrame {
    int channel; // -1: audio
    std::int64_t second;
    std::uint32_t gop;
};

std::vector<ScriptFrame> script() {
    std::vector<ScriptFrame> frames;
    auto seconds = [&frames](std::int64_t from, std::int64_t to, std::vector<int> channels, std::uint32_t gop) {
        for (std::int64_t s = from; s < to; ++s) {
            for (int channel : channels) {
                frames.push_back({channel, s, gop + static_cast<std::uint32_t>(s)});
            }
            frames.push_back({-1, s, 0});
        }
    };
    seconds(0, 30, {0, 1}, 1);
    seconds(30, 50, {0}, 1);
    seconds(60, 110, {0, 1}, 1);
    seconds(20, 45, {0, 1}, 1000);
    return frames;
}

// Frames [from, to) of the script; frame i gets media ID i + 1.
void play(StorageFixture& f, const std::vector<ScriptFrame>& frames, std::size_t from, std::size_t to,
          std::vector<std::uint32_t>* sections = nullptr) {
    for (std::size_t i = from; i < to; ++i) {
        const ScriptFrame& frame = frames[i];
        if (frame.channel < 0) {
            f.record(f.frames.audio(0, 0, at(frame.second), 40));
        } else {
            f.record(f.frames.video(frame.channel, frame.gop, 0, at(frame.second), 200));
        }
        if (sections != nullptr) {
            sections->push_back(f.storage->lastSectionID());
        }
    }
}

std::string describe(const std::vector<RecordingTableVerifier::Section>& sections) {
    std::string text;
    for (const RecordingTableVerifier::Section& section : sections) {
        text += "#" + std::to_string(section.id) + " from " + std::to_string(section.first.mediaID()) + " " +
                section.first.dateTime().toString() + ":";
        for (const Interval& run : section.runs) {
            text += " " + run.toString();
        }
        text += "\n";
    }
    return text;
}

std::string sectionsOf(Storage& storage) {
    RecordingTableVerifier verifier(storage);
    if (!verifier.verify(RecordingTableVerifier::Depth::Full)) {
        return verifier.problem();
    }
    return describe(verifier.sections());
}

// Every video frame of the script as the resume record, the process killed
// some frames later (with or without its timeline saved), the next open,
// the cut back to the record and the rest of the script archived again: the
// table ends as the table of the script recorded without a break.
TEST(RecordingTableTest, AResumeFromAnyFrameAfterAKillGivesTheTableOfARecordingWithoutBreak) {
    const std::vector<ScriptFrame> frames = script();
    std::vector<std::uint32_t> sectionOf;
    std::string want;
    {
        StorageFixture reference(200);
        play(reference, frames, 0, frames.size(), &sectionOf);
        reference.reopen();
        want = sectionsOf(*reference.storage);
        ASSERT_NE(want.find("#2"), std::string::npos) << want;
        ASSERT_EQ(want.find("#3"), std::string::npos) << want;
    }
    int points = 0;
    for (std::size_t record = 0; record < frames.size(); record += 1 + record % 5) {
        if (frames[record].channel < 0) {
            continue;
        }
        const std::uint64_t recordID = record + 1;
        for (const std::size_t later : {std::size_t{0}, std::size_t{4}, std::size_t{80}}) {
            for (const bool timelineSaved : {false, true}) {
                SCOPED_TRACE("record " + std::to_string(recordID) + ", killed " + std::to_string(later) +
                             " frames later, timeline " + (timelineSaved ? "saved" : "not saved"));
                StorageFixture f(200);
                play(f, frames, 0, record + 1);
                f.storage->flushTracks();
                play(f, frames, record + 1, std::min(frames.size(), record + 1 + later));
                killProcess(f, timelineSaved);
                expectDescribed(*f.storage);
                f.storage->truncateAfter(sectionOf[record], recordID);
                expectDescribed(*f.storage);
                EXPECT_EQ(f.storage->lastSectionID(), sectionOf[record]);
                play(f, frames, record + 1, frames.size());
                f.reopen();
                ASSERT_EQ(sectionsOf(*f.storage), want);
                ++points;
            }
        }
    }
    EXPECT_GT(points, 100);
}

// Damage the verifier must see, written into a sound table by hand: a
// section that begins without a stop of the one before, an entry after a
// stop that names another element than the next one, an entry that names an
// element of another second.
TEST(RecordingTableTest, TheVerifierFindsEntriesThatMisdescribeTheTimeline) {
    struct Case {
        const char* name;
        std::function<RecordingTableElement(const std::vector<RecordingTableElement>&, Storage&)> bogus;
        bool quick;
    };
    auto elementOf = [](Storage& storage, std::int64_t second, int channel) {
        TrackIterator it(storage, PageType::Timeline);
        for (bool more = it.first(); more; more = it.next()) {
            TimelineElement element;
            it.read(element);
            if (element.mediaType() == 0 && element.dateTime() == at(second) &&
                element.channelMask().word() == (1u << channel)) {
                return std::make_pair(element, it.position());
            }
        }
        ADD_FAILURE() << "no element of second " << second;
        return std::make_pair(TimelineElement(), PagePosition{});
    };
    const std::vector<Case> cases = {
        {"a section without a stop before it",
         [&](const std::vector<RecordingTableElement>& table, Storage& storage) {
             const auto [element, position] = elementOf(storage, 45, 0);
             RecordingTableElement entry = table.back();
             entry.setSectionID(2);
             entry.setDateTime(element.dateTime());
             entry.setPosition(position);
             entry.setMediaID(element.mediaID());
             return entry;
         },
         true},
        {"an entry of a second already described",
         [&](const std::vector<RecordingTableElement>& table, Storage& storage) {
             const auto [element, position] = elementOf(storage, 10, 0);
             RecordingTableElement entry = table.back();
             entry.setDateTime(element.dateTime());
             entry.setPosition(position);
             entry.setMediaID(element.mediaID());
             return entry;
         },
         true},
        {"an entry naming an element of another second",
         [&](const std::vector<RecordingTableElement>& table, Storage& storage) {
             const auto [element, position] = elementOf(storage, 50, 0);
             RecordingTableElement entry = table.back();
             entry.setDateTime(at(52));
             entry.setPosition(position);
             entry.setMediaID(element.mediaID());
             return entry;
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StorageFixture f(200);
        recordSteadily(f, 0, 60);
        {
            RecordingTableVerifier verifier(*f.storage);
            ASSERT_TRUE(verifier.verify(RecordingTableVerifier::Depth::Full)) << verifier.problem();
        }
        RecordingTableElement bogus = c.bogus(entries(*f.storage), *f.storage);
        {
            Mutex::ScopedLock lock(f.storage->writeMutex());
            f.storage->recordingTable().write(bogus);
        }
        for (const auto depth : {RecordingTableVerifier::Depth::Quick, RecordingTableVerifier::Depth::Full}) {
            RecordingTableVerifier verifier(*f.storage);
            EXPECT_FALSE(verifier.verify(depth));
            EXPECT_NE(verifier.problem().find("recording table: "), std::string::npos) << verifier.problem();
        }
    }
}

// The runs: a pause the table does not know of (its stop and the entry
// after the pause lost) passes the quick verification of the entries and is
// found by the walk over the timeline.
TEST(RecordingTableTest, TheFullVerificationComparesTheRunsWithTheTimeline) {
    StorageFixture f(200);
    recordSteadily(f, 0, 20);
    f.storage->flush();
    recordSteadily(f, 30, 40);
    f.reopen();
    {
        RecordingTableVerifier verifier(*f.storage);
        ASSERT_TRUE(verifier.verify(RecordingTableVerifier::Depth::Full)) << verifier.problem();
        ASSERT_EQ(verifier.sections().size(), 1u);
        EXPECT_EQ(verifier.sections()[0].runs,
                  (std::vector<Interval>{Interval(at(0), at(19)), Interval(at(30), at(39))}));
    }
    const std::vector<RecordingTableElement> table = entries(*f.storage);
    ASSERT_GE(table.size(), 3u);
    {
        Mutex::ScopedLock lock(f.storage->writeMutex());
        RecordingTableElement scratch;
        f.storage->recordingTable().Track::truncateAfter(table[0].mediaID(), scratch);
    }
    ASSERT_TRUE(f.storage->close(false));
    f.storage = f.memory.storage(FixedSizeFileStorage::Access::ReadOnly);
    ASSERT_TRUE(f.storage->open("fixture.strg", false, 0));
    RecordingTableVerifier verifier(*f.storage);
    EXPECT_TRUE(verifier.verify(RecordingTableVerifier::Depth::Quick)) << verifier.problem();
    EXPECT_FALSE(verifier.verify(RecordingTableVerifier::Depth::Full));
    EXPECT_NE(verifier.problem().find("describes [2024/03/01 10:00:00, 2024/03/01 10:00:39]"), std::string::npos)
        << verifier.problem();
}

} // namespace
} // namespace ostrel
namespace ostrel {
namespace {

// The archiver's cut back to a resume record in a group (Archiver::truncateAfter):
// members other than the recording one that hold items after the record are
// cut too, and a recording member left with older sections than another
// continues in a new section above them all.
void cutGroupBack(StorageGroup& group, std::uint32_t section, std::uint64_t record) {
    Storage* current = group.current();
    for (Storage* member : group.recordStorages()) {
        if (member != current && member->lastIssuedItemID() > record) {
            member->truncateAfter(section, record);
        }
    }
    group.truncateAfter(section, record);
    std::uint32_t newest = 0;
    for (const Storage* member : group.recordStorages()) {
        if (member != current && member->hasTrack(PageType::Timeline)) {
            newest = std::max(newest, member->lastSectionID());
        }
    }
    if (newest != 0 && current->lastSectionID() <= newest) {
        {
            Mutex::ScopedLock lock(current->writeMutex());
            current->timeline().appendPage(nullptr);
        }
        current->setNextSectionID(newest + 1);
    }
}

// Recording moves from a small member to a larger one; the resume record is
// stored before, at or after the move, the process killed some frames later
// (with the recording member's media pages, or media and timeline pages,
// saved), the group opened again, cut back to the record and the rest
// recorded: every member's table describes its timeline, the sections rise
// with the media IDs across the members, and the group never runs out of
// room (a member that lost its newest section to the kill must not pass for
// an older one).
TEST(RecordingTableTest, AResumeAroundAMoveToAnotherMemberKeepsTheSectionsInOrder) {
    const std::vector<ScriptFrame> frames = [] {
        std::vector<ScriptFrame> all;
        for (std::int64_t s = 0; s < 300; ++s) {
            all.push_back({0, s, 1 + static_cast<std::uint32_t>(s)});
            all.push_back({-1, s, 0});
        }
        return all;
    }();
    struct Group {
        test::StorageFixture a{16};
        test::StorageFixture b{80};
        std::unique_ptr<StorageGroup> group;
        std::vector<std::uint32_t> sections;
        Group() { open(); }
        void open() {
            group = std::make_unique<StorageGroup>();
            group->addStorage(*a.storage);
            group->addStorage(*b.storage);
            group->selectRecordingStorage(UniqueID::nil(), 0);
        }
        // Writes frames [from, to); false when the group has no room.
        bool play(const std::vector<ScriptFrame>& all, std::size_t from, std::size_t to) {
            Storage& target = *group;
            for (std::size_t i = from; i < to; ++i) {
                const ScriptFrame& f = all[i];
                MediaElement frame = f.channel < 0 ? a.frames.audio(0, 0, at(f.second), 40)
                                                   : a.frames.video(0, f.gop, 0, at(f.second), 600);
                if (!group->hasSpaceFor(frame)) {
                    return false;
                }
                target.writeTimeline(frame, target.writeMedia(frame));
                sections.push_back(group->lastSectionID());
            }
            return true;
        }
        void reopen(int saved) {
            Storage* current = group->current();
            if (saved >= 1) {
                current->mediaTrack().flush();
            }
            if (saved >= 2) {
                current->timeline().flush();
            }
            group.reset();
            for (test::StorageFixture* f : {&a, &b}) {
                ASSERT_TRUE(f->storage->close(false));
                f->storage = f->memory.storage();
                ASSERT_TRUE(f->storage->open("fixture.strg", true, 2));
            }
            open();
        }
    };
    // Where recording moves to b.
    std::size_t move = 0;
    {
        Group reference;
        for (std::size_t i = 0; i < frames.size() && move == 0; ++i) {
            ASSERT_TRUE(reference.play(frames, i, i + 1));
            if (reference.group->current() == reference.b.storage.get()) {
                move = i;
            }
        }
        ASSERT_GT(move, 20u);
    }
    int points = 0;
    for (std::size_t record = move - 6; record <= move + 8; ++record) {
        if (frames[record].channel < 0) {
            continue;
        }
        for (const std::size_t later : {std::size_t{1}, std::size_t{3}, std::size_t{6}, std::size_t{40}}) {
            for (const int saved : {0, 1, 2}) {
                SCOPED_TRACE("record " + std::to_string(record + 1) + " (move at " + std::to_string(move + 1) +
                             "), killed " + std::to_string(later) + " frames later, saved " + std::to_string(saved));
                Group g;
                ASSERT_TRUE(g.play(frames, 0, record + 1));
                const std::uint32_t section = g.sections.back();
                g.group->flushTracks();
                ASSERT_TRUE(g.play(frames, record + 1, record + 1 + later));
                g.reopen(saved);
                cutGroupBack(*g.group, section, record + 1);
                ASSERT_TRUE(g.play(frames, record + 1, frames.size())) << "the group ran out of room";
                g.group->flush();
                std::vector<std::pair<std::uint64_t, std::uint32_t>> order;
                for (test::StorageFixture* f : {&g.a, &g.b}) {
                    RecordingTableVerifier verifier(*f->storage);
                    EXPECT_TRUE(verifier.verify(RecordingTableVerifier::Depth::Full)) << verifier.problem();
                    for (const RecordingTableVerifier::Section& s : verifier.sections()) {
                        order.emplace_back(s.first.mediaID(), s.id);
                    }
                }
                std::sort(order.begin(), order.end());
                for (std::size_t i = 1; i < order.size(); ++i) {
                    EXPECT_GT(order[i].second, order[i - 1].second)
                        << "section from media ID " << order[i].first << " after section from " << order[i - 1].first;
                }
                ++points;
            }
        }
    }
    EXPECT_GT(points, 50);
}

} // namespace
} // namespace ostrel
