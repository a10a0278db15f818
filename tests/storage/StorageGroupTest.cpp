#include "storage/EventElement.h"
#include "storage/EventTrack.h"
#include "storage/IStorageGroupListener.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrackIterator.h"
#include "storage/Recorder.h"
#include "storage/StorageGroup.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/support/StorageFixture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using test::Frames;
using test::MemoryFile;
using test::at;

constexpr std::uint32_t PageSize = 8192;

// A member file of a test group, formatted with small pages.
struct Member {
    Member(const std::string& name, std::uint32_t pages) : path(name), memory(8192 + std::uint64_t{pages} * PageSize) {
        auto storage = memory.storage();
        storage->open(path, true, 2);
        storage->format(test::smallPageOptions(PageSize));
        storage->close(true);
    }
    std::unique_ptr<FixedSizeFileStorage> open() {
        auto storage = memory.storage();
        EXPECT_TRUE(storage->open(path, true, 2));
        return storage;
    }
    std::string path;
    MemoryFile memory;
};

struct Switches : IStorageGroupListener {
    void recordingStorageChanging(StorageGroup& group) override { from.push_back(group.path()); }
    void recordingStorageChanged(StorageGroup& group) override { to.push_back(group.path()); }
    std::vector<std::string> from;
    std::vector<std::string> to;
};

// Records video frames through the group (10 a second); answers the last position.
PagePosition recordFrames(Recorder& recorder, Frames& frames, int count, std::uint32_t payload,
                          std::int64_t& second, int& index) {
    PagePosition last;
    for (int i = 0; i < count; ++i) {
        MediaElement frame = frames.video(0, static_cast<std::uint32_t>(second), static_cast<std::uint16_t>(index),
                                          at(second), payload, static_cast<std::uint32_t>(i));
        last = recorder.writeFrame(frame);
        if (++index == 10) {
            index = 0;
            ++second;
        }
    }
    return last;
}

TEST(StorageGroupTest, MembersWithoutATimelineAreEmptyInPathOrder) {
    Member c("c.strg", 30);
    Member b("b.strg", 30);
    Member a("a.strg", 30);
    {
        auto storage = c.open();
        Frames frames;
        Recorder recorder;
        recorder.open(*storage);
        std::int64_t second = 0;
        int index = 0;
        recordFrames(recorder, frames, 20, 100, second, index);
        storage->close(true);
    }
    StorageGroup group;
    group.addStorage(c.open());
    group.addStorage(b.open());
    group.addStorage(a.open());
    ASSERT_EQ(group.recordStorages().size(), 1u);
    ASSERT_EQ(group.emptyStorages().size(), 2u);
    EXPECT_EQ(group.emptyStorages()[0]->path(), "a.strg");
    EXPECT_EQ(group.emptyStorages()[1]->path(), "b.strg");
    group.selectRecordingStorage(UniqueID::nil(), 0);
    EXPECT_EQ(group.path(), "c.strg");
    EXPECT_TRUE(group.isOpen());
    EXPECT_EQ(group.pageCount(), 90u);
    EXPECT_EQ(group.capacity(), 90ull * PageSize);
    EXPECT_TRUE(group.close(true));
    EXPECT_FALSE(group.isOpen());
}

TEST(StorageGroupTest, RecordingMovesToEmptyMembersThenBackToTheOldest) {
    Member a("a.strg", 24);
    Member b("b.strg", 24);
    Member c("c.strg", 24);
    StorageGroup group;
    group.addStorage(b.open());
    group.addStorage(a.open());
    group.addStorage(c.open());
    group.selectRecordingStorage(UniqueID::nil(), 0);
    EXPECT_EQ(group.path(), "a.strg");
    Switches switches;
    group.addGroupListener(&switches);
    Recorder recorder;
    recorder.open(group);
    Frames frames;
    std::int64_t second = 0;
    int index = 0;
    for (int round = 0; round < 120; ++round) {
        recordFrames(recorder, frames, 20, 1500, second, index);
    }
    // Empty members first, in path order, then back to the member with the oldest section.
    ASSERT_GE(switches.to.size(), 3u);
    EXPECT_EQ(switches.to[0], "b.strg");
    EXPECT_EQ(switches.to[1], "c.strg");
    EXPECT_EQ(switches.to[2], "a.strg");
    EXPECT_EQ(switches.from[0], "a.strg");
    EXPECT_EQ(switches.from[2], "c.strg");
    EXPECT_EQ(switches.from.size(), switches.to.size());
    // Media IDs and sections go on across the members: each switch opens the next section.
    EXPECT_EQ(group.lastIssuedItemID(), 2400u);
    EXPECT_EQ(group.lastSectionID(), static_cast<std::uint32_t>(switches.to.size() + 1));
    for (Storage* member : group.recordStorages()) {
        MediaTrackIterator media(*member, PageType::Media);
        std::uint64_t previous = 0;
        for (bool more = media.first(); more; more = media.next()) {
            MediaElement frame;
            media.read(frame);
            EXPECT_GT(frame.mediaID(), previous);
            previous = frame.mediaID();
        }
    }
    Interval interval;
    ASSERT_TRUE(group.recordingInterval(interval));
    EXPECT_EQ(interval.to(), at(second - (index == 0 ? 1 : 0)));
    std::vector<RecordingRun> runs;
    group.recordingTimeTable(BitMask32(BitMask32::AllBits), Interval(DateTime(1970, 1, 1, 0, 0, 0), DateTime()), runs);
    ASSERT_FALSE(runs.empty());
    for (std::size_t i = 1; i < runs.size(); ++i) {
        EXPECT_LE(runs[i - 1].sectionID, runs[i].sectionID);
    }
    recorder.close();
    group.removeGroupListener(&switches);
    EXPECT_TRUE(group.close(true));
}

