// Playback from a simulated site started in-process, checked against an
// independent model of the recording the settings describe: lists, every
// frame of a played range with its exact payload, pause, jumps, backward
// play, and a recording that grows and is overwritten with the clock.
#include "network/protocol/CommonMessageType.h"
#include "network/protocol/PacketAnalyzer.h"
#include "network/protocol/playback/EventListEntry.h"
#include "network/protocol/playback/EventListRequest.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/PlayRequest.h"
#include "network/protocol/playback/PlaybackMessageType.h"
#include "network/protocol/playback/RecordingTimeTableEntry.h"
#include "network/protocol/playback/TextInFrame.h"
#include "ostrel-sitesim/SiteServer.h"
#include "tools/ostrel-sitesim/support/SiteTestClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace ostrel {
namespace {

using test::SiteTestClient;
using Bytes = std::vector<uint8_t>;

// The recording of these tests: two sections, 2 video and 1 audio channel
// at 2 frames a second in groups of 3, an event on channel 1's second frame
// of every second from second 1, a text-in on channel 0 every 2 seconds.
constexpr int V = 2;
constexpr int A = 1;
constexpr int Rate = 2;
constexpr int Gop = 3;
constexpr uint32_t KeySize = 40;
constexpr uint32_t OtherSize = 24;
constexpr uint32_t AudioSize = 8;
constexpr uint32_t Extra = 4;
constexpr int Slots = Rate * (V + A) + 1;

DateTime at(int hour, int minute, int second) { return DateTime(2024, 3, 1, hour, minute, second); }

SiteSettings testSite() {
    SiteSettings settings;
    RecordingDescription& r = settings.recording;
    r.sections = {{1, at(12, 0, 0), at(12, 0, 2)}, {2, at(12, 0, 10), at(12, 0, 11)}};
    r.videoChannels = V;
    r.audioChannels = A;
    r.frameRate = Rate;
    r.gopLength = Gop;
    r.keyFrameSize = KeySize;
    r.frameSize = OtherSize;
    r.audioFrameSize = AudioSize;
    r.extraSize = Extra;
    r.events = {{1, 1, 1, 1, 5, 2}};
    r.textIns = {{2, 0, 0, "POS", 3}};
    return settings;
}

// The payload formula of the site, written out again here: the common
// splitmix64 pattern with media ID, epoch seconds and channel XORed over its
// first 24 bytes.
Bytes payloadOf(size_t length, int channel, uint64_t mediaID, int64_t epoch) {
    constexpr uint64_t Golden = 0x9E3779B97F4A7C15ull;
    uint64_t state = 0x5349544553494D31ull;
    Bytes bytes;
    while (bytes.size() < length) {
        state += Golden;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (int b = 0; b < 8 && bytes.size() < length; ++b) {
            bytes.push_back(static_cast<uint8_t>(z >> (8 * b)));
        }
    }
    const uint64_t stamp[3] = {mediaID, static_cast<uint64_t>(epoch), static_cast<uint64_t>(channel)};
    for (size_t i = 0; i < bytes.size() && i < 24; ++i) {
        bytes[i] ^= static_cast<uint8_t>(stamp[i / 8] >> (8 * (i % 8)));
    }
    return bytes;
}

struct Frame {
    uint16_t type = 0; // 517 or 526
    MediaPosition position;
    uint16_t mediaType = 0;
    uint32_t channelMask = 0;
    uint16_t frameIndex = 0;
    uint32_t dataSize = 0;
    uint32_t extraSize = 0;
    DateTime time;
    uint64_t mediaID = 0;
    Bytes data;
    std::string text;
    // Attributes A to D and the linked channel mask.
    std::vector<uint64_t> attributes;

