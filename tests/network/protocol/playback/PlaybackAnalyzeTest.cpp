// Replies of a site reach the playback facade's reply operations through the
// analyzer's dispatch; requests are refused when the analyzer cannot build them.
#include "base/Exception.h"
#include "network/protocol/CommonMessageType.h"
#include "network/protocol/FinOption.h"
#include "network/protocol/Packet.h"
#include "network/protocol/ProfileList.h"
#include "network/protocol/playback/EventListEntry.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/PlaybackClientFacade.h"
#include "network/protocol/playback/PlaybackMessageType.h"
#include "network/protocol/playback/RecordingTimeTableEntry.h"
#include "network/protocol/playback/StorageListEntry.h"
#include "network/protocol/playback/TextInEventListEntry.h"
#include "network/protocol/playback/TextInFrame.h"
#include "network/session/InvalidSessionHandleException.h"
#include "network/session/SelectDispatcher.h"
#include "network/support/PacketBytes.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace ostrel {
namespace {

// A playback facade that writes down each reply operation it hears.
class ReplyLog : public PlaybackClientFacade {
public:
    using PlaybackClientFacade::PlaybackClientFacade;

    void recordingCalendarReceived(int handle, const std::vector<Date>& dates) override {
        add(handle, "calendar " + std::to_string(dates.size()) + " " + dates.back().toString());
    }
    void recordingTimeTableReceived(int handle, const std::vector<RecordingTimeTableEntry>& list) override {
        add(handle, "timetable " + std::to_string(list.size()) + " first " + std::to_string(list.front().value()));
    }
    void eventListReceived(int handle, const std::vector<EventListEntry>& list) override {
        add(handle, "events " + std::to_string(list.size()) + " " + list[0].position().toString());
    }
    void sectionListReceived(int handle, const BitMask32& channels, const Interval& range,
                             const std::vector<uint32_t>& ids) override {
        add(handle, "sections " + std::to_string(channels.word()) + " " + range.from().toString() + " " +
                        std::to_string(ids.size()) + " " + std::to_string(ids.back()));
    }
    void mediaFrameReceived(int handle, const MediaFrame& frame, bool flag, const MediaPosition& position) override {
        add(handle, "frame " + std::to_string(frame.mediaID()) + " " + (flag ? "1" : "0") + " " +
                        position.toString() + " " + frame.time().toString() + " " +
                        std::string(reinterpret_cast<const char*>(frame.data()), frame.dataLength()));
    }
    void playbackStoppedReceived(int handle, uint32_t reason) override {
        add(handle, "stopped " + std::to_string(reason));
    }
    void eventCalendarReceived(int handle, const std::vector<Date>& dates) override {
        add(handle, "eventcalendar " + std::to_string(dates.size()));
    }
    void textInFrameReceived(int handle, const TextInFrame& frame, bool flag, const MediaPosition& position) override {
        add(handle, "textin " + std::string(frame.text()) + " " + (flag ? "1" : "0") + " " + position.toString() +
                        " flags " + std::to_string(frame.flags().word()));
    }
    void textInEventListReceived(int handle, const std::vector<TextInEventListEntry>& list) override {
        add(handle, "textinevents " + std::to_string(list.size()));
    }
    void storageListReceived(int handle, bool flag, const std::vector<StorageListEntry>& list) override {
        add(handle, "storages " + std::string(flag ? "1" : "0") + " " + list.back().name());
    }
    void storageChanged(int handle) override { add(handle, "storagechanged"); }
    void finReceived(int handle, const FinOption& option) override {
        add(handle, "fin " + std::to_string(option.code()));
    }
    void unknownPacketReceived(int handle, Packet& packet) override {
        add(handle, "unknown " + std::to_string(packet.type()));
    }

