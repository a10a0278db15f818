#include "storage/EventElement.h"
#include "storage/EventTrack.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrack.h"
#include "storage/MediaTrackIterator.h"
#include "storage/OverwritePreparer.h"
#include "storage/RecordingTable.h"
#include "storage/Timeline.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/pager/SuperBlock.h"
#include "storage/support/StorageFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace ostrel {
namespace {

using test::Frames;
using test::StorageFixture;
using test::at;

struct PageSpan {
    std::uint32_t number;
    std::uint64_t first;
    std::uint64_t last;
};

std::vector<PageSpan> pagesOf(Storage& storage, const PageType& type) {
    std::vector<PageSpan> pages;
    auto entry = storage.findTrack(type);
    if (!entry) {
        return pages;
    }
    Page page(&storage.superBlock(), &storage.pageCache());
    std::uint32_t number = entry->firstPage();
    while (number != 0) {
        page.loadReadOnly(number);
        pages.push_back({number, page.firstItemID(), page.lastItemID()});
        number = page.next();
    }
    return pages;
}

// Every indexed frame is where its timeline element says, with its own bytes.
void expectTimelineMatchesMedia(Storage& storage, std::uint32_t payload) {
    TrackIterator timeline(storage, PageType::Timeline);
    MediaTrackIterator media(storage, PageType::Media);
    std::size_t checked = 0;
    std::uint64_t previousID = 0;
    for (bool more = timeline.first(); more; more = timeline.next()) {
        TimelineElement element;
        timeline.read(element);
        EXPECT_GT(element.mediaID(), previousID);
        previousID = element.mediaID();
        ASSERT_TRUE(media.seek(element.mediaPosition())) << "element " << element.mediaID();
        MediaElement frame;
        media.read(frame);
        ASSERT_EQ(frame.mediaID(), element.mediaID());
        EXPECT_EQ(media.readPayload(), Frames::pattern(payload, static_cast<std::uint32_t>(frame.mediaID())));
        ++checked;
    }
    EXPECT_GT(checked, 0u);
}

// Records `count` video frames whose payload pattern is seeded with their media ID.
void recordFrames(StorageFixture& f, int count, std::uint32_t payload, int perSecond = 10) {
    for (int i = 0; i < count; ++i) {
        const std::uint64_t id = f.storage->nextItemID();
        const std::int64_t second = static_cast<std::int64_t>(id) / perSecond;
        const std::uint16_t index = static_cast<std::uint16_t>(id % perSecond);
        f.record(f.frames.video(0, static_cast<std::uint32_t>(second), index, at(second), payload,
                                static_cast<std::uint32_t>(id)));
    }
}

TEST(MediaOverwriteTest, OneStepFreesTheOldestTimelinePageAndTheMediaBeforeIt) {
    StorageFixture f(60);
    recordFrames(f, 400, 300);
    const std::vector<PageSpan> timeline = pagesOf(*f.storage, PageType::Timeline);
    ASSERT_GE(timeline.size(), 3u);
    const std::uint64_t before = timeline[1].first;
    const std::vector<PageSpan> media = pagesOf(*f.storage, PageType::Media);
    std::size_t expectedFreed = 1;
    for (const PageSpan& page : media) {
        expectedFreed += page.last < before ? 1 : 0;
    }
    const std::uint64_t free = f.storage->freePageCount();
    f.storage->overwriteOldest();
    EXPECT_EQ(f.storage->timeline().firstMediaID(), before);
    EXPECT_EQ(pagesOf(*f.storage, PageType::Timeline).size(), timeline.size() - 1);
    const std::vector<PageSpan> after = pagesOf(*f.storage, PageType::Media);
    ASSERT_FALSE(after.empty());
    EXPECT_GE(after.front().last, before);
    EXPECT_LE(after.front().first, before);
    EXPECT_EQ(f.storage->freePageCount(), free + expectedFreed);
    expectTimelineMatchesMedia(*f.storage, 300);
}

TEST(MediaOverwriteTest, AFullStorageOverwritesItsOldestDataAgainAndAgain) {
    StorageFixture f(30);
    recordFrames(f, 3000, 700);
    EXPECT_GT(f.storage->timeline().firstMediaID(), 1000u);
    EXPECT_EQ(f.storage->lastIssuedItemID(), 3000u);
    auto* preparer = dynamic_cast<OverwritePreparer*>(f.storage->mediaTrack().preparer());
    ASSERT_NE(preparer, nullptr);
    EXPECT_LE(preparer->queued(), 1u);
    expectTimelineMatchesMedia(*f.storage, 700);
    Interval interval;
    ASSERT_TRUE(f.storage->recordingInterval(interval));
    EXPECT_GT(interval.from(), at(100));
    f.reopen();
    expectTimelineMatchesMedia(*f.storage, 700);
    recordFrames(f, 300, 700);
    expectTimelineMatchesMedia(*f.storage, 700);
}

TEST(MediaOverwriteTest, TheOverwriteReadsEachMediaPageHeaderOnce) {
    // Frames of 700 bytes: about 11 in a media page, so one timeline page
    // (126 elements) indexes about 11 media pages, which one overwrite step frees.
    StorageFixture f(80);
    recordFrames(f, 400, 700);
    ASSERT_FALSE(f.storage->timeline().hasSinglePage());
    const std::uint64_t free = f.storage->freePageCount();
    const std::size_t reads = f.memory.file.readCount();
    f.storage->overwriteOldest();
    // The timeline page and the media pages it indexed.
    const std::uint64_t freed = f.storage->freePageCount() - free;
    ASSERT_GE(freed, 8u);
    // Walking the media track reads each freed page's header once, plus the
    // page that stays first and a few track heads.
    EXPECT_LE(f.memory.file.readCount() - reads, freed + 4);
    expectTimelineMatchesMedia(*f.storage, 700);
}

TEST(MediaOverwriteTest, SplitFramesSurviveTheOverwriteOfTheirFirstPage) {
    StorageFixture f(30);
    // Frames of 3000 bytes split across pages all the time.
    recordFrames(f, 800, 3000, 5);
    expectTimelineMatchesMedia(*f.storage, 3000);
    MediaTrackIterator media(*f.storage, PageType::Media);
    ASSERT_TRUE(media.first());
    EXPECT_GE(media.position().offset, 128u);
}

TEST(MediaOverwriteTest, AOnePageTimelineIsTrimmedNeverFreedUnderItsWriter) {
    // A timeline page (126 elements) indexes more media pages (about 4 frames
    // each) than the storage has: the overwrite must trim it in place.
    StorageFixture f(24);
    recordFrames(f, 400, 1800);
    EXPECT_TRUE(f.storage->timeline().hasSinglePage());
    EXPECT_GT(f.storage->timeline().firstMediaID(), 1u);
    expectTimelineMatchesMedia(*f.storage, 1800);
    f.reopen();
    expectTimelineMatchesMedia(*f.storage, 1800);
}

TEST(MediaOverwriteTest, AnEmptyTimelineClearsTheDataTracksInOneStep) {
    StorageFixture f(20);
    EventElement event;
    event.setMediaID(1);
    event.setDateTime(at(0));
    event.setChannelMask(BitMask32(1));
    f.storage->writeEvent(event, true);
    // Frames that are never indexed: the timeline stays empty.
    for (int i = 0; i < 200; ++i) {
        f.record(f.frames.video(0, 1, 5, at(0), 1500, static_cast<std::uint32_t>(i)));
    }
    EXPECT_FALSE(f.storage->hasTrack(PageType::Timeline));
    EXPECT_FALSE(f.storage->hasTrack(PageType::Event));
    EXPECT_TRUE(f.storage->hasTrack(PageType::Media));
    EXPECT_TRUE(f.storage->hasTrack(PageType::Log));
    EXPECT_EQ(f.storage->lastIssuedItemID(), 200u);
    f.reopen();
    EXPECT_EQ(f.storage->nextItemID(), 201u);
}

TEST(MediaOverwriteTest, AllocationFailsWhenNothingCanBeFreed) {
    StorageFixture f(3);
    EXPECT_EQ(f.storage->freePageCount(), 0u);
    MediaElement frame = f.frames.video(0, 1, 0, at(0), 10);
    try {
        f.record(frame);
        FAIL() << "a frame was written into a storage without a free page";
    } catch (const VarnelException& e) {
        EXPECT_EQ(e.code(), VarnelException::NotEnoughSpace);
    }
    StorageFixture g(5);
    ASSERT_EQ(g.storage->freePageCount(), 2u);
    g.record(g.frames.video(0, 1, 0, at(0), 10));
    EXPECT_EQ(g.storage->freePageCount(), 0u);
    EXPECT_THROW(g.record(g.frames.video(0, 1, 1, at(0), 8000)), VarnelException);
    EXPECT_TRUE(g.storage->close(true));
}

TEST(MediaOverwriteTest, AReaderFollowsTheWriterWhileTheOldestDataIsOverwritten) {
    StorageFixture f(40);
    constexpr std::uint32_t Payload = 900;
    std::atomic<bool> done{false};
    std::atomic<int> verified{0};
    std::atomic<int> restarts{0};
    std::atomic<int> failures{0};
    std::string failure;
    std::thread reader([&] {
        try {
            MediaTrackIterator it(*f.storage, PageType::Media);
            bool positioned = false;
            std::uint64_t lastID = 0;
            std::vector<std::uint8_t> bytes;
            for (int rounds = 0; rounds < 2000000 && !(done && positioned && !it.next()); ++rounds) {
                if (!positioned) {
                    positioned = it.first();
                    lastID = 0;
                    if (!positioned) {
                        std::this_thread::yield();
                        continue;
                    }
                } else if (!it.next()) {
                    if (it.wasOverwritten()) {
                        positioned = false;
                        ++restarts;
                    } else {
                        std::this_thread::yield();
                    }
                    continue;
                }
                MediaElement frame;
                it.read(frame);
                if (!it.readPayload(bytes)) {
                    if (it.wasOverwritten()) {
                        positioned = false;
                        ++restarts;
                    }
                    continue;
                }
                if (frame.mediaID() <= lastID ||
                    bytes != Frames::pattern(Payload, static_cast<std::uint32_t>(frame.mediaID()))) {
                    ++failures;
                    failure = "frame " + std::to_string(frame.mediaID()) + " after " + std::to_string(lastID);
                    positioned = false;
                    continue;
                }
                lastID = frame.mediaID();
                ++verified;
            }
        } catch (const VarnelException& e) {
            ++failures;
            failure = std::string(e.what()) + " " + e.detail();
        } catch (const std::exception& e) {
            ++failures;
            failure = e.what();
        }
    });
    recordFrames(f, 2500, Payload);
    done = true;
    reader.join();
    EXPECT_EQ(failures.load(), 0) << failure;
    EXPECT_GT(verified.load(), 100);
    RecordProperty("verified", verified.load());
    RecordProperty("restarts", restarts.load());
    EXPECT_GT(f.storage->timeline().firstMediaID(), 1u);
}

} // namespace
} // namespace ostrel