    bool operator==(const Frame& o) const {
        return std::tie(type, position, mediaType, channelMask, frameIndex, dataSize, extraSize, time, mediaID, data,
                        text, attributes) == std::tie(o.type, o.position, o.mediaType, o.channelMask, o.frameIndex,
                                                      o.dataSize, o.extraSize, o.time, o.mediaID, o.data, o.text,
                                                      o.attributes);
    }
};

std::ostream& operator<<(std::ostream& out, const Frame& f) {
    return out << f.type << " " << f.position.toString() << " type " << f.mediaType << " mask " << f.channelMask
               << " index " << f.frameIndex << " size " << f.dataSize << "+" << f.extraSize << " "
               << f.time.toString() << " id " << f.mediaID << " '" << f.text << "'";
}

// Every frame of seconds [from, to] (inclusive) in delivery order, from the model.
std::vector<Frame> expectedFrames(const DateTime& from, const DateTime& to, uint32_t mask) {
    struct Section {
        uint32_t id;
        DateTime start;
        int seconds;
    };
    const Section sections[] = {{1, at(12, 0, 0), 3}, {2, at(12, 0, 10), 2}};
    std::vector<Frame> frames;
    for (const Section& section : sections) {
        for (int s = 0; s < section.seconds; ++s) {
            DateTime time = section.start;
            time.addSeconds(s);
            if (time < from || time > to) {
                continue;
            }
            const int64_t epoch = time.epochSeconds();
            for (int tick = 0; tick < Rate; ++tick) {
                const int n = s * Rate + tick;
                for (int slotInTick = 0; slotInTick < V + A; ++slotInTick) {
                    const bool video = slotInTick < V;
                    const int channel = video ? slotInTick : slotInTick - V;
                    const int linked = video ? channel : channel % V;
                    if (!((mask >> linked) & 1u)) {
                        continue;
                    }
                    const uint32_t slot = static_cast<uint32_t>(tick * (V + A) + slotInTick);
                    Frame f;
                    f.type = PLAYBACK_MESSAGE_MEDIA_FRAME;
                    f.position = MediaPosition(section.id, static_cast<uint32_t>(s), slot);
                    f.mediaType = video ? 0 : 1;
                    f.channelMask = 1u << channel;
                    f.frameIndex = video ? static_cast<uint16_t>(n % Gop) : 0;
                    f.dataSize = video ? (n % Gop == 0 ? KeySize : OtherSize) : AudioSize;
                    f.extraSize = video ? Extra : 0;
                    f.time = time;
                    f.mediaID = (uint64_t{section.id} << 40) + static_cast<uint64_t>(s * Slots) + slot;
                    f.data = payloadOf(f.dataSize + f.extraSize, channel, f.mediaID, epoch);
                    // Frame rate, group length, tick number, the tick's offset in ms; audio names its video channel.
                    f.attributes = {Rate, Gop, static_cast<uint64_t>(n), static_cast<uint64_t>(n) * 1000 / Rate,
                                    video ? 0u : 1u << linked};
                    frames.push_back(f);
                }
            }
            if (s % 2 == 0 && (mask & 1u)) {
                Frame f;
                f.type = PLAYBACK_MESSAGE_TEXT_IN_FRAME;
                f.position = MediaPosition(section.id, static_cast<uint32_t>(s), Rate * (V + A));
                f.channelMask = 1;
                f.time = time;
                f.mediaID = (uint64_t{section.id} << 40) + static_cast<uint64_t>(s * Slots) + Rate * (V + A);
                f.text = "POS " + std::to_string(s / 2);
                frames.push_back(f);
            }
        }
    }
    return frames;
}

class SitePlaybackTest : public testing::Test {
protected:
    explicit SitePlaybackTest(SiteSettings settings = testSite()) : _site(std::move(settings)) {
        _port = _site.start();
        _client = std::make_unique<SiteTestClient>(_port);
        const LoginResult login = _client->login("admin", "admin");
        EXPECT_EQ(login.code, LoginResult::Success);
    }

    SiteTestClient& client() { return *_client; }
    const PlaybackClientPacketAnalyzer& analyzer() { return _client->analyzer(); }

