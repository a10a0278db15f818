#include "storage/EventElement.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/IFreePageAllocator.h"
#include "storage/LogMessage.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrackIterator.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/pager/Page.h"
#include "storage/pager/SuperBlock.h"
#include "storage/support/Frames.h"
#include "storage/support/SharedStorageFile.h"
#include "storage/util/IntegrityChecker.h"
#include "storage/util/StorageChecker.h"
#include "storage/util/internal/TrackCorrector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using test::Frames;
using test::at;

constexpr std::uint32_t PageSize = 8192;
constexpr std::uint32_t Pages = 60;
constexpr std::uint64_t FileSize = 8192 + std::uint64_t{Pages} * PageSize;

struct Fixture {
    explicit Fixture(const RecorderType& type = RecorderType::Flac) : memory(FileSize) {
        storage = make();
        storage->open("c.strg", true, 2);
        StorageFormatOptions options;
        options.pageSize = PageSize;
        options.recorderType = type;
        storage->format(options);
    }
    std::unique_ptr<FixedSizeFileStorage> make(FixedSizeFileStorage::Access access = FixedSizeFileStorage::Access::ReadWrite) {
        return std::make_unique<FixedSizeFileStorage>(memory.opener(), access);
    }
    // Key frames only, so every frame is indexed by the timeline.
    void record(int count, std::uint32_t size = 200) {
        for (int k = 0; k < count; ++k, ++recorded) {
            const int i = recorded;
            MediaElement frame = frames.video(0, static_cast<std::uint32_t>(i + 1), 0, at(i), size,
                                              static_cast<std::uint32_t>(i));
            storage->writeTimeline(frame, storage->writeMedia(frame));
        }
    }
    int recorded = 0;
    bool reopen(int mode = 2) {
        storage->close(true);
        storage = make();
        return storage->open("c.strg", true, mode);
    }
    TrackListItem track(const PageType& type) const { return *storage->findTrack(type); }
    std::uint64_t pageOffset(std::uint32_t page) const { return 4096 + std::uint64_t{page - 1} * PageSize; }
    void putPageWord(std::uint32_t page, std::uint32_t field, std::uint32_t value) {
        std::memcpy(memory.file.bytes().data() + pageOffset(page) + field, &value, 4);
    }
    std::uint32_t pageWord(std::uint32_t page, std::uint32_t field) const {
        std::uint32_t value;
        std::memcpy(&value, const_cast<test::MemoryFile&>(memory).file.bytes().data() + pageOffset(page) + field, 4);
        return value;
    }
    void putBigEndian(std::uint64_t offset, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            memory.file.bytes()[offset + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
        }
    }
    std::vector<std::string> log() const {
        std::vector<std::string> texts;
        for (const LogMessage& message : storage->readLog()) {
            texts.push_back(message.text);
        }
        return texts;
    }
    bool logged(const std::string& start) const {
        const std::vector<std::string> texts = log();
        return std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.rfind(start, 0) == 0; });
    }
    std::vector<std::uint64_t> timelineIDs() {
        std::vector<std::uint64_t> ids;
        TrackIterator it(*storage, PageType::Timeline);
        MediaTrackIterator media(*storage, PageType::Media);
        for (bool more = it.first(); more; more = it.next()) {
            TimelineElement element;
            it.read(element);
            MediaElement frame;
            EXPECT_TRUE(media.seek(element.mediaPosition()));
            media.read(frame);
            EXPECT_EQ(frame.mediaID(), element.mediaID());
            ids.push_back(element.mediaID());
        }
        return ids;
    }

    test::MemoryFile memory;
    Frames frames;
    std::unique_ptr<FixedSizeFileStorage> storage;
};

TEST(StorageCorrectorTest, CleanStorageChecksAndOpensUnchangedInEveryMode) {
    Fixture f;
    f.record(300);
    for (int mode : {0, 1, 2}) {
        ASSERT_TRUE(f.reopen(mode)) << mode;
        EXPECT_TRUE(StorageChecker(*f.storage).check());
        EXPECT_EQ(f.timelineIDs().size(), 300u);
        EXPECT_EQ(f.storage->nextItemID(), 301u);
    }
    f.storage->close(true);
    auto readOnly = f.make(FixedSizeFileStorage::Access::ReadOnly);
    EXPECT_TRUE(readOnly->open("c.strg", false, 2));
}

