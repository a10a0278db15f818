#include "storage/MediaElement.h"
#include "storage/MediaTrack.h"
#include "storage/Recorder.h"
#include "storage/TextInElement.h"
#include "storage/TextInTrack.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/support/StorageFixture.h"

#include <gtest/gtest.h>

namespace ostrel {
namespace {

using test::StorageFixture;
using test::at;

TEST(RecorderTest, AudioIsStoredAndIndexedWithoutAnyVideo) {
    StorageFixture f;
    Recorder recorder;
    recorder.open(*f.storage);
    MediaElement audio = f.frames.audio(3, 0, at(0), 160);
    const PagePosition position = recorder.writeFrame(audio);
    EXPECT_FALSE(position.isNull());
    EXPECT_EQ(audio.mediaID(), 1u);
    TrackIterator timeline(*f.storage, PageType::Timeline);
    ASSERT_TRUE(timeline.seek(position));
    TimelineElement element;
    timeline.read(element);
    EXPECT_EQ(element.mediaType(), 1u);
    EXPECT_FALSE(f.storage->hasTrack(PageType::RecordingTable));
}

TEST(RecorderTest, ATextInFrameSpendsOneMediaIDAndLeavesTheMediaTrackAlone) {
    StorageFixture f;
    Recorder recorder;
    recorder.open(*f.storage);
    MediaElement video = f.frames.video(0, 1, 0, at(0), 100);
    recorder.writeFrame(video);
    MediaElement text = f.frames.textIn(2, at(0), "TOTAL 12.50");
    text.setAttributes(1, 0, 0, 0);
    const PagePosition position = recorder.writeFrame(text);
    EXPECT_EQ(text.mediaID(), 2u);
    EXPECT_EQ(f.storage->lastIssuedItemID(), 2u);
    TrackIterator timeline(*f.storage, PageType::Timeline);
    ASSERT_TRUE(timeline.seek(position));
    TimelineElement element;
    timeline.read(element);
    EXPECT_EQ(element.mediaType(), 3u);
    TrackIterator texts(*f.storage, PageType::TextIn);
    ASSERT_TRUE(texts.seek(element.mediaPosition()));
    TextInElement record;
    texts.read(record);
    EXPECT_EQ(record.text(), "TOTAL 12.50");
    EXPECT_EQ(record.mediaID(), 2u);
    EXPECT_EQ(record.flags().word(), 2u);
    EXPECT_EQ(f.storage->mediaTrack().currentPage()->itemCount(), 1u);
}

TEST(RecorderTest, ANonKeyFrameThatStartsAStorageIsKeptButNotIndexed) {
    StorageFixture f;
    Recorder recorder;
    recorder.open(*f.storage);
    MediaElement frame = f.frames.video(0, 4, 7, at(0), 100);
    EXPECT_TRUE(recorder.writeFrame(frame).isNull());
    EXPECT_EQ(frame.mediaID(), 1u);
    EXPECT_EQ(f.storage->mediaTrack().currentPage()->lastItemID(), 1u);
    EXPECT_FALSE(f.storage->hasTrack(PageType::Timeline));
}

TEST(RecorderTest, OpeningOnAnotherStorageLeavesTheFirst) {
    StorageFixture a;
    StorageFixture b;
    Recorder recorder;
    recorder.open(*a.storage);
    EXPECT_TRUE(a.storage->hasListener(&recorder));
    recorder.open(*b.storage);
    EXPECT_FALSE(a.storage->hasListener(&recorder));
    EXPECT_TRUE(b.storage->hasListener(&recorder));
    recorder.close();
    EXPECT_FALSE(b.storage->hasListener(&recorder));
    MediaElement frame = b.frames.video(0, 1, 0, at(0), 10);
    EXPECT_THROW(recorder.writeFrame(frame), VarnelException);
}

} // namespace
} // namespace ostrel
