#include "base/File.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/EventElement.h"
#include "storage/EventTrack.h"
#include "storage/IStorageListener.h"
#include "storage/InfoTrack.h"
#include "storage/MediaElement.h"
#include "storage/VarnelException.h"
#include "storage/pager/SuperBlock.h"
#include "storage/support/Frames.h"
#include "storage/support/SharedStorageFile.h"
#include "storage/support/TempDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using test::Frames;
using test::MemoryFile;
using test::at;

constexpr std::uint32_t PageSize = 8192;

StorageFormatOptions optionsFor(std::uint32_t pageSize = PageSize) {
    StorageFormatOptions options;
    options.repositoryID = UniqueID();
    options.pageSize = pageSize;
    options.recorderType = RecorderType::Flac;
    return options;
}

std::uint64_t fileOf(std::uint32_t pages, std::uint32_t pageSize = PageSize) {
    return 8192 + std::uint64_t{pages} * pageSize;
}

bool hasLine(const std::vector<LogMessage>& log, const std::string& start) {
    return std::any_of(log.begin(), log.end(),
                       [&](const LogMessage& m) { return m.text.rfind(start, 0) == 0; });
}

// A clock whose wall time the test moves.
class TestClock : public Clock {
public:
    DateTime now() const override { return wall; }
    DateTime nowUTC() const override { return wall; }
    std::uint32_t tickCount() const override { return tick; }
    DateTime wall = DateTime(2024, 3, 1, 12, 0, 0);
    std::uint32_t tick = 1000;
};

struct Listener : IStorageListener {
    void usageChanged(Storage&, std::uint64_t free, std::uint64_t total) override {
        usage.emplace_back(free, total);
    }
    void formattingBegins(Storage&) override { events.push_back("begins"); }
    void formattingEnded(Storage&) override { events.push_back("ended"); }
    void sectionChanged(Storage&, std::uint32_t id) override { sections.push_back(id); }
    void trackDeleted(Storage&, const PageType& type) override { deleted.push_back(type.toString()); }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> usage;
    std::vector<std::string> events;
    std::vector<std::uint32_t> sections;
    std::vector<std::string> deleted;
};

TEST(StorageTest, FormatSetsUpFreeListJournalAndLog) {
    MemoryFile memory(fileOf(40));
    auto storage = memory.storage();
    EXPECT_FALSE(storage->open("a.strg", true, 2));
    StorageFormatOptions options = optionsFor();
    options.description = "site archive";
    storage->format(options);
    ASSERT_TRUE(storage->isOpen());
    EXPECT_EQ(storage->pageCount(), 40u);
    auto free = storage->findTrack(PageType::FreePageList);
    auto journal = storage->findTrack(PageType::Journal);
    ASSERT_TRUE(free && journal);
    EXPECT_EQ(free->firstPage(), 1u);
    EXPECT_EQ(journal->firstPage(), 2u);
    EXPECT_TRUE(storage->hasTrack(PageType::Log));
    EXPECT_EQ(storage->recorderType(), RecorderType::Flac);
    EXPECT_EQ(storage->nextItemID(), 1u);
    const std::vector<LogMessage> log = storage->readLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front().text, "[FORMAT-FLAC] id: " + options.repositoryID.toString() +
                                    ", page_size: 8192, desc: site archive");
    ASSERT_TRUE(storage->close(true));

    ASSERT_TRUE(storage->open("a.strg", true, 2));
    const std::vector<LogMessage> reopened = storage->readLog();
    EXPECT_TRUE(hasLine(reopened, "[OPEN] a.strg time_stamp_basis = "));
    EXPECT_TRUE(hasLine(reopened, "[a.strg, CLOSE] flush = true"));
    EXPECT_TRUE(hasLine(reopened, "[OPEN] diff_time_stamp = ") || hasLine(reopened, "[OPEN] boot_time ("));
}

TEST(StorageTest, FormatRefusesAFileTooSmallBeforeWritingAnything) {
    MemoryFile memory(fileOf(2));
    auto storage = memory.storage();
    EXPECT_FALSE(storage->open("small", true, 2));
    Listener listener;
    storage->addListener(&listener);
    try {
        storage->format(optionsFor());
        FAIL() << "a two-page storage was formatted";
    } catch (const VarnelException& e) {
        EXPECT_EQ(e.code(), VarnelException::NotEnoughSpace);
    }
    EXPECT_TRUE(memory.file.writes().empty());
    EXPECT_EQ(listener.events, (std::vector<std::string>{"begins", "ended"}));
    EXPECT_FALSE(storage->isOpen());
    storage->removeListener(&listener);
}