TEST(StorageCorrectorTest, EmptyMediaTrackDeletesEveryDataTrack) {
    Fixture f;
    ASSERT_TRUE(f.reopen(2));
    EXPECT_TRUE(f.logged("[CORRECTION] empty"));
    EXPECT_FALSE(f.storage->hasTrack(PageType::Timeline));
    EXPECT_FALSE(f.storage->hasTrack(PageType::Media));
    f.record(3);
    EXPECT_EQ(f.timelineIDs().size(), 3u);
}

TEST(StorageCorrectorTest, BrokenMediaLastPageIsReplacedThroughTheTimeline) {
    Fixture f;
    f.record(120, 1500);
    const TrackListItem media = f.track(PageType::Media);
    ASSERT_NE(media.firstPage(), media.lastPage());
    f.storage->close(true);
    // The recorded last page no longer carries the identity the track list names.
    f.putPageWord(media.lastPage(), 60, f.pageWord(media.lastPage(), 60) ^ 0x5A5A5A5A);
    f.storage = f.make();
    ASSERT_TRUE(f.storage->open("c.strg", true, 2));
    EXPECT_TRUE(f.logged("MDEA Type recover"));
    EXPECT_TRUE(f.logged("[MDEA] "));
    EXPECT_NE(f.track(PageType::Media).lastPage(), media.lastPage());
    EXPECT_TRUE(f.storage->freePageAllocator().isFree(media.lastPage()));
    const std::vector<std::uint64_t> ids = f.timelineIDs();
    ASSERT_FALSE(ids.empty());
    EXPECT_LT(ids.back(), 120u);
    EXPECT_TRUE(StorageChecker(*f.storage).check());
    // Numbering continues after the frames that are still stored.
    f.record(1);
    EXPECT_EQ(f.timelineIDs().back(), ids.back() + 1);
}

TEST(StorageCorrectorTest, TimelineFallsBackToItsOwnChainWhenTheRecordingTableCannotLead) {
    Fixture f;
    f.record(400);
    const TrackListItem timeline = f.track(PageType::Timeline);
    const TrackListItem table = f.track(PageType::RecordingTable);
    ASSERT_NE(timeline.firstPage(), timeline.lastPage());
    ASSERT_EQ(table.firstPage(), table.lastPage());
    f.storage->close(true);
    f.putPageWord(timeline.lastPage(), 60, f.pageWord(timeline.lastPage(), 60) ^ 0x11111111);
    f.putPageWord(table.lastPage(), 60, f.pageWord(table.lastPage(), 60) ^ 0x22222222);
    f.storage = f.make();
    ASSERT_TRUE(f.storage->open("c.strg", true, 2));
    EXPECT_TRUE(f.logged("RTBL Track delete"));
    EXPECT_TRUE(f.logged("TIML Type recover"));
    EXPECT_NE(f.track(PageType::Timeline).lastPage(), timeline.lastPage());
    // The rebuild indexes the frames of the lost timeline page again.
    const std::vector<std::uint64_t> ids = f.timelineIDs();
    ASSERT_EQ(ids.size(), 400u);
    EXPECT_EQ(ids.back(), 400u);
    EXPECT_TRUE(f.storage->hasTrack(PageType::RecordingTable));
    EXPECT_TRUE(StorageChecker(*f.storage).check());
}