TEST(StorageGroupTest, AnEventForAFrameOfTheOldMemberGoesThere) {
    Member a("a.strg", 10);
    Member b("b.strg", 30);
    StorageGroup group;
    group.addStorage(a.open());
    group.addStorage(b.open());
    group.selectRecordingStorage(UniqueID::nil(), 0);
    Recorder recorder;
    recorder.open(group);
    Frames frames;
    std::int64_t second = 0;
    int index = 0;
    PagePosition position;
    std::uint64_t lastInA = 0;
    while (group.path() == "a.strg") {
        MediaElement frame = frames.video(0, static_cast<std::uint32_t>(second), static_cast<std::uint16_t>(index),
                                          at(second), 1500);
        const PagePosition written = recorder.writeFrame(frame);
        if (group.path() == "a.strg") {
            position = written;
            lastInA = frame.mediaID();
        }
        if (++index == 10) {
            index = 0;
            ++second;
        }
    }
    ASSERT_NE(group.previous(), nullptr);
    EventElement event;
    event.setMediaID(lastInA);
    event.setTimelinePos(position);
    event.setDateTime(at(0));
    event.setChannelMask(BitMask32(1));
    group.writeEvent(event, true);
    {
        TrackIterator events(*group.previous(), PageType::Event);
        ASSERT_TRUE(events.first());
        EventElement stored;
        events.read(stored);
        EXPECT_EQ(stored.mediaID(), lastInA);
    }
    EXPECT_FALSE(group.current()->hasTrack(PageType::Event));
    recorder.close();
    group.close(true);
}

TEST(StorageGroupTest, ReopeningOnAnotherStorageThanTheFileNamesSkipsASection) {
    Member a("a.strg", 30);
    Member b("b.strg", 30);
    UniqueID recorded;
    std::uint32_t lastSection = 0;
    {
        StorageGroup group;
        group.addStorage(a.open());
        group.addStorage(b.open());
        group.selectRecordingStorage(UniqueID::nil(), 0);
        Recorder recorder;
        recorder.open(group);
        Frames frames;
        std::int64_t second = 0;
        int index = 0;
        recordFrames(recorder, frames, 30, 100, second, index);
        recorded = group.storageID();
        lastSection = group.lastSectionID();
        recorder.close();
        group.close(true);
    }
    {
        StorageGroup group;
        group.addStorage(a.open());
        group.addStorage(b.open());
        group.selectRecordingStorage(recorded, lastSection);
        EXPECT_EQ(group.lastSectionID(), lastSection);
        group.close(false);
    }
    {
        StorageGroup group;
        group.addStorage(a.open());
        group.addStorage(b.open());
        group.selectRecordingStorage(UniqueID(), lastSection);
        EXPECT_EQ(group.lastSectionID(), lastSection + 2);
        group.close(false);
    }
}

TEST(StorageGroupTest, AFullSingleMemberOverwritesItselfAndRoomChecksSeeAFullGroup) {
    Member a("a.strg", 20);
    StorageGroup group;
    group.addStorage(a.open());
    group.selectRecordingStorage(UniqueID::nil(), 0);
    Recorder recorder;
    recorder.open(group);
    Frames frames;
    std::int64_t second = 0;
    int index = 0;
    bool sawFull = false;
    for (int round = 0; round < 60; ++round) {
        MediaElement probe = frames.video(0, 1, 0, at(second), 1500);
        sawFull = sawFull || !group.hasSpaceFor(probe);
        recordFrames(recorder, frames, 20, 1500, second, index);
        EXPECT_EQ(group.path(), "a.strg");
    }
    EXPECT_TRUE(sawFull);
    EXPECT_EQ(group.lastSectionID(), 1u);
    EXPECT_EQ(group.lastIssuedItemID(), 1200u);
    recorder.close();
    EXPECT_TRUE(group.close(true));
}

TEST(StorageGroupTest, InfoGoesToTheCurrentMemberOrToAll) {
    Member a("a.strg", 20);
    Member b("b.strg", 20);
    StorageGroup group;
    group.addStorage(a.open());
    group.addStorage(b.open());
    group.selectRecordingStorage(UniqueID::nil(), 0);
    group.writeInfoToAll("VideoInNum", "16", false);
    group.writeInfo("LastVideoMediaID", "42", true);
    std::string value;
    EXPECT_TRUE(group.readInfo("LastVideoMediaID", value));
    EXPECT_EQ(value, "42");
    for (Storage* member : group.emptyStorages()) {
        EXPECT_TRUE(member->readInfo("VideoInNum", value));
        EXPECT_FALSE(member->readInfo("LastVideoMediaID", value));
    }
    group.close(true);
}

} // namespace
} // namespace ostrel