TEST(StorageTest, ReformatContinuesNumberingAndZeroFileStartsAtOne) {
    MemoryFile memory(fileOf(40));
    Frames frames;
    auto storage = memory.storage();
    storage->open("s", true, 2);
    storage->format(optionsFor());
    for (int i = 0; i < 5; ++i) {
        MediaElement frame = frames.video(0, 1, static_cast<std::uint16_t>(i), at(i), 100);
        storage->writeTimeline(frame, storage->writeMedia(frame));
    }
    EXPECT_EQ(storage->lastIssuedItemID(), 5u);
    storage->format(optionsFor());
    EXPECT_EQ(storage->superBlock().firstItemID(), 6u);
    EXPECT_EQ(storage->nextItemID(), 6u);
    ASSERT_TRUE(storage->close(true));

    auto other = memory.storage();
    ASSERT_TRUE(other->open("s", true, 2));
    EXPECT_EQ(other->nextItemID(), 6u);
}

TEST(StorageTest, OpenTakesTheNextItemIDFromTheRecordedFrames) {
    MemoryFile memory(fileOf(40));
    Frames frames;
    {
        auto storage = memory.storage();
        storage->open("s", true, 2);
        storage->format(optionsFor());
        for (int i = 0; i < 4; ++i) {
            MediaElement frame = frames.video(0, 1, static_cast<std::uint16_t>(i), at(i), 300);
            storage->writeTimeline(frame, storage->writeMedia(frame));
        }
        // Not indexed: the media track still holds its ID.
        MediaElement lost = frames.video(0, 1, 9, at(5), 300);
        storage->writeTimeline(lost, storage->writeMedia(lost));
        ASSERT_TRUE(storage->close(true));
    }
    auto storage = memory.storage();
    ASSERT_TRUE(storage->open("s", true, 2));
    EXPECT_EQ(storage->lastTimelineMediaID(), 4u);
    EXPECT_EQ(storage->nextItemID(), 6u);
}

TEST(StorageTest, ListenersHearUsageFormattingAndDeletedTracks) {
    MemoryFile memory(fileOf(40));
    Frames frames;
    auto storage = memory.storage();
    Listener listener;
    storage->addListener(&listener);
    storage->open("s", true, 2);
    storage->format(optionsFor());
    EXPECT_EQ(listener.events, (std::vector<std::string>{"begins", "ended"}));
    ASSERT_FALSE(listener.usage.empty());
    const std::uint64_t freeAfterFormat = storage->freePageCount();
    EventElement event;
    event.setMediaID(1);
    event.setChannelMask(BitMask32(1));
    event.setDateTime(at(0));
    storage->writeEvent(event, true);
    EXPECT_EQ(listener.usage.back(), std::make_pair(freeAfterFormat - 1, std::uint64_t{40}));
    storage->eventTrack().truncateAfter(0);
    EXPECT_EQ(listener.deleted, (std::vector<std::string>{"EVNT"}));
    EXPECT_FALSE(storage->hasTrack(PageType::Event));
    storage->removeListener(&listener);
}

TEST(StorageTest, BootTimeInTheFutureKeepsTheBasis) {
    MemoryFile memory(fileOf(40));
    TestClock clock;
    auto storage = memory.storage();
    storage->setClockSource(&clock);
    storage->open("s", true, 2);
    storage->format(optionsFor());
    clock.tick += 5000;
    storage->flush();
    EXPECT_EQ(storage->timeStamp(), 5u);
    ASSERT_TRUE(storage->close(true));
    const std::uint32_t basis = [&] {
        auto probe = memory.storage(FixedSizeFileStorage::Access::ReadOnly);
        probe->setClockSource(&clock);
        EXPECT_TRUE(probe->open("s", false, 0));
        return probe->superBlock().timeStampBasis();
    }();
    EXPECT_EQ(basis, 5u);
    clock.wall = DateTime(2024, 2, 1, 12, 0, 0);
    ASSERT_TRUE(storage->open("s", true, 2));
    EXPECT_EQ(storage->timeStamp(), 5u);
    EXPECT_TRUE(hasLine(storage->readLog(), "[OPEN] boot_time (2024/03/01 12:00:00) >= current_time (2024/02/01 12:00:00)"));
    clock.wall = DateTime(2024, 2, 1, 12, 0, 30);
    clock.tick += 30000;
    ASSERT_TRUE(storage->close(true));
    ASSERT_TRUE(storage->open("s", true, 2));
    EXPECT_EQ(storage->timeStamp(), 35u);
    EXPECT_TRUE(hasLine(storage->readLog(), "[OPEN] diff_time_stamp = 30"));
}