TEST(StorageCorrectorTest, MediaFallsBackToItsOwnChainWhenTheTimelineCannotLead) {
    Fixture f;
    f.record(120, 1500);
    const TrackListItem media = f.track(PageType::Media);
    const TrackListItem timeline = f.track(PageType::Timeline);
    ASSERT_EQ(timeline.firstPage(), timeline.lastPage());
    f.storage->close(true);
    f.putPageWord(media.lastPage(), 60, f.pageWord(media.lastPage(), 60) ^ 0x5A5A5A5A);
    f.putPageWord(timeline.lastPage(), 60, f.pageWord(timeline.lastPage(), 60) ^ 0x33333333);
    f.storage = f.make();
    ASSERT_TRUE(f.storage->open("c.strg", true, 2));
    EXPECT_TRUE(f.logged("TIML Track delete"));
    EXPECT_TRUE(f.logged("MDEA Type recover"));
    const TrackListItem now = f.track(PageType::Media);
    EXPECT_NE(now.lastPage(), media.lastPage());
    // Every frame left in the media track is indexed again by the rebuild.
    const std::vector<std::uint64_t> ids = f.timelineIDs();
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.front(), 1u);
    for (std::size_t i = 1; i < ids.size(); ++i) {
        EXPECT_EQ(ids[i], ids[i - 1] + 1);
    }
    EXPECT_TRUE(StorageChecker(*f.storage).check());
}

TEST(StorageCorrectorTest, TornLastTimelinePageKeepsItsSoundElements) {
    Fixture f;
    f.record(50);
    const TrackListItem timeline = f.track(PageType::Timeline);
    f.storage->close(true);
    // The sector holding the newest elements never reached the disk.
    const std::uint32_t lastOffset = f.pageWord(timeline.lastPage(), 28);
    const std::uint64_t sector = (f.pageOffset(timeline.lastPage()) + lastOffset) / 512 * 512;
    std::fill_n(f.memory.file.bytes().begin() + static_cast<std::ptrdiff_t>(sector), 512, 0);
    f.storage = f.make();
    ASSERT_TRUE(f.storage->open("c.strg", true, 2));
    const std::vector<std::uint64_t> ids = f.timelineIDs();
    EXPECT_EQ(ids.size(), 50u); // the rebuild from the media track restores the rest
    EXPECT_TRUE(f.logged("[TIML] "));
    EXPECT_TRUE(StorageChecker(*f.storage).check());
}

TEST(StorageCorrectorTest, CheckOnlyReportsDamageThatCorrectionRepairs) {
    Fixture f;
    f.record(120, 1500);
    const TrackListItem media = f.track(PageType::Media);
    f.storage->close(true);
    f.putPageWord(media.lastPage(), 60, f.pageWord(media.lastPage(), 60) ^ 0x5A5A5A5A);
    f.storage = f.make();
    EXPECT_FALSE(f.storage->open("c.strg", true, 0));
    f.storage = f.make();
    ASSERT_TRUE(f.storage->open("c.strg", true, 1));
    f.storage->close(true);
    f.storage = f.make();
    EXPECT_TRUE(f.storage->open("c.strg", true, 0));
}

// Records until the storage has no free page left (the overwrite then keeps
// it full) and drops the journal entry from its track list.
std::uint32_t fillAndLoseTheJournalEntry(Fixture& f, bool andTheMediaEntry = false) {
    // The overwrite frees a timeline page's worth of media at a time: stop
    // at the frame that took the last free page.
    for (int frame = 0; frame < 2000 && f.storage->freePageCount() > 0; ++frame) {
        f.record(1, 1500);
    }
    EXPECT_EQ(f.storage->freePageCount(), 0u);
    EXPECT_TRUE(f.reopen(2));
    EXPECT_EQ(f.storage->freePageCount(), 0u);
    const std::uint32_t journal = f.track(PageType::Journal).firstPage();
    f.storage->superBlock().removeTrack(PageType::Journal);
    if (andTheMediaEntry) {
        f.storage->superBlock().removeTrack(PageType::Media);
    }
    f.storage->superBlock().save();
    f.storage->close(false);
    return journal;
}