    std::vector<std::string> log;

private:
    void add(int handle, const std::string& line) { log.push_back(std::to_string(handle) + " " + line); }
};

// A facade whose sessions use an analyzer without playback messages.
class PlainAnalyzerFacade : public ReplyLog {
public:
    using ReplyLog::ReplyLog;
    ClientPacketAnalyzer& clientPacketAnalyzer() override { return _plain; }

private:
    ClientPacketAnalyzer _plain;
};

struct Reply {
    const char* name;
    std::function<void(Packet&)> build;
    std::string expected;
};

const DateTime Ten(2024, 1, 1, 10, 0, 0);
const DateTime Eleven(2024, 1, 1, 11, 0, 0);

void putFrameHeader(Packet& packet, uint64_t mediaID, uint32_t dataSize) {
    packet.putShort(MediaFrame::Video);
    packet.putShort(0);      // frameIndex
    packet.putInt(7);        // gopID
    packet.putInt(1u << 3);  // channel mask
    packet.putInt(dataSize); // dataSize
    packet.putLong(mediaID);
    packet.putFrameDateTime(Eleven);
    packet.putShort(0);
    packet.putShort(0);
    packet.putInt(0);
    packet.putLong(0);
    packet.putInt(0);  // linked channels
    packet.putInt(0);  // extraSize
    packet.putInt(0);
    packet.putInt(0);
}

std::vector<Reply> replies() {
    return {
        {"calendar",
         [](Packet& p) {
             p.begin(PLAYBACK_MESSAGE_RECORDING_CALENDAR);
             p.putInt(2);
             p.putDate(Date(2024, 1, 2));
             p.putDate(Date(2024, 1, 1));
         },
         "calendar 2 " + Date(2024, 1, 1).toString()},
        {"timetable",
         [](Packet& p) {
             p.begin(PLAYBACK_MESSAGE_RECORDING_TIME_TABLE);
             p.putInt(2);
             RecordingTimeTableEntry(9, Interval(Ten, Eleven), BitMask32(1)).write(p);
             RecordingTimeTableEntry(4, Interval(Ten, Eleven), BitMask32(1)).write(p);
         },
         "timetable 2 first 4"},
        {"events",
         [](Packet& p) {
             p.begin(PLAYBACK_MESSAGE_EVENT_LIST);
             p.putBool(false);
             p.putBool(true);
             p.putInt(1);
             EventListEntry(2, 0, BitMask32(1), Ten, 77, MediaPosition(1, 5, 0)).write(p);
         },
         "events 1 1 : (5, 0)"},
        {"sections",
         [](Packet& p) {
             p.begin(PLAYBACK_MESSAGE_SECTION_LIST);
             p.putInt(15);
             p.putDateTime(Ten);
             p.putDateTime(Eleven);
             p.putInt(2);
             p.putInt(1);
             p.putInt(3);
         },
         "sections 15 " + Ten.toString() + " 2 3"},
        {"frame",
         [](Packet& p) {
             p.begin(PLAYBACK_MESSAGE_MEDIA_FRAME);
             p.putBool(true);
             p.putInt(3);
             p.putInt(60);
             p.putInt(4);
             putFrameHeader(p, 42, 5);
             p.put("bytes", 5);
         },
         "frame 42 1 3 : (60, 4) " + Eleven.toString() + " bytes"},
        {"stopped",
         [](Packet& p) {
             p.begin(PLAYBACK_MESSAGE_PLAYBACK_STOPPED);
             p.putInt(3);
         },
         "stopped 3"},
        {"eventcalendar",
         [](Packet& p) {
             p.begin(PLAYBACK_MESSAGE_EVENT_CALENDAR);
             p.putInt(1);
             p.putDate(Date(2024, 1, 1));
         },
         "eventcalendar 1"},
        {"textin",
         [](Packet& p) {
             p.begin(PLAYBACK_MESSAGE_TEXT_IN_FRAME);
             p.putInt(1);
             p.putInt(3);
             p.putInt(40);
             p.putInt(1u << 2);
             p.putLong(99);
             p.putFrameDateTime(Ten);
             p.putInt(0);
             p.putShort(0);
             p.putInt(0);
             char text[64] = "RECEIPT 1";
             p.put(text, 64);
             p.putInt(6);
         },
         "textin RECEIPT 1 1 1 : (3, 40) flags 6"},
        {"textinevents",
         [](Packet& p) {
             p.begin(PLAYBACK_MESSAGE_TEXT_IN_EVENT_LIST);
             p.putBool(true);
             p.putBool(false);
             p.putInt(0);
             p.putInt(1);
             TextInEventListEntry(99, 0, Ten, 0, 0, BitMask32(4), "RECEIPT").write(p);
         },
         "textinevents 1"},
        {"storages",
         [](Packet& p) {
             p.begin(PLAYBACK_MESSAGE_STORAGE_LIST);
             p.putBool(true);
             p.putInt(1);
             StorageListEntry(2, "second disk").write(p);
         },
         "storages 1 second disk"},
        {"storagechanged", [](Packet& p) { p.begin(PLAYBACK_MESSAGE_STORAGE_CHANGE); }, "storagechanged"},
        {"fin",
         [](Packet& p) {
             p.begin(COMMON_MESSAGE_FIN);
             FinOption(7, "bye", 0).write(p);
         },
         "fin 7"},
        {"unknown", [](Packet& p) { p.begin(600); }, "unknown 600"},
    };
}

class PlaybackAnalyzeTest : public ::testing::Test {
protected:
    // Built like a site would: the whole packet, then received as bytes.
    static Packet received(const std::function<void(Packet&)>& build) {
        Packet packet;
        build(packet);
        packet.finish(true);
        return test::packetOf(test::bytesOf(packet));
    }

