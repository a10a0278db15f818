// Every playback reply parser fed truncated and random payloads: each either
// succeeds or raises ByteBufferException, never reads outside the received
// payload (checked by the sanitizer build and, for the frame data pointer,
// explicitly) and never allocates more than the payload can justify.
#include "base/ByteBufferException.h"
#include "network/protocol/Packet.h"
#include "network/protocol/playback/EventListEntry.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/PlaybackClientPacketAnalyzer.h"
#include "network/protocol/playback/RecordingTimeTableEntry.h"
#include "network/protocol/playback/StorageListEntry.h"
#include "network/protocol/playback/TextInEventListEntry.h"
#include "network/protocol/playback/TextInFrame.h"
#include "network/support/PacketBytes.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using Bytes = std::vector<uint8_t>;

const PlaybackClientPacketAnalyzer Analyzer;

struct ReplyParser {
    std::string name;
    uint16_t type;
    // Shortest valid payload length (a prefix shorter than this must be refused).
    size_t minimum;
    Bytes valid;
    std::function<void(Packet&)> parse;
};

Bytes be(uint64_t value, int width) {
    Bytes b;
    for (int i = width - 1; i >= 0; --i) {
        b.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

const Bytes DateTimeBytes = {0x07, 0xE8, 1, 2, 0, 3, 4, 5};

void checkFrameInside(const Packet& packet, const MediaFrame& frame) {
    const uint8_t* base = packet.array() - packet.position();
    ASSERT_GE(frame.data(), base + Packet::HeaderSize);
    ASSERT_LE(frame.data() + frame.dataLength(), base + packet.limit());
}

std::vector<ReplyParser> parsers() {
    const Bytes mediaHeader = cat({be(0, 2), be(0, 2), be(1, 4), be(1, 4), be(4, 4), be(9, 8), DateTimeBytes,
                                   be(0, 2), be(0, 2), be(0, 4), be(0, 8), be(0, 4), be(2, 4), be(0, 8)});
    const Bytes textIn = cat({be(1, 4), be(2, 4), be(3, 4), be(1, 4), be(5, 8), DateTimeBytes, be(1, 4), be(0, 2),
                              be(0, 4), Bytes(64, 'T')});
    return {
        {"RecordingCalendar", 513, 8, cat({be(2, 4), be(0x07E80101, 4), be(0x07E80102, 4)}),
         [](Packet& p) {
             std::vector<Date> d;
             Analyzer.parseRecordingCalendar(p, d);
         }},
        {"RecordingTimeTable", 514, 28, cat({be(1, 4), be(1, 4), DateTimeBytes, DateTimeBytes, be(1, 4)}),
         [](Packet& p) {
             std::vector<RecordingTimeTableEntry> e;
             Analyzer.parseRecordingTimeTable(p, e);
         }},
        {"EventList", 515, 40,
         cat({Bytes{1, 0}, be(1, 4), Bytes{1, 2}, be(1, 4), DateTimeBytes, be(7, 8), be(1, 4), be(1, 4), be(1, 4)}),
         [](Packet& p) {
             bool a = false, b = false;
             std::vector<EventListEntry> e;
             Analyzer.parseEventList(p, a, b, e);
         }},
        {"SectionList", 516, 28, cat({be(1, 4), DateTimeBytes, DateTimeBytes, be(2, 4), be(5, 4), be(6, 4)}),
         [](Packet& p) {
             BitMask32 c;
             Interval r;
             std::vector<uint32_t> ids;
             Analyzer.parseSectionList(p, c, r, ids);
         }},
        {"MediaFrame", 517, 1 + 12 + 64 + 6,
         cat({Bytes{1}, be(1, 4), be(1, 4), be(1, 4), mediaHeader, Bytes{1, 2, 3, 4, 5, 6}}),
         [](Packet& p) {
             bool f = false;
             MediaPosition pos;
             MediaFrame frame;
             Analyzer.parseMediaFrame(p, f, pos, frame);
             checkFrameInside(p, frame);
         }},
        {"PlaybackStopped", 519, 4, be(4, 4),
         [](Packet& p) {
             uint32_t r = 0;
             Analyzer.parsePlaybackStopped(p, r);
         }},
        {"EventCalendar", 521, 8, cat({be(1, 4), be(0x07E80101, 4)}),
         [](Packet& p) {
             std::vector<Date> d;
             Analyzer.parseEventCalendar(p, d);
         }},
        {"TextInFrame", 526, 106, cat({textIn, be(3, 4)}),
         [](Packet& p) {
             MediaPosition pos;
             TextInFrame frame;
             Analyzer.parseTextInFrame(p, pos, frame);
         }},
        {"TextInEventList", 527, 10 + 93,
         cat({Bytes{1, 1}, be(0, 4), be(1, 4), be(1, 8), be(1, 4), DateTimeBytes, be(1, 4), be(1, 2), be(1, 4),
              Bytes(63, 'q')}),
         [](Packet& p) {
             bool a = false, b = false;
             uint32_t v = 0;
             std::vector<TextInEventListEntry> e;
             Analyzer.parseTextInEventList(p, a, b, v, e);
         }},
        {"StorageList", 530, 5 + 4 + 5, cat({Bytes{0}, be(1, 4), be(3, 4), be(2, 2), Bytes{'d', '1', 0}}),
         [](Packet& p) {
             bool f = false;
             std::vector<StorageListEntry> e;
             Analyzer.parseStorageList(p, f, e);
         }},
    };
}

class PlaybackMalformedReplyTest : public testing::TestWithParam<ReplyParser> {};

TEST_P(PlaybackMalformedReplyTest, ValidPayloadParses) {
    const ReplyParser& parser = GetParam();
    Packet packet = test::packetWith(parser.type, parser.valid);
    EXPECT_NO_THROW(parser.parse(packet));
}

TEST_P(PlaybackMalformedReplyTest, EveryTruncationIsRefused) {
    const ReplyParser& parser = GetParam();
    for (size_t length = 0; length < parser.minimum; ++length) {
        Packet packet = test::packetWith(parser.type, Bytes(parser.valid.begin(), parser.valid.begin() + length));
        EXPECT_THROW(parser.parse(packet), ByteBufferException) << "length " << length;
    }
    // Between the minimum and the full payload only optional trailing fields are missing.
    for (size_t length = parser.minimum; length < parser.valid.size(); ++length) {
        Packet packet = test::packetWith(parser.type, Bytes(parser.valid.begin(), parser.valid.begin() + length));
        try {
            parser.parse(packet);
        } catch (const ByteBufferException&) {
        }
    }
}

TEST_P(PlaybackMalformedReplyTest, RandomPayloadsNeverEscapeThePacket) {
    const ReplyParser& parser = GetParam();
    std::mt19937 random(parser.type);
    for (int round = 0; round < 3000; ++round) {
        Bytes payload;
        if (round % 2 == 0) {
            // Mutate the valid payload: flip bytes, and sometimes cut or extend it.
            payload = parser.valid;
            const int flips = 1 + static_cast<int>(random() % 4);
            for (int i = 0; i < flips; ++i) {
                payload[random() % payload.size()] = static_cast<uint8_t>(random());
            }
            if (random() % 3 == 0) {
                payload.resize(random() % (payload.size() + 16), static_cast<uint8_t>(random()));
            }
        } else {
            payload.resize(random() % 256);
            for (uint8_t& b : payload) {
                b = static_cast<uint8_t>(random());
            }
        }
        Packet packet = test::packetWith(parser.type, payload);
        try {
            parser.parse(packet);
        } catch (const ByteBufferException&) {
        }
        EXPECT_LE(packet.position(), packet.limit());
    }
}

INSTANTIATE_TEST_SUITE_P(AllReplies, PlaybackMalformedReplyTest, testing::ValuesIn(parsers()),
                         [](const testing::TestParamInfo<ReplyParser>& info) { return info.param.name; });

} // namespace
} // namespace ostrel