TEST(StorageCorrectorTest, FullStorageThatLostItsJournalEntryTakesItsJournalPageBack) {
    Fixture f;
    const std::uint32_t journal = fillAndLoseTheJournalEntry(f);
    f.storage = f.make();
    ASSERT_TRUE(f.storage->open("c.strg", true, 2));
    ASSERT_TRUE(f.storage->hasTrack(PageType::Journal));
    EXPECT_EQ(f.track(PageType::Journal).firstPage(), journal);
    EXPECT_TRUE(f.logged("[JOURNAL] page " + std::to_string(journal) + " taken back"));
    const std::vector<std::uint64_t> ids = f.timelineIDs();
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(f.storage->freePageCount(), 0u);
    EXPECT_TRUE(StorageChecker(*f.storage).check());
    // Recording goes on, journaled through the page taken back.
    f.record(5, 1500);
    EXPECT_EQ(f.timelineIDs().back(), ids.back() + 5);
    ASSERT_TRUE(f.reopen(2));
    EXPECT_EQ(f.track(PageType::Journal).firstPage(), journal);
}

TEST(StorageCorrectorTest, FullStorageWithoutJournalOrMediaPageToSpareIsRepairedAtOpen) {
    Fixture f;
    // The journal page itself is gone too, and so is the media entry that
    // could have lent its last page: the correction refuses the track list,
    // and the repair that follows takes the damage out of use so the storage
    // opens after all, whole by the full check.
    const std::uint32_t journal = fillAndLoseTheJournalEntry(f, true);
    f.putPageWord(journal, 0, 0);
    f.storage = f.make();
    ASSERT_TRUE(f.storage->open("c.strg", true, 2));
    EXPECT_TRUE(f.logged("[REPAIR] done"));
    EXPECT_TRUE(f.storage->hasTrack(PageType::Journal));
    EXPECT_TRUE(StorageChecker(*f.storage).check());
    f.storage->close(true);
    IntegrityChecker checker(f.memory.file);
    EXPECT_TRUE(checker.run()) << (checker.findings().empty() ? "" : checker.findings().front().toString());
}

// Frames with an event each: 300 in one section (the events fill more than
// two event pages), then 100 in the next. Answers the two section IDs.
std::pair<std::uint32_t, std::uint32_t> recordEventsInTwoSections(Fixture& f) {
    auto record = [&](int count) {
        for (int k = 0; k < count; ++k, ++f.recorded) {
            const int i = f.recorded;
            MediaElement frame = f.frames.video(0, static_cast<std::uint32_t>(i + 1), 0, at(i), 200,
                                                static_cast<std::uint32_t>(i));
            const PagePosition timeline = f.storage->writeTimeline(frame, f.storage->writeMedia(frame));
            EventElement event;
            event.setEventType(1);
            event.setMediaID(frame.mediaID());
            event.setTimelinePos(timeline);
            event.setChannelMask(frame.channelMask());
            event.setDateTime(at(i));
            f.storage->writeEvent(event, false);
        }
    };
    record(300);
    const std::uint32_t first = f.storage->lastSectionID();
    f.storage->setNextSectionID(first + 1);
    record(100);
    f.storage->flush();
    return {first, f.storage->lastSectionID()};
}

std::vector<std::uint64_t> eventIDs(Storage& storage) {
    std::vector<std::uint64_t> ids;
    TrackIterator it(storage, PageType::Event);
    for (bool more = it.first(); more; more = it.next()) {
        EventElement event;
        it.read(event);
        ids.push_back(event.mediaID());
    }
    return ids;
}