    SelectDispatcher dispatcher{1, "analyze-test"};
    ReplyLog facade{1, dispatcher};
    PlaybackClientPacketAnalyzer analyzer;
};

TEST_F(PlaybackAnalyzeTest, EveryReplyReachesItsOperation) {
    for (const Reply& reply : replies()) {
        SCOPED_TRACE(reply.name);
        facade.log.clear();
        Packet packet = received(reply.build);
        EXPECT_TRUE(analyzer.analyze(1234, packet, facade));
        EXPECT_EQ(facade.log, (std::vector<std::string>{"1234 " + reply.expected}));
    }
}

TEST_F(PlaybackAnalyzeTest, ShortReplyRaisesAndReachesNothing) {
    Packet packet = received([](Packet& p) {
        p.begin(PLAYBACK_MESSAGE_MEDIA_FRAME);
        p.putBool(true);
        p.putInt(3);
    });
    EXPECT_ANY_THROW(analyzer.analyze(1234, packet, facade));
    EXPECT_TRUE(facade.log.empty());
}

TEST_F(PlaybackAnalyzeTest, FacadeWithoutPlaybackHearsOnlyFinAndUnknown) {
    // A client facade that is not a playback facade: playback replies are unknown to it.
    class Recording : public ClientFacade {
    public:
        using ClientFacade::ClientFacade;
        void unknownPacketReceived(int, Packet& packet) override { log.push_back(packet.type()); }
        std::vector<int> log;
    } plain(1, dispatcher);
    Packet packet = received([](Packet& p) {
        p.begin(PLAYBACK_MESSAGE_PLAYBACK_STOPPED);
        p.putInt(2);
    });
    EXPECT_TRUE(analyzer.analyze(1, packet, plain));
    EXPECT_EQ(plain.log, (std::vector<int>{PLAYBACK_MESSAGE_PLAYBACK_STOPPED}));
}

TEST_F(PlaybackAnalyzeTest, RequestThatTheAnalyzerCannotBuildIsRefused) {
    PlainAnalyzerFacade plain(1, dispatcher);
    try {
        plain.sendPauseRequest(1000, MediaPosition(1, 2, 3));
        FAIL() << "no exception";
    } catch (const Exception& e) {
        ASSERT_NE(e.message(), nullptr);
        EXPECT_STREQ(e.message(), "Unsupported packet type.");
        EXPECT_NE(std::string(e.function()).find("sendPauseRequest"), std::string::npos);
    }
}

TEST_F(PlaybackAnalyzeTest, RequestOnAnUnknownHandleRaisesInvalidSessionHandle) {
    EXPECT_THROW(facade.sendSectionListRequest(4321, Interval(Ten, Eleven), BitMask32(BitMask32::AllBits)),
                 InvalidSessionHandleException);
}

TEST_F(PlaybackAnalyzeTest, OnlySitesWithAPlaybackProfileAreAccepted) {
    ProfileList withPlayback;
    withPlayback.add({1, 0, false});
    withPlayback.add({ProfileList::PlaybackProfile, 0, false});
    ProfileList without;
    without.add({1, 0, false});
    without.add({3, 0, false});
    EXPECT_TRUE(facade.profileListAcceptable(withPlayback));
    EXPECT_FALSE(facade.profileListAcceptable(without));
}

} // namespace
} // namespace ostrel
