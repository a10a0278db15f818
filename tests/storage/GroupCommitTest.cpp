// The group commit of filled media pages: when a group commits (size, waiting
// time on the storage's clock, the timer when no frame comes, a flush, another
// transaction), what it writes, and what a close without flushing or a failed
// commit leaves. Power loss at every write is CrashRecoveryTest's.

#include "storage/FixedSizeFileStorage.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrack.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/aio/IOException.h"
#include "storage/pager/SuperBlock.h"
#include "storage/support/Frames.h"
#include "storage/support/SharedStorageFile.h"
#include "storage/support/StorageFixture.h"
#include "storage/support/TestClock.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using test::at;
using Write = test::RecordingStorageFile::Write;

constexpr std::uint32_t PageSize = 8192;
// Four frames fill the item area of a page exactly, so no frame continues
// into the next page and every filled page ends with a whole frame.
constexpr std::uint32_t Payload = (PageSize - Page::IndexData) / 4 - MediaElement::FixedSize;

// A formatted in-memory storage of small pages whose group commit takes
// `pages` pages and waits at most 250 ms of a clock the test moves.
struct GroupFixture {
    explicit GroupFixture(std::uint32_t pages, bool timer = false, std::uint32_t maxWait = 250,
                          bool testClock = true)
        : memory(8192 + 60ull * PageSize) {
        options.pages = pages;
        options.maxWaitMilliseconds = maxWait;
        options.timer = timer;
        open(testClock);
        storage->format(test::smallPageOptions(PageSize));
    }

    void open(bool testClock = true) {
        storage = memory.storage();
        if (testClock) {
            storage->setClockSource(&clock);
        }
        storage->setGroupCommitOptions(options);
        storage->open("group.strg", true, 2);
    }

    // Writes one frame (media, then timeline); remembers the page it went to.
    std::uint64_t record() {
        MediaElement frame = frames.video(0, 1, static_cast<std::uint16_t>(index++), at(0), Payload, seed++);
        const PagePosition position = storage->writeMedia(frame);
        storage->writeTimeline(frame, position);
        pageOf[frame.mediaID()] = position.number;
        return frame.mediaID();
    }

    // Records until `count` more media pages filled; answers their numbers.
    std::vector<std::uint32_t> fill(int count) {
        std::vector<std::uint32_t> filled;
        while (static_cast<int>(filled.size()) < count) {
            const Page* current = storage->mediaTrack().currentPage();
            const std::uint32_t before = current != nullptr ? current->pageNumber() : 0;
            record();
            const std::uint32_t now = storage->mediaTrack().currentPage()->pageNumber();
            if (before != 0 && now != before) {
                filled.push_back(before);
            }
        }
        return filled;
    }

    // The greatest media ID recorded into `page`.
    std::uint64_t lastIn(std::uint32_t page) const {
        std::uint64_t last = 0;
        for (const auto& [id, number] : pageOf) {
            if (number == page) {
                last = std::max(last, id);
            }
        }
        return last;
    }

    bool listed(std::uint32_t page) const { return storage->allocator().isListed(page); }
    std::vector<Write> writesSince(std::size_t mark) {
        const auto& all = memory.file.writes();
        return std::vector<Write>(all.begin() + static_cast<std::ptrdiff_t>(mark), all.end());
    }
    std::size_t barriersSince(std::size_t mark) {
        std::size_t count = 0;
        for (const std::size_t at : memory.file.barriers()) {
            count += at >= mark ? 1 : 0;
        }
        return count;
    }
    std::uint64_t offsetOf(std::uint32_t page) { return storage->superBlock().pageOffset(page); }

    GroupCommitOptions options;
    test::TestClock clock;
    test::MemoryFile memory;
    test::Frames frames;
    std::unique_ptr<FixedSizeFileStorage> storage;
    std::map<std::uint64_t, std::uint32_t> pageOf;
    int index = 0;
    std::uint32_t seed = 1;
};