    // Frames until the stop notice; its reason.
    uint32_t collect(std::vector<Frame>& frames, size_t limit = 100000) {
        Packet packet;
        while (frames.size() <= limit) {
            if (!client().receive(packet)) {
                throw std::runtime_error("the site closed the connection during a playback");
            }
            Frame f;
            f.type = packet.type();
            if (f.type == PLAYBACK_MESSAGE_PLAYBACK_STOPPED) {
                uint32_t reason = 0;
                analyzer().parsePlaybackStopped(packet, reason);
                return reason;
            }
            if (f.type == PLAYBACK_MESSAGE_MEDIA_FRAME) {
                bool flag = false;
                MediaFrame frame;
                analyzer().parseMediaFrame(packet, flag, f.position, frame);
                EXPECT_TRUE(flag);
                f.mediaType = frame.mediaType();
                f.channelMask = frame.channelMask().word();
                f.frameIndex = frame.frameIndex();
                f.dataSize = frame.dataSize();
                f.extraSize = frame.extraSize();
                f.time = frame.time();
                f.mediaID = frame.mediaID();
                f.data.assign(frame.data(), frame.data() + frame.dataLength());
                f.attributes = {frame.attributeA(), frame.attributeB(), frame.attributeC(), frame.attributeD(),
                                frame.linkedChannelMask().word()};
            } else if (f.type == PLAYBACK_MESSAGE_TEXT_IN_FRAME) {
                TextInFrame text;
                analyzer().parseTextInFrame(packet, f.position, text);
                f.channelMask = text.channelMask().word();
                f.time = text.time();
                f.mediaID = text.mediaID();
                f.text = text.text();
                EXPECT_EQ(text.flags().word(), 3u);
            } else {
                ADD_FAILURE() << "unexpected packet type " << f.type;
            }
            frames.push_back(f);
        }
        throw std::runtime_error("the playback did not stop");
    }

    uint32_t play(const PlayRequest& request, std::vector<Frame>& frames) {
        Packet packet;
        analyzer().makePlayRequest(packet, request);
        client().send(packet);
        return collect(frames);
    }

    SiteServer _site;
    uint16_t _port = 0;
    std::unique_ptr<SiteTestClient> _client;
};

const BitMask32 All(BitMask32::AllBits);
const Interval Everything(DateTime(1900, 1, 1, 0, 0, 0), DateTime(2100, 12, 31, 23, 59, 59));

TEST_F(SitePlaybackTest, PlayDeliversEveryFrameInOrderWithItsExactPayload) {
    std::vector<Frame> frames;
    const uint32_t reason = play(PlayRequest::play(Interval(at(12, 0, 0), at(12, 0, 11)), All, 1, 1, 3), frames);
    EXPECT_EQ(reason, 2u); // the end of the range is the newest second: the range was covered
    const std::vector<Frame> expected = expectedFrames(at(12, 0, 0), at(12, 0, 11), 0xFFFFFFFF);
    ASSERT_EQ(frames.size(), expected.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i], expected[i]) << "frame " << i;
    }
}

TEST_F(SitePlaybackTest, PlayOfPartOfARangeAndOfSomeChannels) {
    std::vector<Frame> frames;
    EXPECT_EQ(play(PlayRequest::play(Interval(at(12, 0, 1), at(12, 0, 10)), BitMask32(0x2), 1, 1, 3), frames), 2u);
    EXPECT_EQ(frames, expectedFrames(at(12, 0, 1), at(12, 0, 10), 0x2));
    for (const Frame& f : frames) {
        EXPECT_EQ(f.channelMask, 2u); // no audio (it belongs to channel 0) and no text-in
    }
    frames.clear();
    // Reaching past the newest recorded second ends with reason 3.
    EXPECT_EQ(play(PlayRequest::play(Interval(at(12, 0, 11), at(13, 0, 0)), All, 1, 1, 3), frames), 3u);
    EXPECT_EQ(frames, expectedFrames(at(12, 0, 11), at(12, 0, 11), 0xFFFFFFFF));
    frames.clear();
    // A range between the sections holds nothing.
    EXPECT_EQ(play(PlayRequest::play(Interval(at(12, 0, 3), at(12, 0, 9)), All, 1, 1, 3), frames), 5u);
    EXPECT_TRUE(frames.empty());
}

TEST_F(SitePlaybackTest, BackwardPlayDeliversTheSameFramesInReverse) {
    std::vector<Frame> frames;
    EXPECT_EQ(play(PlayRequest::play(Interval(at(12, 0, 0), at(12, 0, 11)), All, 2, 1, 3), frames), 2u);
    std::vector<Frame> expected = expectedFrames(at(12, 0, 0), at(12, 0, 11), 0xFFFFFFFF);
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(frames, expected);
}

