#include "storage/MediaElement.h"
#include "storage/TextInElement.h"
#include "storage/Timeline.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/support/StorageFixture.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrel {
namespace {

using test::StorageFixture;
using test::at;

TEST(TimelineTest, VideoIsIndexedFromAKeyFrameWhileTheGroupContinues) {
    StorageFixture f;
    EXPECT_TRUE(f.record(f.frames.video(0, 7, 3, at(0), 50)).isNull());
    EXPECT_FALSE(f.record(f.frames.video(0, 8, 0, at(1), 50)).isNull());
    EXPECT_FALSE(f.record(f.frames.video(0, 8, 1, at(1), 50)).isNull());
    EXPECT_FALSE(f.record(f.frames.video(0, 8, 2, at(1), 50)).isNull());
    // A lost frame stops the channel until the next key frame.
    EXPECT_TRUE(f.record(f.frames.video(0, 8, 4, at(1), 50)).isNull());
    EXPECT_TRUE(f.record(f.frames.video(0, 8, 5, at(1), 50)).isNull());
    // Another channel keeps its own group.
    EXPECT_FALSE(f.record(f.frames.video(1, 3, 0, at(2), 50)).isNull());
    EXPECT_TRUE(f.record(f.frames.video(0, 8, 6, at(2), 50)).isNull());
    // A key frame with a new group resets the channel.
    EXPECT_FALSE(f.record(f.frames.video(0, 9, 0, at(2), 50)).isNull());
    EXPECT_FALSE(f.record(f.frames.video(0, 9, 1, at(2), 50)).isNull());
    EXPECT_TRUE(f.record(f.frames.video(0, 8, 2, at(2), 50)).isNull());
}

TEST(TimelineTest, AudioAndTextInIndexing) {
    StorageFixture f;
    // Audio key frames are indexed without any video of their channel.
    EXPECT_FALSE(f.record(f.frames.audio(2, 0, at(0), 20)).isNull());
    // A non-key audio frame needs the video group of its channel mask.
    EXPECT_TRUE(f.record(f.frames.audio(2, 1, at(0), 20)).isNull());
    f.record(f.frames.video(2, 4, 0, at(0), 20));
    MediaElement audio = f.frames.audio(2, 1, at(0), 20);
    audio.setGopID(4);
    EXPECT_FALSE(f.record(audio).isNull());
    // Text-in records are indexed whatever their frame index.
    TextInElement text;
    text.setFrameIndex(9);
    text.setGopID(1234);
    text.setChannelMask(BitMask32().set(5));
    text.setDateTime(at(1));
    text.setText("PLU 4711");
    const PagePosition position = f.storage->writeTextIn(text);
    EXPECT_FALSE(f.storage->writeTimeline(text, position, false).isNull());
}

TEST(TimelineTest, ElementsLinkToThePreviousElementOfTheirChannel) {
    StorageFixture f;
    const PagePosition v0 = f.record(f.frames.video(0, 1, 0, at(0), 10));
    const PagePosition v1 = f.record(f.frames.video(1, 1, 0, at(0), 10));
    const PagePosition a0 = f.record(f.frames.audio(0, 0, at(0), 10));
    const PagePosition v0b = f.record(f.frames.video(0, 1, 1, at(0), 10));
    TrackIterator it(*f.storage, PageType::Timeline);
    TimelineElement element;
    ASSERT_TRUE(it.seek(v0b));
    it.read(element);
    EXPECT_EQ(element.previousPosition(), v0);
    EXPECT_EQ(element.totalSize(), 74u);
    ASSERT_TRUE(it.seek(a0));
    it.read(element);
    EXPECT_TRUE(element.previousPosition().isNull());
    ASSERT_TRUE(it.seek(v1));
    it.read(element);
    EXPECT_TRUE(element.previousPosition().isNull());
    EXPECT_EQ(element.mediaID(), 2u);
}

TEST(TimelineTest, ReopeningRestoresTheGroupOfEveryChannelInTheLastPage) {
    StorageFixture f;
    for (std::uint16_t i = 0; i < 6; ++i) {
        f.record(f.frames.video(0, 5, i, at(0), 10));
        f.record(f.frames.video(1, 6, i, at(0), 10));
    }
    f.reopen();
    EXPECT_FALSE(f.record(f.frames.video(0, 5, 6, at(1), 10)).isNull());
    EXPECT_FALSE(f.record(f.frames.video(1, 6, 6, at(1), 10)).isNull());
    EXPECT_TRUE(f.record(f.frames.video(1, 6, 8, at(1), 10)).isNull());
}

TEST(TimelineTest, DroppingTheFirstPageMovesTheTimelineStart) {
    StorageFixture f;
    for (int i = 0; i < 300; ++i) {
        f.record(f.frames.video(0, 1 + i / 50, static_cast<std::uint16_t>(i % 50), at(i), 10));
    }
    Timeline& timeline = f.storage->timeline();
    EXPECT_EQ(timeline.firstMediaID(), 1u);
    const std::uint64_t free = f.storage->freePageCount();
    timeline.dropFirstPage();
    EXPECT_EQ(timeline.firstMediaID(), 127u);
    EXPECT_EQ(f.storage->freePageCount(), free + 1);
    timeline.dropFirstPage();
    EXPECT_EQ(timeline.firstMediaID(), 253u);
    EXPECT_TRUE(timeline.hasSinglePage());
    // A one-page timeline goes as a whole.
    timeline.dropFirstPage();
    EXPECT_FALSE(f.storage->hasTrack(PageType::Timeline));
    // The open rebuilds the timeline from the frames the media track still holds.
    f.reopen();
    EXPECT_EQ(f.storage->lastTimelineMediaID(), 300u);
}

// Every timeline element of the storage, first to last, with its position.
struct IndexedElement {
    PagePosition at;
    TimelineElement element;
};

std::vector<IndexedElement> timelineElements(Storage& storage) {
    std::vector<IndexedElement> all;
    TrackIterator it(storage, PageType::Timeline);
    for (bool more = it.first(); more; more = it.next()) {
        IndexedElement entry;
        entry.at = it.position();
        it.read(entry.element);
        all.push_back(entry);
    }
    return all;
}

// Three timeline pages (126 elements each) over media pages of 15 frames.
struct RelocationFixture {
    RelocationFixture() {
        for (int i = 0; i < 300; ++i) {
            f.record(f.frames.video(0, 1 + i / 25, static_cast<std::uint16_t>(i % 25), at(i / 25), 500));
        }
        before = timelineElements(*f.storage);
    }
    std::uint32_t mediaPageOf(std::size_t element) const { return before.at(element).element.mediaPosition().number; }
    // How many elements moved from `oldPage` to `newPage`; every other element
    // must be exactly what it was.
    std::size_t moved(std::uint32_t oldPage, std::uint32_t newPage) {
        const std::vector<IndexedElement> after = timelineElements(*f.storage);
        EXPECT_EQ(after.size(), before.size());
        std::size_t count = 0;
        for (std::size_t i = 0; i < after.size() && i < before.size(); ++i) {
            const TimelineElement& was = before[i].element;
            const TimelineElement& is = after[i].element;
            EXPECT_EQ(after[i].at, before[i].at);
            EXPECT_EQ(is.mediaID(), was.mediaID());
            EXPECT_EQ(is.previousPosition(), was.previousPosition());
            EXPECT_EQ(is.mediaPosition().offset, was.mediaPosition().offset);
            if (is.mediaPosition().number != was.mediaPosition().number) {
                EXPECT_EQ(was.mediaPosition().number, oldPage) << "element " << i;
                EXPECT_EQ(is.mediaPosition().number, newPage) << "element " << i;
                ++count;
            }
        }
        return count;
    }
    std::size_t elementsNaming(std::uint32_t page) const {
        std::size_t count = 0;
        for (const IndexedElement& entry : before) {
            count += entry.element.mediaPosition().number == page ? 1 : 0;
        }
        return count;
    }
    StorageFixture f{80};
    std::vector<IndexedElement> before;
};

TEST(TimelineTest, RelocatingAMediaPageRepointsItsElementsDownToTheFirstPage) {
    RelocationFixture r;
    ASSERT_EQ(r.before.size(), 300u);
    ASSERT_NE(r.before.front().at.number, r.before.back().at.number);
    // The first media page is named only from the first timeline page, which
    // the timeline holds for its overwrite; the walk has to get there.
    const std::uint32_t oldPage = r.mediaPageOf(0);
    const std::uint32_t newPage = 79;
    const std::size_t naming = r.elementsNaming(oldPage);
    ASSERT_GT(naming, 1u);
    EXPECT_EQ(r.f.storage->timeline().relocateMediaPage(oldPage, newPage, 0), naming);
    EXPECT_EQ(r.moved(oldPage, newPage), naming);
    // The changed pages were saved, the held first page included.
    r.f.reopen();
    EXPECT_EQ(r.moved(oldPage, newPage), naming);
}

TEST(TimelineTest, RelocatingAMediaPageStopsAfterThePageNamingTheStopPage) {
    struct Case {
        const char* name;
        std::size_t oldElement;  // an element naming the page that moved
        std::size_t stopElement; // an element naming the stop page
        bool changes;            // whether the walk reaches elements naming the old page
    };
    const Case cases[] = {
        {"old page and stop page named in the last timeline page", 299, 290, true},
        {"old page named in the first timeline page, stop in the last", 3, 299, false},
        {"old page named in the first timeline page, stop in the middle one", 3, 190, false},
        {"old page named in the middle timeline page, stop there", 190, 190, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RelocationFixture r;
        const std::uint32_t oldPage = r.mediaPageOf(c.oldElement);
        const std::uint32_t stopPage = r.mediaPageOf(c.stopElement);
        // The walk from the end meets the stop page in the timeline page of
        // the newest element naming it, and goes no further back.
        std::size_t stop = r.before.size();
        while (r.before[--stop].element.mediaPosition().number != stopPage) {
        }
        std::size_t reached = stop;
        while (reached > 0 && r.before[reached - 1].at.number == r.before[stop].at.number) {
            --reached;
        }
        std::size_t expected = 0;
        for (std::size_t i = reached; i < r.before.size(); ++i) {
            expected += r.before[i].element.mediaPosition().number == oldPage ? 1 : 0;
        }
        EXPECT_EQ(expected > 0, c.changes);
        EXPECT_LT(expected, c.changes ? r.elementsNaming(oldPage) + 1 : 1);
        EXPECT_EQ(r.f.storage->timeline().relocateMediaPage(oldPage, 78, stopPage), expected);
        EXPECT_EQ(r.moved(oldPage, 78), expected);
    }
}

TEST(TimelineTest, RelocationLeavesUnplacedElementsAndKeepsTheOverwriteWorking) {
    RelocationFixture r;
    Timeline& timeline = r.f.storage->timeline();
    // Page 0 names no page: nothing may start pointing at the new page.
    EXPECT_EQ(timeline.relocateMediaPage(0, 77, 0), 0u);
    EXPECT_EQ(timeline.relocateMediaPage(r.mediaPageOf(5), r.mediaPageOf(5), 0), 0u);
    EXPECT_THROW(timeline.relocateMediaPage(r.mediaPageOf(5), 0, 0), VarnelException);
    EXPECT_EQ(r.moved(0, 77), 0u);
    const std::uint32_t oldPage = r.mediaPageOf(0);
    timeline.relocateMediaPage(oldPage, 77, 0);
    // The held first page is still the one the overwrite frees.
    const std::uint64_t free = r.f.storage->freePageCount();
    timeline.dropFirstPage();
    EXPECT_EQ(r.f.storage->freePageCount(), free + 1);
    EXPECT_EQ(timeline.firstMediaID(), r.before.at(126).element.mediaID());
}

} // namespace
} // namespace ostrel