TEST(GroupCommitTest, FilledPagesWaitUntilTheGroupIsFullThenCommitWithOneBarrier) {
    GroupFixture f(3);
    // The media track's first page is committed alone: the superblock names
    // no media track yet for a group to continue.
    const std::uint32_t first = f.fill(1).front();
    EXPECT_FALSE(f.listed(first));
    EXPECT_EQ(f.storage->durableMediaID(), f.lastIn(first));

    const std::vector<std::uint32_t> waiting = f.fill(2);
    for (std::uint32_t page : waiting) {
        EXPECT_TRUE(f.listed(page)) << page;
    }
    EXPECT_EQ(f.storage->durableMediaID(), f.lastIn(first));

    const std::size_t mark = f.memory.file.writes().size();
    const std::size_t barriers = f.memory.file.barriers().size();
    const std::uint32_t third = f.fill(1).front();
    for (std::uint32_t page : {waiting[0], waiting[1], third}) {
        EXPECT_FALSE(f.listed(page)) << page;
    }
    EXPECT_EQ(f.storage->durableMediaID(), f.lastIn(third));

    // The three pages in one transfer (they are adjacent), then one barrier,
    // then the journal, the free list's header, the superblock, each durable,
    // and the journal emptied without waiting.
    ASSERT_EQ(waiting[1], waiting[0] + 1);
    ASSERT_EQ(third, waiting[1] + 1);
    const TrackListItem journal = *f.storage->superBlock().findTrack(PageType::Journal);
    const std::vector<Write> writes = f.writesSince(mark);
    const std::vector<Write> expected = {
        {f.offsetOf(waiting[0]), 3 * PageSize, true}, {f.offsetOf(journal.firstPage()), 512, false},
        {f.offsetOf(1), 512, false},                  {0, 4096, false},
        {f.offsetOf(journal.firstPage()), 512, true}};
    EXPECT_EQ(writes, expected);
    ASSERT_EQ(f.memory.file.barriers().size(), barriers + 1);
    EXPECT_EQ(f.memory.file.barriers().back(), mark + 1);
}

TEST(GroupCommitTest, TheOldestFilledPageCommitsWhenItHasWaitedItsTime) {
    GroupFixture f(8);
    f.fill(1);
    const std::uint32_t page = f.fill(1).front();
    const std::uint64_t before = f.storage->durableMediaID();
    EXPECT_EQ(f.storage->commitDuePages(true), 250);

    f.clock.advance(200);
    EXPECT_EQ(f.storage->commitDuePages(true), 50);
    f.record();
    EXPECT_EQ(f.storage->durableMediaID(), before);
    EXPECT_TRUE(f.listed(page));

    // The next frame after the time is up commits the group.
    f.clock.advance(50);
    f.record();
    EXPECT_FALSE(f.listed(page));
    EXPECT_EQ(f.storage->durableMediaID(), f.lastIn(page));

    // Without a frame, the timer's question does it.
    const std::uint32_t next = f.fill(1).front();
    f.clock.advance(300);
    EXPECT_EQ(f.storage->commitDuePages(false), -1);
    EXPECT_FALSE(f.listed(next));
    EXPECT_EQ(f.storage->durableMediaID(), f.lastIn(next));
    EXPECT_EQ(f.storage->commitDuePages(true), -1);
}

TEST(GroupCommitTest, TheTimerCommitsTheWaitingPagesWhenNoFrameComes) {
    GroupFixture f(8, true, 20, false);
    f.fill(1);
    const std::uint32_t page = f.fill(1).front();
    ASSERT_TRUE(testing::eventually([&] { return f.storage->durableMediaID() >= f.lastIn(page); }));
    EXPECT_FALSE(f.listed(page));
    // And again after it found nothing to do for a while.
    Thread::sleep(30);
    const std::uint32_t later = f.fill(1).front();
    ASSERT_TRUE(testing::eventually([&] { return f.storage->durableMediaID() >= f.lastIn(later); }));
}

// Threads of this process named `name`.
int threadsNamed(const std::string& name) {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        count += std::getline(comm, line) && line == name ? 1 : 0;
    }
    return count;
}

TEST(GroupCommitTest, TheTimersOfManyStoragesShareOneThreadThatEndsWhenNoneWaits) {
    std::vector<std::unique_ptr<GroupFixture>> storages;
    std::vector<std::pair<GroupFixture*, std::uint32_t>> waiting;
    for (int i = 0; i < 6; ++i) {
        storages.push_back(std::make_unique<GroupFixture>(8, true, 40, false));
        storages.back()->fill(1);
        waiting.emplace_back(storages.back().get(), storages.back()->fill(1).front());
    }
    EXPECT_LE(threadsNamed("GroupCommit"), 1);
    for (const auto& [f, page] : waiting) {
        ASSERT_TRUE(testing::eventually([&, f = f, page = page] { return f->storage->durableMediaID() >= f->lastIn(page); }));
        EXPECT_FALSE(f->listed(page));
    }
    // Nothing waits any more: the thread goes, and comes back for the next page.
    EXPECT_TRUE(testing::eventually([] { return threadsNamed("GroupCommit") == 0; }));
    GroupFixture& again = *storages.front();
    const std::uint32_t later = again.fill(1).front();
    ASSERT_TRUE(testing::eventually([&] { return again.storage->durableMediaID() >= again.lastIn(later); }));
    // A storage closed while its timer is armed is never looked at again.
    storages.back()->fill(1);
    storages.back()->storage->close(false);
    storages.pop_back();
    EXPECT_TRUE(testing::eventually([] { return threadsNamed("GroupCommit") == 0; }));
}