TEST_F(SitePlaybackTest, ListsDescribeTheRecording) {
    Packet packet;
    analyzer().makeRecordingTimeTableRequest(packet, Everything, All);
    client().send(packet);
    Packet reply = client().expect(PLAYBACK_MESSAGE_RECORDING_TIME_TABLE);
    std::vector<RecordingTimeTableEntry> table;
    analyzer().parseRecordingTimeTable(reply, table);
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].value(), 1u);
    EXPECT_EQ(table[0].range(), Interval(at(12, 0, 0), at(12, 0, 2)));
    EXPECT_EQ(table[0].channels().word(), 3u);
    EXPECT_EQ(table[1].range(), Interval(at(12, 0, 10), at(12, 0, 11)));

    analyzer().makeSectionListRequest(packet, Interval(at(12, 0, 2), at(12, 0, 10)), BitMask32(1));
    client().send(packet);
    reply = client().expect(PLAYBACK_MESSAGE_SECTION_LIST);
    BitMask32 channels;
    Interval range;
    std::vector<uint32_t> ids;
    analyzer().parseSectionList(reply, channels, range, ids);
    EXPECT_EQ(channels.word(), 1u);
    EXPECT_EQ(range, Interval(at(12, 0, 2), at(12, 0, 10)));
    EXPECT_EQ(ids, (std::vector<uint32_t>{1, 2}));

    analyzer().makeSectionListRequest(packet, Interval(at(12, 0, 3), at(12, 0, 9)), All);
    client().send(packet);
    reply = client().expect(PLAYBACK_MESSAGE_SECTION_LIST);
    analyzer().parseSectionList(reply, channels, range, ids);
    EXPECT_TRUE(ids.empty());

    analyzer().makeRecordingCalendarRequest(packet, Date(1900, 1, 1), Date(2100, 12, 31));
    client().send(packet);
    reply = client().expect(PLAYBACK_MESSAGE_RECORDING_CALENDAR);
    std::vector<Date> dates;
    analyzer().parseRecordingCalendar(reply, dates);
    EXPECT_EQ(dates, (std::vector<Date>{Date(2024, 3, 1)}));
}

TEST_F(SitePlaybackTest, EventsSitExactlyOnTheirVideoFrames) {
    std::vector<Frame> frames;
    play(PlayRequest::play(Everything, All, 1, 1, 3), frames);
    std::map<std::tuple<uint32_t, uint32_t, uint32_t>, Frame> byPosition;
    for (const Frame& f : frames) {
        byPosition[{f.position.first(), f.position.second(), f.position.third()}] = f;
    }

    Packet packet;
    analyzer().makeEventListRequest(packet, EventListRequest(Everything, All, 0xFFFFFFFF, 0xFFFFFFFF));
    client().send(packet);
    Packet reply = client().expect(PLAYBACK_MESSAGE_EVENT_LIST);
    bool more = true;
    bool second = true;
    std::vector<EventListEntry> events;
    analyzer().parseEventList(reply, more, second, events);
    EXPECT_FALSE(more);
    // Seconds 1 and 2 of section 1, second 1 of section 2.
    ASSERT_EQ(events.size(), 3u);
    for (const EventListEntry& event : events) {
        EXPECT_EQ(event.type(), 5);
        EXPECT_EQ(event.subType(), 2);
        EXPECT_EQ(event.channels().word(), 2u);
        EXPECT_EQ(event.position().third(), static_cast<uint32_t>(1 * (V + A) + 1)); // tick 1, channel 1
        const auto it = byPosition.find({event.position().first(), event.position().second(),
                                         event.position().third()});
        ASSERT_NE(it, byPosition.end()) << event.position().toString();
        EXPECT_EQ(it->second.mediaType, 0);
        EXPECT_EQ(it->second.channelMask, 2u);
        EXPECT_EQ(it->second.time, event.time());
        EXPECT_EQ(it->second.mediaID, event.value());
    }
    EXPECT_EQ(events[0].time(), at(12, 0, 1));
    EXPECT_EQ(events[2].time(), at(12, 0, 11));

    // A type filter without bit 5, or channels without channel 1, leave nothing.
    analyzer().makeEventListRequest(packet, EventListRequest(Everything, All, ~(1u << 5), 0xFFFFFFFF));
    client().send(packet);
    reply = client().expect(PLAYBACK_MESSAGE_EVENT_LIST);
    analyzer().parseEventList(reply, more, second, events);
    EXPECT_TRUE(events.empty());
    analyzer().makeEventListRequest(packet, EventListRequest(Everything, BitMask32(1), 0xFFFFFFFF, 0xFFFFFFFF));
    client().send(packet);
    reply = client().expect(PLAYBACK_MESSAGE_EVENT_LIST);
    analyzer().parseEventList(reply, more, second, events);
    EXPECT_TRUE(events.empty());
}

