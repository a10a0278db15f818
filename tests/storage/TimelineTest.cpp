#include "storage/MediaElement.h"
#include "storage/TextInElement.h"
#include "storage/Timeline.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/support/StorageFixture.h"

#include <gtest/gtest.h>

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

} // namespace
} // namespace ostrel