TEST(StorageCorrectorTest, ArchiveStoragesCutTracksBeforeASectionAndIDPair) {
    struct Case {
        RecorderType type;
        int section; // 0: none, 1: the first section, 2: the second
        std::uint64_t before;
        std::uint64_t firstKept;
        std::size_t kept;
    };
    const Case cases[] = {
        // By ID alone: the section given changes nothing.
        {RecorderType::Flac, 2, 20, 20, 381},
        {RecorderType::Flac, 1, 350, 350, 51},
        // By (section, ID): an earlier section goes whole, a later one stays whole.
        {RecorderType::Archive, 2, 20, 301, 100},
        {RecorderType::Archive, 1, 350, 301, 100},
        {RecorderType::Archive, 1, 20, 20, 381},
        // Without a section the order is by ID in an archive storage too.
        {RecorderType::Archive, 0, 20, 20, 381},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type.toString() + " section " + std::to_string(c.section) + " before " +
                     std::to_string(c.before));
        Fixture f(c.type);
        const auto [first, second] = recordEventsInTwoSections(f);
        ASSERT_EQ(second, first + 1);
        const std::uint32_t section = c.section == 0 ? 0 : c.section == 1 ? first : second;
        const std::uint64_t freeBefore = f.storage->freePageCount();
        const TrackListItem events = f.track(PageType::Event);
        TrackCorrector(*f.storage).truncateBefore(PageType::Event, c.before, section);
        std::vector<std::uint64_t> ids = eventIDs(*f.storage);
        ASSERT_EQ(ids.size(), c.kept);
        EXPECT_EQ(ids.front(), c.firstKept);
        EXPECT_EQ(ids.back(), 400u);
        // Pages wholly before the cut went back to the free list.
        const std::uint64_t freed = f.storage->freePageCount() - freeBefore;
        EXPECT_EQ(freed, c.firstKept > 252 ? 2u : 0u);
        EXPECT_EQ(f.track(PageType::Event).lastPage(), events.lastPage());
        f.storage->close(false);
        f.storage = f.make();
        ASSERT_TRUE(f.storage->open("c.strg", true, 2));
        ids = eventIDs(*f.storage);
        ASSERT_EQ(ids.size(), c.kept);
        EXPECT_EQ(ids.front(), c.firstKept);
        EXPECT_TRUE(StorageChecker(*f.storage).check());
    }
}

// A version-2 image: the free-page-list page only in the superblock field.
void makeVersion2(Fixture& f, bool keepFreeEntry) {
    const TrackListItem free = f.track(PageType::FreePageList);
    if (!keepFreeEntry) {
        f.storage->superBlock().removeTrack(PageType::FreePageList);
        f.storage->superBlock().save();
    }
    f.storage->close(false);
    f.putBigEndian(16, 2);
    f.putBigEndian(68, free.firstPage());
}

TEST(StorageCorrectorTest, Version2GainsTheFreeEntryAndVersion3) {
    Fixture f;
    f.record(5);
    const TrackListItem free = f.track(PageType::FreePageList);
    makeVersion2(f, false);
    f.storage = f.make();
    ASSERT_TRUE(f.storage->open("c.strg", true, 2));
    EXPECT_EQ(f.storage->superBlock().version(), 3u);
    ASSERT_TRUE(f.storage->hasTrack(PageType::FreePageList));
    EXPECT_EQ(f.track(PageType::FreePageList).firstPage(), free.firstPage());
    EXPECT_EQ(f.track(PageType::FreePageList).firstPageChecksum(), free.firstPageChecksum());
    EXPECT_TRUE(f.logged("[MIGRATE] to ver.3"));
    f.storage->close(true);
    f.storage = f.make();
    ASSERT_TRUE(f.storage->open("c.strg", true, 2));
    EXPECT_EQ(f.storage->superBlock().version(), 3u);
    EXPECT_TRUE(f.storage->hasTrack(PageType::FreePageList));
}

TEST(StorageCorrectorTest, Version2WithFreeEntryIsOnlyRenumbered) {
    Fixture f;
    makeVersion2(f, true);
    f.storage = f.make();
    ASSERT_TRUE(f.storage->open("c.strg", true, 2));
    EXPECT_EQ(f.storage->superBlock().version(), 3u);
    std::size_t entries = 0;
    for (const TrackListItem& item : f.storage->tracks()) {
        entries += item.type() == PageType::FreePageList ? 1 : 0;
    }
    EXPECT_EQ(entries, 1u);
}

TEST(StorageCorrectorTest, CurrentVersionIsNotMigrated) {
    Fixture f;
    ASSERT_TRUE(f.reopen(2));
    EXPECT_EQ(f.storage->superBlock().version(), 4u);
    EXPECT_FALSE(f.logged("[MIGRATE]"));
}

} // namespace
} // namespace ostrel