TEST_F(SitePlaybackTest, JumpToAPositionDeliversTheFramesOfItsTick) {
    Packet packet;
    // The audio frame of tick 1 of second 1 of section 1.
    analyzer().makeJumpToPositionRequest(packet, MediaPosition(1, 1, 5), 0);
    client().send(packet);
    std::vector<Frame> frames;
    EXPECT_EQ(collect(frames), 4u);
    std::vector<Frame> expected;
    for (const Frame& f : expectedFrames(at(12, 0, 1), at(12, 0, 1), 0xFFFFFFFF)) {
        if (f.position.third() >= 3 && f.position.third() < 6) {
            expected.push_back(f);
        }
    }
    EXPECT_EQ(frames, expected);

    // The jump-to-event form limits the channels.
    analyzer().makeJumpToEventRequest(packet, MediaPosition(1, 1, 5), BitMask32(0x2));
    client().send(packet);
    frames.clear();
    EXPECT_EQ(collect(frames), 4u);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].position, MediaPosition(1, 1, 4));

    // A text-in position gives that record.
    analyzer().makeJumpToPositionRequest(packet, MediaPosition(2, 0, 6), 0);
    client().send(packet);
    frames.clear();
    EXPECT_EQ(collect(frames), 4u);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].text, "POS 0");
    EXPECT_EQ(frames[0].time, at(12, 0, 10));

    // Positions that hold nothing: past the section, an unknown section, a text-in slot that does not fire.
    for (const MediaPosition& nothing : {MediaPosition(1, 3, 0), MediaPosition(9, 0, 0), MediaPosition(1, 1, 6),
                                         MediaPosition(1, 0, 7)}) {
        analyzer().makeJumpToPositionRequest(packet, nothing, 0);
        client().send(packet);
        frames.clear();
        EXPECT_EQ(collect(frames), 5u) << nothing.toString();
        EXPECT_TRUE(frames.empty());
    }
}

TEST_F(SitePlaybackTest, JumpBySectionLandsOnTheFirstKeyFrameTickInTheRange) {
    std::vector<Frame> frames;
    EXPECT_EQ(play(PlayRequest::jump(Everything, All, 2), frames), 4u);
    ASSERT_EQ(frames.size(), static_cast<size_t>(V + A));
    EXPECT_EQ(frames[0].position, MediaPosition(2, 0, 0));
    EXPECT_EQ(frames[0].frameIndex, 0);
    EXPECT_EQ(frames[0].time, at(12, 0, 10));

    // From 12:00:01 the first key frame of section 1 is tick 3 (second 1, tick 1).
    frames.clear();
    EXPECT_EQ(play(PlayRequest::jump(Interval(at(12, 0, 1), at(12, 0, 11)), All, 1), frames), 4u);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].position, MediaPosition(1, 1, 3));
    EXPECT_EQ(frames[0].frameIndex, 0);
    EXPECT_EQ(frames[0].time, at(12, 0, 1));

    frames.clear();
    EXPECT_EQ(play(PlayRequest::jump(Everything, All, 3), frames), 5u);
    EXPECT_TRUE(frames.empty());

    // Step: the first tick of the range.
    frames.clear();
    EXPECT_EQ(play(PlayRequest(PlayRequest::Step, Interval(at(12, 0, 2), at(12, 0, 11)), All, 1, 1, 0), frames),
              4u);
    ASSERT_EQ(frames.size(), static_cast<size_t>(V + A));
    EXPECT_EQ(frames[0].position, MediaPosition(1, 2, 0));
}