TEST(GroupCommitTest, AFlushCommitsTheWaitingPagesTogetherWithThePageBeingFilled) {
    GroupFixture f(8);
    f.fill(1);
    const std::vector<std::uint32_t> waiting = f.fill(2);
    const std::uint64_t last = f.record();
    const std::uint32_t current = f.pageOf[last];
    const std::size_t mark = f.memory.file.writes().size();
    const std::size_t barriers = f.memory.file.barriers().size();
    f.storage->flush();
    EXPECT_EQ(f.storage->durableMediaID(), last);
    for (std::uint32_t page : {waiting[0], waiting[1], current}) {
        EXPECT_FALSE(f.listed(page)) << page;
    }
    // One transfer: the two filled pages and the filled part of the current one.
    ASSERT_EQ(current, waiting[1] + 1);
    ASSERT_GT(f.memory.file.barriers().size(), barriers);
    const std::vector<Write> writes = f.writesSince(mark);
    ASSERT_FALSE(writes.empty());
    std::uint32_t framesInCurrent = 0;
    for (const auto& [id, page] : f.pageOf) {
        framesInCurrent += page == current ? 1 : 0;
    }
    const std::uint32_t used = Page::IndexData + framesInCurrent * (MediaElement::FixedSize + Payload);
    const Write run{f.offsetOf(waiting[0]), 2 * PageSize + (used + 511) / 512 * 512, true};
    const auto found = std::find(writes.begin(), writes.end(), run);
    ASSERT_NE(found, writes.end());
    EXPECT_EQ(std::count_if(writes.begin(), writes.end(), [](const Write& w) { return w.deferred && w.length > 512; }),
              1);
    // The barrier right behind it.
    const std::size_t at = mark + static_cast<std::size_t>(found - writes.begin()) + 1;
    EXPECT_NE(std::find(f.memory.file.barriers().begin(), f.memory.file.barriers().end(), at),
              f.memory.file.barriers().end());

    // A copy of the file opened now holds every frame.
    test::MemoryFile copy(f.memory.file.size());
    copy.file.bytes() = f.memory.file.bytes();
    auto reopened = copy.storage();
    ASSERT_TRUE(reopened->open("copy.strg", true, 2));
    EXPECT_EQ(reopened->lastTimelineMediaID(), last);
}

TEST(GroupCommitTest, AnotherTransactionCommitsTheWaitingPagesFirst) {
    GroupFixture f(8);
    f.fill(1);
    const std::vector<std::uint32_t> waiting = f.fill(2);
    // The info track's first page is saved in a transaction of its own.
    ASSERT_FALSE(f.storage->hasTrack(PageType::Info));
    ASSERT_TRUE(f.storage->writeInfo("key", "value", true));
    for (std::uint32_t page : waiting) {
        EXPECT_FALSE(f.listed(page)) << page;
    }
    EXPECT_EQ(f.storage->durableMediaID(), f.lastIn(waiting[1]));
    const TrackListItem media = *f.storage->superBlock().findTrack(PageType::Media);
    EXPECT_EQ(media.lastPage(), waiting[1]);
}

TEST(GroupCommitTest, ACloseWithoutFlushingLeavesTheWaitingPagesFreeAndTheFileConsistent) {
    GroupFixture f(8);
    const std::uint32_t first = f.fill(1).front();
    const std::vector<std::uint32_t> waiting = f.fill(2);
    EXPECT_TRUE(f.storage->close(false));
    f.open();
    ASSERT_TRUE(f.storage->isOpen());
    for (std::uint32_t page : waiting) {
        EXPECT_TRUE(f.storage->allocator().isFree(page)) << page;
    }
    // The recovery indexes what the committed page holds.
    EXPECT_EQ(f.storage->lastTimelineMediaID(), f.lastIn(first));
    const TrackListItem media = *f.storage->superBlock().findTrack(PageType::Media);
    EXPECT_EQ(media.lastPage(), first);
}

TEST(GroupCommitTest, AFailedCommitOfTheTimerIsRaisedByTheNextWrite) {
    GroupFixture f(8);
    const std::uint32_t first = f.fill(1).front();
    f.fill(1);
    f.clock.advance(300);
    f.memory.file.failAfter(0);
    EXPECT_EQ(f.storage->commitDuePages(false), -1);
    f.memory.file.stopFailing();
    EXPECT_THROW(f.record(), IOException);
    // Nothing of the failed group reached the journal: the storage opens
    // with the pages committed before.
    f.storage->close(false);
    f.open();
    ASSERT_TRUE(f.storage->isOpen());
    EXPECT_EQ(f.storage->lastTimelineMediaID(), f.lastIn(first));
}

} // namespace
} // namespace ostrel