TEST(StorageTest, WallClockJumpIsReportedOnceAndTheStampKeepsCounting) {
    MemoryFile memory(fileOf(40));
    TestClock clock;
    auto storage = memory.storage();
    storage->setClockSource(&clock);
    storage->open("s", true, 2);
    storage->format(optionsFor());
    clock.tick += 10000;
    clock.wall = DateTime(2024, 3, 1, 11, 0, 0);
    storage->flush();
    EXPECT_EQ(storage->timeStamp(), 10u);
    storage->flush();
    const std::vector<LogMessage> log = storage->readLog();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const LogMessage& m) { return m.text == "[TIME CHANGE] 2024/03/01 11:00:00"; }),
              1);
    EXPECT_EQ(storage->superBlock().timeStampBasis(), 10u);
}

TEST(StorageTest, OpenOfMissingOrUnformattedFiles) {
    test::TempDirectory dir;
    FixedSizeFileStorage missing;
    EXPECT_FALSE(missing.open(dir.file("none.strg"), true, 2));
    const std::string zero = dir.createFile("zero.strg", fileOf(20));
    FixedSizeFileStorage storage;
    EXPECT_FALSE(storage.open(zero, true, 2));
    // The handles stay open: the file can be formatted and used.
    storage.format(optionsFor());
    EXPECT_TRUE(storage.isOpen());
    EXPECT_TRUE(storage.close(true));
    EXPECT_TRUE(storage.open(zero, true, 2));
    EXPECT_EQ(storage.pageCount(), 20u);
}

TEST(StorageTest, TheApplicationsFormatRoutine) {
    test::TempDirectory dir;
    const std::string path = dir.createFile("new.strg", fileOf(20, 524288));
    const UniqueID repository;
    ASSERT_TRUE(FixedSizeFileStorage::formatFile(path, repository));
    FixedSizeFileStorage storage;
    ASSERT_TRUE(storage.open(path, true, 2));
    EXPECT_EQ(storage.repositoryID(), repository);
    EXPECT_EQ(storage.recorderType(), RecorderType::Flac);
    EXPECT_EQ(storage.superBlock().pageSize(), 524288u);
    EXPECT_EQ(storage.pageCount(), 20u);
    storage.close(true);
    // Too small for a storage: every attempt fails.
    const std::string small = dir.createFile("small.strg", fileOf(2, 524288));
    EXPECT_FALSE(FixedSizeFileStorage::formatFile(small, repository));
    EXPECT_FALSE(FixedSizeFileStorage::formatFile(dir.file("missing.strg"), repository));
}

TEST(StorageTest, CloseAfterAFailedOpenWritesNothing) {
    MemoryFile memory(fileOf(20));
    auto storage = memory.storage();
    EXPECT_FALSE(storage->open("s", true, 2));
    EXPECT_TRUE(storage->close(true));
    EXPECT_TRUE(memory.file.writes().empty());
}

TEST(StorageTest, InfoEntriesOfTheFormatOptions) {
    MemoryFile memory(fileOf(20));
    auto storage = memory.storage();
    storage->open("s", true, 2);
    StorageFormatOptions options = optionsFor();
    options.infoEntries = {{"VideoInNum", "16"}, {"AudioInNum", "4"}};
    storage->format(options);
    std::string value;
    EXPECT_TRUE(storage->readInfo("VideoInNum", value));
    EXPECT_EQ(value, "16");
    ASSERT_TRUE(storage->close(true));
    ASSERT_TRUE(storage->open("s", true, 2));
    std::map<std::string, std::string> all;
    storage->allInfo(all);
    EXPECT_EQ(all, options.infoEntries);
}

} // namespace
} // namespace ostrel