class LongSitePlaybackTest : public SitePlaybackTest {
protected:
    static SiteSettings longSite() {
        SiteSettings settings;
        settings.recording.sections = {{1, at(0, 0, 0), at(23, 59, 59)}};
        settings.recording.frameRate = 25;
        settings.recording.keyFrameSize = 60000;
        settings.recording.frameSize = 20000;
        return settings;
    }
    LongSitePlaybackTest() : SitePlaybackTest(longSite()) {}
};

TEST_F(LongSitePlaybackTest, PauseStopsAPlaybackAtOnce) {
    Packet packet;
    analyzer().makePlayRequest(packet, PlayRequest::play(Everything, All, 1, 1, 3));
    client().send(packet);
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(client().expect(PLAYBACK_MESSAGE_MEDIA_FRAME).type(), PLAYBACK_MESSAGE_MEDIA_FRAME);
    }
    analyzer().makePauseRequest(packet, MediaPosition(1, 0, 9));
    client().send(packet);
    std::vector<Frame> frames;
    EXPECT_EQ(collect(frames), 1u);
    // A day holds 10.8 million frames; what arrives after the pause is only
    // what was already on its way (socket buffers and the site's low-water mark).
    EXPECT_LT(frames.size(), 5000u);
    EXPECT_EQ(frames.empty() ? MediaPosition(1, 0, 10) : frames.front().position, MediaPosition(1, 0, 10));
    // The session goes on.
    PacketAnalyzer().makeAliveCheck(packet, false);
    client().send(packet);
    EXPECT_NO_THROW(client().expect(COMMON_MESSAGE_ALIVE_CHECK));
    // A pause without a playback is answered too, so a client waiting for a stop always gets one.
    analyzer().makePauseRequest(packet, MediaPosition(1, 0, 9));
    client().send(packet);
    frames.clear();
    EXPECT_EQ(collect(frames), 1u);
    EXPECT_TRUE(frames.empty());
}

std::atomic<int64_t> manualClock{0};

class GrowingSitePlaybackTest : public SitePlaybackTest {
protected:
    static SiteSettings growingSite() {
        SiteSettings settings = testSite();
        settings.recording.sections = {{1, at(12, 0, 0), at(12, 0, 9)}};
        settings.recording.growing = true;
        settings.recording.retainSeconds = 10;
        manualClock = 0;
        settings.clock = [] { return manualClock.load(); };
        return settings;
    }
    GrowingSitePlaybackTest() : SitePlaybackTest(growingSite()) {}

    Interval timeTable() {
        Packet packet;
        analyzer().makeRecordingTimeTableRequest(packet, Everything, All);
        client().send(packet);
        Packet reply = client().expect(PLAYBACK_MESSAGE_RECORDING_TIME_TABLE);
        std::vector<RecordingTimeTableEntry> table;
        analyzer().parseRecordingTimeTable(reply, table);
        EXPECT_EQ(table.size(), 1u);
        return table.empty() ? Interval() : table[0].range();
    }
};

TEST_F(GrowingSitePlaybackTest, RecordingGrowsAndItsOldestPartIsOverwritten) {
    EXPECT_EQ(timeTable(), Interval(at(12, 0, 0), at(12, 0, 9)));
    Packet packet;
    analyzer().makeJumpToPositionRequest(packet, MediaPosition(1, 2, 0), 0);
    client().send(packet);
    std::vector<Frame> frames;
    EXPECT_EQ(collect(frames), 4u);
    EXPECT_FALSE(frames.empty());

    manualClock = 5;
    EXPECT_EQ(timeTable(), Interval(at(12, 0, 5), at(12, 0, 14)));
    // The position resumed from has been overwritten.
    client().send(packet);
    frames.clear();
    EXPECT_EQ(collect(frames), 5u);
    EXPECT_TRUE(frames.empty());
    // The new part plays, up to the newest second.
    frames.clear();
    EXPECT_EQ(play(PlayRequest::play(Interval(at(12, 0, 0), at(12, 0, 30)), BitMask32(1), 1, 1, 3), frames), 3u);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().time, at(12, 0, 5));
    EXPECT_EQ(frames.back().time, at(12, 0, 14));
    EXPECT_EQ(frames.back().position.second(), 14u);
}

} // namespace
} // namespace ostrel
