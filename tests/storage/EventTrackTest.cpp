#include "storage/EventElement.h"
#include "storage/EventTrack.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/support/StorageFixture.h"

#include <gtest/gtest.h>

#include <vector>

namespace ostrel {
namespace {

using test::StorageFixture;
using test::at;

std::vector<EventElement> events(Storage& storage) {
    std::vector<EventElement> all;
    TrackIterator it(storage, PageType::Event);
    for (bool more = it.first(); more; more = it.next()) {
        EventElement event;
        it.read(event);
        all.push_back(event);
    }
    return all;
}

// 300 indexed frames (three timeline pages) and one event per frame (three
// event pages); every tenth event belongs to a frame that was not indexed
// and points nowhere.
struct EventFixture {
    EventFixture() {
        for (int i = 0; i < 300; ++i) {
            const PagePosition position =
                f.record(f.frames.video(1, 1 + i / 25, static_cast<std::uint16_t>(i % 25), at(i / 25), 20));
            EventElement event;
            event.setEventType(2);
            event.setChannelMask(BitMask32().set(1));
            event.setDateTime(at(i / 25));
            event.setMediaID(static_cast<std::uint64_t>(i + 1));
            event.setTimelinePos(i % 10 == 4 ? PagePosition{} : position);
            f.storage->writeEvent(event, false);
        }
        before = events(*f.storage);
    }
    std::uint32_t timelinePageOf(std::size_t event) const { return before.at(event).timelinePos().number; }
    std::size_t pointingAt(std::uint32_t page, std::size_t from = 0) const {
        std::size_t count = 0;
        for (std::size_t i = from; i < before.size(); ++i) {
            count += before[i].timelinePos().number == page ? 1 : 0;
        }
        return count;
    }
    // How many events moved from `oldPage` to `newPage`; every other field
    // and every other event must be unchanged.
    std::size_t moved(std::uint32_t oldPage, std::uint32_t newPage) {
        const std::vector<EventElement> after = events(*f.storage);
        EXPECT_EQ(after.size(), before.size());
        std::size_t count = 0;
        for (std::size_t i = 0; i < after.size() && i < before.size(); ++i) {
            EXPECT_EQ(after[i].mediaID(), before[i].mediaID());
            EXPECT_EQ(after[i].sectionID(), before[i].sectionID());
            EXPECT_EQ(after[i].timelinePos().offset, before[i].timelinePos().offset);
            if (after[i].timelinePos().number != before[i].timelinePos().number) {
                EXPECT_EQ(before[i].timelinePos().number, oldPage) << "event " << i;
                EXPECT_EQ(after[i].timelinePos().number, newPage) << "event " << i;
                ++count;
            }
        }
        return count;
    }
    StorageFixture f{60};
    std::vector<EventElement> before;
};

TEST(EventTrackTest, MovingATimelinePageRepointsEveryEventDownToTheFirstPage) {
    EventFixture e;
    ASSERT_EQ(e.before.size(), 300u);
    const std::uint32_t oldPage = e.timelinePageOf(0);
    const std::size_t pointing = e.pointingAt(oldPage);
    ASSERT_GT(pointing, 100u);
    EXPECT_EQ(e.f.storage->eventTrack().changeTimelineInfo(oldPage, 59, 0), pointing);
    EXPECT_EQ(e.moved(oldPage, 59), pointing);
    // Every changed page was saved.
    e.f.reopen();
    EXPECT_EQ(e.moved(oldPage, 59), pointing);
}

TEST(EventTrackTest, MovingATimelinePageStopsAfterTheEventPageNamingTheStopPage) {
    {
        // The last event page names the stop page: the events of the first
        // timeline page lie in earlier event pages and keep their position.
        EventFixture e;
        const std::uint32_t oldPage = e.timelinePageOf(0);
        EXPECT_EQ(e.f.storage->eventTrack().changeTimelineInfo(oldPage, 58, e.timelinePageOf(299)), 0u);
        EXPECT_EQ(e.moved(oldPage, 58), 0u);
    }
    {
        // The stop page is named in the page being changed: that page is done whole.
        EventFixture e;
        const std::uint32_t oldPage = e.timelinePageOf(298);
        const std::size_t pointing = e.pointingAt(oldPage, 252);
        ASSERT_GT(pointing, 0u);
        EXPECT_EQ(e.f.storage->eventTrack().changeTimelineInfo(oldPage, 58, oldPage), pointing);
        EXPECT_EQ(e.moved(oldPage, 58), pointing);
    }
}

TEST(EventTrackTest, EventsThatPointNowhereStayThatWay) {
    EventFixture e;
    EventTrack& track = e.f.storage->eventTrack();
    EXPECT_EQ(track.changeTimelineInfo(0, 57, 0), 0u);
    EXPECT_EQ(track.changeTimelineInfo(e.timelinePageOf(0), e.timelinePageOf(0), 0), 0u);
    EXPECT_THROW(track.changeTimelineInfo(e.timelinePageOf(0), 0, 0), VarnelException);
    EXPECT_EQ(e.moved(0, 57), 0u);
}

TEST(EventTrackTest, AnEmptyEventTrackHasNothingToChange) {
    StorageFixture f;
    f.record(f.frames.video(1, 1, 0, at(0), 20));
    EXPECT_EQ(f.storage->eventTrack().changeTimelineInfo(3, 4, 0), 0u);
    EXPECT_FALSE(f.storage->hasTrack(PageType::Event));
}

} // namespace
} // namespace ostrel
