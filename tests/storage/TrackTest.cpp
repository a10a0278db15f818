#include "storage/EventElement.h"
#include "storage/EventTrack.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrack.h"
#include "storage/MediaTrackIterator.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/pager/SuperBlock.h"
#include "storage/support/StorageFixture.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrel {
namespace {

using test::Frames;
using test::StorageFixture;
using test::at;

constexpr std::uint32_t Area = 8192 - 128;

EventElement eventFor(std::uint64_t mediaID) {
    EventElement event;
    event.setEventType(1);
    event.setMediaID(mediaID);
    event.setChannelMask(BitMask32().set(static_cast<int>(mediaID % 4)));
    event.setDateTime(at(static_cast<std::int64_t>(mediaID)));
    return event;
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

TEST(TrackTest, SplitPayloadContinuesInTheNextPage) {
    StorageFixture f;
    MediaElement first = f.frames.video(0, 1, 0, at(0), 5000, 1);
    MediaElement second = f.frames.video(0, 1, 1, at(0), 6000, 2);
    const PagePosition p1 = f.storage->writeMedia(first);
    const PagePosition p2 = f.storage->writeMedia(second);
    EXPECT_EQ(p1.number, p2.number);
    EXPECT_EQ(p2.offset, 128u + 64 + 5000);
    const Page* page = f.storage->mediaTrack().currentPage();
    ASSERT_NE(page, nullptr);
    EXPECT_NE(page->pageNumber(), p2.number);
    const std::uint32_t carried = 6000 - (8192 - (p2.offset + 64));
    EXPECT_EQ(page->firstItemOffset(), 128u + carried);
    EXPECT_EQ(page->itemCount(), 0u);
    EXPECT_EQ(page->previous(), p2.number);

    MediaElement third = f.frames.video(0, 1, 2, at(0), 10, 3);
    const PagePosition p3 = f.storage->writeMedia(third);
    EXPECT_EQ(p3.offset, 128u + carried);
    f.reopen();
    MediaTrackIterator it(*f.storage, PageType::Media);
    ASSERT_TRUE(it.first());
    EXPECT_EQ(it.readPayload(), Frames::pattern(5000, 1));
    ASSERT_TRUE(it.next());
    EXPECT_EQ(it.position(), p2);
    EXPECT_EQ(it.readPayload(), Frames::pattern(6000, 2));
    ASSERT_TRUE(it.next());
    EXPECT_EQ(it.position(), p3);
    EXPECT_EQ(it.readPayload(), Frames::pattern(10, 3));
    EXPECT_FALSE(it.next());
    EXPECT_EQ(it.position(), p3);
}

TEST(TrackTest, ExactlyFillingPayloadSendsTheNextFrameToANewPage) {
    StorageFixture f;
    MediaElement fill = f.frames.video(0, 1, 0, at(0), Area - 64);
    const PagePosition p1 = f.storage->writeMedia(fill);
    EXPECT_EQ(f.storage->mediaTrack().freeRoom(), 0u);
    MediaElement next = f.frames.video(0, 1, 1, at(0), 10);
    const PagePosition p2 = f.storage->writeMedia(next);
    EXPECT_NE(p1.number, p2.number);
    EXPECT_EQ(p2.offset, 128u);
}

TEST(TrackTest, FixedPartThatDoesNotFitStartsANewPageAndLeavesTheTail) {
    StorageFixture f;
    MediaElement big = f.frames.video(0, 1, 0, at(0), Area - 64 - 30);
    const PagePosition p1 = f.storage->writeMedia(big);
    MediaElement next = f.frames.video(0, 1, 1, at(0), 10);
    const PagePosition p2 = f.storage->writeMedia(next);
    EXPECT_NE(p1.number, p2.number);
    EXPECT_EQ(p2.offset, 128u);
    f.reopen();
    MediaTrackIterator it(*f.storage, PageType::Media);
    ASSERT_TRUE(it.first());
    EXPECT_EQ(it.page().lastItemOffset(), 128u);
    EXPECT_EQ(it.page().itemCount(), 1u);
    ASSERT_TRUE(it.next());
    EXPECT_EQ(it.position(), p2);
}

TEST(TrackTest, FrameTooLargeForTwoPagesIsRefusedBeforeAnythingChanges) {
    StorageFixture f;
    MediaElement small = f.frames.video(0, 1, 0, at(0), 1000);
    f.storage->writeMedia(small);
    f.storage->flushTracks();
    const std::uint64_t free = f.storage->freePageCount();
    const std::size_t writes = f.memory.file.writes().size();
    const std::uint64_t next = f.storage->nextItemID();
    MediaElement huge = f.frames.video(0, 1, 1, at(0), 2 * Area - 64 + 1);
    try {
        f.storage->writeMedia(huge);
        FAIL() << "a frame larger than two pages was written";
    } catch (const VarnelException& e) {
        EXPECT_EQ(e.code(), VarnelException::NotEnoughSpace);
    }
    EXPECT_EQ(f.storage->freePageCount(), free);
    EXPECT_EQ(f.memory.file.writes().size(), writes);
    EXPECT_EQ(f.storage->mediaTrack().writeOffset(), 128u + 64 + 1000);
    (void)next;

    // The largest frame fits when it starts on a fresh page.
    MediaElement largest = f.frames.video(0, 1, 2, at(0), 2 * Area - 64, 7);
    const PagePosition p = f.storage->writeMedia(largest);
    EXPECT_EQ(p.offset, 128u);
    MediaTrackIterator it(*f.storage, PageType::Media);
    ASSERT_TRUE(it.seek(p));
    EXPECT_EQ(it.readPayload(), Frames::pattern(2 * Area - 64, 7));
}

TEST(TrackTest, TruncateAfterBelowTheFirstIDDeletesTheTrack) {
    StorageFixture f;
    for (std::uint64_t id = 10; id < 400; ++id) {
        EventElement event = eventFor(id);
        f.storage->eventTrack().write(event);
    }
    f.storage->flushTracks();
    ASSERT_TRUE(f.storage->superBlock().hasTrack(PageType::Event));
    const std::uint64_t free = f.storage->freePageCount();
    f.storage->eventTrack().truncateAfter(200);
    EXPECT_EQ(eventIDs(*f.storage).back(), 200u);
    EXPECT_GT(f.storage->freePageCount(), free);
    f.storage->eventTrack().truncateAfter(5);
    EXPECT_FALSE(f.storage->hasTrack(PageType::Event));
    EXPECT_FALSE(f.storage->superBlock().hasTrack(PageType::Event));
    EXPECT_TRUE(eventIDs(*f.storage).empty());
    f.reopen();
    EXPECT_FALSE(f.storage->hasTrack(PageType::Event));
    EXPECT_EQ(f.storage->freePageCount(), f.storage->pageCount() - 3);
}

TEST(TrackTest, OverwriteTrimsTheBeginning) {
    StorageFixture f;
    for (std::uint64_t id = 10; id < 400; ++id) {
        EventElement event = eventFor(id);
        f.storage->eventTrack().write(event);
    }
    EXPECT_FALSE(f.storage->eventTrack().overwrite(10));
    EXPECT_EQ(eventIDs(*f.storage).front(), 10u);
    const std::uint64_t free = f.storage->freePageCount();
    EXPECT_TRUE(f.storage->eventTrack().overwrite(300));
    EXPECT_EQ(eventIDs(*f.storage).front(), 300u);
    EXPECT_EQ(f.storage->freePageCount(), free + 2);
    EXPECT_EQ(eventIDs(*f.storage).back(), 399u);
    EXPECT_TRUE(f.storage->eventTrack().overwrite(1000));
    EXPECT_FALSE(f.storage->hasTrack(PageType::Event));
    f.reopen();
    EXPECT_TRUE(eventIDs(*f.storage).empty());
}

TEST(TrackTest, ReaderOnTheLastPageSeesAppendedItems) {
    StorageFixture f;
    for (std::uint64_t id = 1; id <= 3; ++id) {
        EventElement event = eventFor(id);
        f.storage->eventTrack().write(event);
    }
    TrackIterator it(*f.storage, PageType::Event);
    ASSERT_TRUE(it.last());
    EXPECT_FALSE(it.next());
    for (std::uint64_t id = 4; id <= 200; ++id) {
        EventElement event = eventFor(id);
        f.storage->eventTrack().write(event);
    }
    std::uint64_t expected = 4;
    while (it.next()) {
        EventElement event;
        it.read(event);
        EXPECT_EQ(event.mediaID(), expected++);
    }
    EXPECT_EQ(expected, 201u);
    EXPECT_FALSE(it.wasOverwritten());
}

TEST(TrackTest, MediaTruncateAtAnEarlierPageFreesTheLaterPages) {
    StorageFixture f;
    std::vector<PagePosition> positions;
    for (int i = 0; i < 40; ++i) {
        MediaElement frame = f.frames.video(0, 1, static_cast<std::uint16_t>(i), at(i), 1500, i);
        positions.push_back(f.storage->writeMedia(frame));
    }
    f.storage->flushTracks();
    const std::uint64_t free = f.storage->freePageCount();
    // The first frame of the third page: that page keeps no frame.
    std::size_t cut = 0;
    int pagesSeen = 0;
    for (std::size_t i = 1; i < positions.size(); ++i) {
        if (positions[i].number != positions[i - 1].number && ++pagesSeen == 2) {
            cut = i;
            break;
        }
    }
    ASSERT_GT(cut, 0u);
    f.storage->mediaTrack().truncateAfter(positions[cut]);
    const Page* page = f.storage->mediaTrack().currentPage();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->pageNumber(), positions[cut].number);
    EXPECT_EQ(page->itemCount(), 0u);
    EXPECT_EQ(page->lastItemID(), 0u);
    EXPECT_EQ(page->lastItemOffset(), 128u);
    EXPECT_EQ(f.storage->mediaTrack().writeOffset(), positions[cut].offset);
    EXPECT_GT(f.storage->freePageCount(), free);
    f.reopen();
    MediaTrackIterator it(*f.storage, PageType::Media);
    std::size_t count = 0;
    for (bool more = it.first(); more; more = it.next()) {
        EXPECT_EQ(it.readPayload(), Frames::pattern(1500, static_cast<std::uint32_t>(count)));
        ++count;
    }
    EXPECT_EQ(count, cut);
}

} // namespace
} // namespace ostrel
