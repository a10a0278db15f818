// The synthetic recording model on its own: visible spans as the clock
// moves, calendars across midnight, cut event lists, key-frame ticks, the
// cursor's filtering and anchoring to the current time.
#include "ostrel-sitesim/FramePayload.h"
#include "ostrel-sitesim/RecordingCursor.h"
#include "ostrel-sitesim/SiteServer.h"
#include "ostrel-sitesim/SyntheticRecording.h"

#include <gtest/gtest.h>

#include <set>

namespace ostrel {
namespace {

RecordingDescription oneChannel(DateTime from, DateTime to) {
    RecordingDescription description;
    description.sections = {{1, from, to}};
    description.videoChannels = 1;
    description.audioChannels = 0;
    description.frameRate = 1;
    description.gopLength = 4;
    description.events.clear();
    description.textIns.clear();
    return description;
}

int64_t secondsOf(const DateTime& time) { return time.epochSeconds(); }

TEST(SyntheticRecordingTest, RetainWithoutGrowingKeepsOnlyTheNewestSeconds) {
    RecordingDescription description = RecordingDescription::defaults();
    description.retainSeconds = 900; // the last section holds 3600 s
    const SyntheticRecording recording(description);
    const auto spans = recording.spans(1000);
    ASSERT_EQ(spans.size(), 1u);
    EXPECT_EQ(spans[0].sectionID, 3u);
    EXPECT_EQ(spans[0].firstEpoch(), secondsOf(DateTime(2024, 1, 1, 11, 45, 0)));
    EXPECT_EQ(spans[0].lastEpoch(), secondsOf(DateTime(2024, 1, 1, 11, 59, 59)));
}

TEST(SyntheticRecordingTest, GrowingWithoutRetainKeepsEverything) {
    RecordingDescription description = RecordingDescription::defaults();
    description.growing = true;
    const SyntheticRecording recording(description);
    const auto spans = recording.spans(3600);
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[0].firstEpoch(), secondsOf(DateTime(2024, 1, 1, 10, 0, 0)));
    EXPECT_EQ(spans[2].lastEpoch(), secondsOf(DateTime(2024, 1, 1, 12, 59, 59)));
}

// Payloads come from a copy of one pattern with a stamp: each must still be
// exactly the formula's bytes, differ from every other frame's, and a payload
// shorter than the stamp keeps the stamp's start.
TEST(SyntheticRecordingTest, PayloadsAreTheFormulasBytesAndDifferPerFrame) {
    RecordingDescription description = RecordingDescription::defaults();
    description.keyFrameSize = 5000;
    description.frameSize = 1001;
    description.audioFrameSize = 7;
    const SyntheticRecording recording(description);
    const auto spans = recording.spans(0);
    std::set<std::vector<uint8_t>> seen;
    std::vector<uint8_t> payload;
    std::vector<uint8_t> appended = {0xEE};
    size_t frames = 0;
    for (int tick = 0; tick < description.frameRate; ++tick) {
        for (const RecordingItem& item : recording.tickItems(spans[0], 0, tick, 0xFFFFFFFF)) {
            recording.payload(item, payload);
            ASSERT_EQ(payload.size(), recording.payloadLength(item));
            std::vector<uint8_t> expected(payload.size());
            FramePayload::fill(expected.data(), expected.size(), item.channel, item.mediaID, item.epochSeconds);
            EXPECT_EQ(payload, expected) << "media ID " << item.mediaID;
            // Appending leaves what the buffer held before alone.
            appended.resize(1);
            recording.appendPayload(item, appended);
            EXPECT_EQ(std::vector<uint8_t>(appended.begin() + 1, appended.end()), expected);
            EXPECT_EQ(appended[0], 0xEE);
            seen.insert(payload);
            ++frames;
        }
    }
    EXPECT_EQ(seen.size(), frames);
    EXPECT_GT(frames, 10u);

    std::vector<uint8_t> pattern(30);
    FramePayload::pattern(pattern.data(), pattern.size());
    std::vector<uint8_t> shortPayload(5);
    FramePayload::fill(shortPayload.data(), shortPayload.size(), 3, 0x0102030405ull, 0);
    const uint8_t mediaIDBytes[5] = {0x05, 0x04, 0x03, 0x02, 0x01};
    for (size_t i = 0; i < shortPayload.size(); ++i) {
        EXPECT_EQ(shortPayload[i], pattern[i] ^ mediaIDBytes[i]);
    }
    std::vector<uint8_t> longPayload(30);
    FramePayload::fill(longPayload.data(), longPayload.size(), 3, 0, 0);
    EXPECT_EQ(longPayload[16], pattern[16] ^ 3);
    EXPECT_EQ(longPayload[24], pattern[24]);
}

TEST(SyntheticRecordingTest, CalendarCountsEveryDayTouched) {
    const SyntheticRecording recording(oneChannel(DateTime(2023, 12, 31, 23, 59, 59), DateTime(2024, 1, 2, 0, 0, 0)));
    const auto spans = recording.spans(0);
    EXPECT_EQ(recording.calendar(spans, Date(1900, 1, 1), Date(2100, 12, 31), 100),
              (std::vector<Date>{Date(2023, 12, 31), Date(2024, 1, 1), Date(2024, 1, 2)}));
    EXPECT_EQ(recording.calendar(spans, Date(2024, 1, 1), Date(2024, 1, 1), 100),
              (std::vector<Date>{Date(2024, 1, 1)}));
    EXPECT_EQ(recording.calendar(spans, Date(1900, 1, 1), Date(2100, 12, 31), 2).size(), 2u);
    EXPECT_TRUE(recording.calendar(spans, Date(2024, 13, 1), Date(2024, 1, 1), 100).empty());
}

TEST(SyntheticRecordingTest, EventListIsCutAtItsLimitKeepingTheEarliest) {
    RecordingDescription description = oneChannel(DateTime(2024, 1, 1, 0, 0, 0), DateTime(2024, 1, 1, 0, 0, 59));
    description.sections.push_back({2, DateTime(2024, 1, 1, 1, 0, 0), DateTime(2024, 1, 1, 1, 0, 59)});
    description.events = {{10, 0, 0, 0, 1, 0}, {15, 5, 0, 0, 2, 0}};
    const SyntheticRecording recording(description);
    bool cut = false;
    const auto all = recording.events(recording.spans(0), INT64_MIN / 2, INT64_MAX / 2, 1, ~0u, ~0u, 1000, cut);
    EXPECT_FALSE(cut);
    // Per section: type 1 at 0, 10, ..., 50 (6) and type 2 at 5, 20, 35, 50 (4).
    ASSERT_EQ(all.size(), 20u);
    for (size_t i = 1; i < all.size(); ++i) {
        EXPECT_FALSE(all[i].time() < all[i - 1].time());
    }
    const auto first = recording.events(recording.spans(0), INT64_MIN / 2, INT64_MAX / 2, 1, ~0u, ~0u, 7, cut);
    EXPECT_TRUE(cut);
    ASSERT_EQ(first.size(), 7u);
    for (size_t i = 0; i < first.size(); ++i) {
        EXPECT_EQ(first[i].value(), all[i].value());
    }
}

TEST(SyntheticRecordingTest, FirstKeyTickOfASpan) {
    const SyntheticRecording recording(oneChannel(DateTime(2024, 1, 1, 0, 0, 0), DateTime(2024, 1, 1, 0, 0, 9)));
    SyntheticRecording::Span span = recording.spans(0)[0];
    EXPECT_EQ(recording.firstKeyTick(span), std::optional<int64_t>(0));
    span.first = 1;
    EXPECT_EQ(recording.firstKeyTick(span), std::optional<int64_t>(4));
    span.first = 9; // ticks 9 only: no key frame left
    EXPECT_EQ(recording.firstKeyTick(span), std::nullopt);
}

TEST(SyntheticRecordingTest, CursorSkipsOtherChannelsAndEndsOnAnEmptyMask) {
    RecordingDescription description = oneChannel(DateTime(2024, 1, 1, 0, 0, 0), DateTime(2024, 1, 1, 0, 0, 4));
    description.videoChannels = 3;
    description.audioChannels = 3;
    const SyntheticRecording recording(description);
    RecordingCursor cursor(recording, recording.spans(0), 0x4, true);
    RecordingItem item;
    int count = 0;
    while (cursor.next(item)) {
        // Video channel 2 and audio channel 2, which belongs to it.
        EXPECT_EQ(item.channel, 2);
        ++count;
    }
    EXPECT_EQ(count, 10);
    RecordingCursor none(recording, recording.spans(0), 0x8, true);
    EXPECT_FALSE(none.next(item));
}

TEST(SyntheticRecordingTest, AnchoredRecordingEndsWhenTheSiteStarts) {
    SiteSettings settings;
    settings.recording.anchorToNow = true;
    const int64_t before = DateTime::now().epochSeconds();
    SiteServer site(settings);
    site.start();
    const int64_t after = DateTime::now().epochSeconds();
    const auto spans = site.recording().spans(0);
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_GE(spans.back().lastEpoch(), before);
    EXPECT_LE(spans.back().lastEpoch(), after);
    // The sections keep their lengths and gaps.
    EXPECT_EQ(spans.back().lastEpoch() - spans.front().firstEpoch(), 2 * 3600 - 1);
}

} // namespace
} // namespace ostrel
