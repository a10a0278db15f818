#include "fuzz/FuzzPackets.h"

#include "base/ByteBufferException.h"
#include "network/protocol/EncryptionKey.h"
#include "network/protocol/FinOption.h"
#include "network/protocol/LoginResult.h"
#include "network/protocol/Packet.h"
#include "network/protocol/PacketReader.h"
#include "network/protocol/ProductInfo.h"
#include "network/protocol/ProfileList.h"
#include "network/protocol/RemoteOemInfo.h"
#include "network/protocol/RemoteSystemInfo.h"
#include "network/protocol/playback/EventListEntry.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/PlaybackClientFacade.h"
#include "network/protocol/playback/RecordingTimeTableEntry.h"
#include "network/protocol/playback/StorageListEntry.h"
#include "network/protocol/playback/TextInEventListEntry.h"
#include "network/protocol/playback/TextInFrame.h"
#include "network/session/ClientSession.h"
#include "network/session/SelectDispatcher.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

namespace ostrel::fuzz {

namespace {

// Handle of the analyzed packets: negative, so that no reply is ever sent
// for an unknown packet (there is no session behind it).
constexpr int NoSession = -1;

// Keeps what the replies carry alive and looked at, so the sanitizers see
// every byte a parser handed on.
volatile std::uint32_t sink;

void touch(const void* bytes, std::uint64_t length) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    std::uint32_t sum = 0;
    for (std::uint64_t i = 0; i < length; ++i) {
        sum += p[i];
    }
    sink = sink + sum;
}

// A playback facade whose reply operations look at everything they are given.
class ReplyReader final : public PlaybackClientFacade {
public:
    using PlaybackClientFacade::PlaybackClientFacade;
    ~ReplyReader() override { stop(); }

    void recordingCalendarReceived(int, const std::vector<Date>& dates) override { sink = sink + dates.size(); }
    void recordingTimeTableReceived(int, const std::vector<RecordingTimeTableEntry>& list) override {
        sink = sink + list.size();
    }
    void eventListReceived(int, const std::vector<EventListEntry>& list) override { sink = sink + list.size(); }
    void sectionListReceived(int, const BitMask32&, const Interval&, const std::vector<uint32_t>& ids) override {
        sink = sink + ids.size();
    }
    void mediaFrameReceived(int, const MediaFrame& frame, bool, const MediaPosition&) override {
        touch(frame.data(), frame.dataLength());
    }
    void playbackStoppedReceived(int, uint32_t reason) override { sink = sink + reason; }
    void eventCalendarReceived(int, const std::vector<Date>& dates) override { sink = sink + dates.size(); }
    void textInFrameReceived(int, const TextInFrame& frame, bool, const MediaPosition&) override {
        touch(frame.text(), std::strlen(frame.text()));
    }
    void textInEventListReceived(int, const std::vector<TextInEventListEntry>& list) override {
        sink = sink + list.size();
    }
    void storageListReceived(int, bool, const std::vector<StorageListEntry>& list) override {
        for (const StorageListEntry& entry : list) {
            touch(entry.name(), std::strlen(entry.name()));
        }
    }
    void storageChanged(int) override { sink = sink + 1; }
    void finReceived(int, const FinOption& option) override { sink = sink + option.code(); }
};

// A facade whose sessions speak without the playback messages.
class PlainReader final : public ClientFacade {
public:
    using ClientFacade::ClientFacade;
    ~PlainReader() override { stop(); }
    void finReceived(int, const FinOption& option) override { sink = sink + option.code(); }
};

struct Facades {
    SelectDispatcher dispatcher{1, "fuzz"};
    ReplyReader playback{1, dispatcher};
    PlainReader plain{1, dispatcher};
};

Facades& facades() {
    static Facades instance;
    return instance;
}

// Runs one parser step; a refusal of the bytes is the expected answer.
void attempt(const std::function<void()>& step) {
    try {
        step();
    } catch (const ByteBufferException&) {
    }
}

void analyzePacket(Packet& packet) {
    Facades& f = facades();
    PlaybackClientPacketAnalyzer& playback = static_cast<PlaybackClientPacketAnalyzer&>(f.playback.clientPacketAnalyzer());
    attempt([&] { playback.analyze(NoSession, packet, f.playback); });
    attempt([&] { f.plain.clientPacketAnalyzer().analyze(NoSession, packet, f.plain); });
    attempt([&] { static_cast<PacketAnalyzer&>(playback).PacketAnalyzer::analyze(NoSession, packet, f.plain); });

    // The messages of the login phase, which the session parses itself.
    attempt([&] {
        ProfileList profiles;
        ProductInfo product;
        RemoteOemInfo oem;
        RemoteSystemInfo system;
        EncryptionKey key;
        bool newAliveCheck = false;
        playback.parseSync(packet, profiles, product, oem, system, key, newAliveCheck);
    });
    attempt([&] {
        LoginResult result;
        playback.parseLoginResponse(packet, result);
    });

    // Every reply parser, whatever the packet's type says.
    attempt([&] {
        std::vector<Date> dates;
        playback.parseRecordingCalendar(packet, dates);
    });
    attempt([&] {
        std::vector<RecordingTimeTableEntry> entries;
        playback.parseRecordingTimeTable(packet, entries);
    });
    attempt([&] {
        bool first = false;
        bool second = false;
        std::vector<EventListEntry> entries;
        playback.parseEventList(packet, first, second, entries);
    });
    attempt([&] {
        BitMask32 channels;
        Interval range;
        std::vector<uint32_t> ids;
        playback.parseSectionList(packet, channels, range, ids);
    });
    attempt([&] {
        bool flag = false;
        MediaPosition position;
        MediaFrame frame;
        playback.parseMediaFrame(packet, flag, position, frame);
        touch(frame.data(), frame.dataLength());
    });
    attempt([&] {
        uint32_t reason = 0;
        playback.parsePlaybackStopped(packet, reason);
    });
    attempt([&] {
        std::vector<Date> dates;
        playback.parseEventCalendar(packet, dates);
    });
    attempt([&] {
        MediaPosition position;
        TextInFrame frame;
        playback.parseTextInFrame(packet, position, frame);
        touch(frame.text(), std::strlen(frame.text()));
    });
    attempt([&] {
        bool first = false;
        bool second = false;
        uint32_t value = 0;
        std::vector<TextInEventListEntry> entries;
        playback.parseTextInEventList(packet, first, second, value, entries);
    });
    attempt([&] {
        bool flag = false;
        std::vector<StorageListEntry> entries;
        playback.parseStorageList(packet, flag, entries);
    });
    attempt([&] { playback.parseStorageChanged(packet); });
}

} // namespace

void analyzeStream(const std::uint8_t* stream, std::size_t size, std::size_t step) {
    // One reader for every input, as a session keeps its own: its packet
    // keeps the room it grew to instead of growing again for each input.
    static PacketReader reader(ClientSession::MaxPayloadSize);
    reader.reset();
    std::size_t at = 0;
    while (at < size) {
        const std::size_t piece = step == 0 ? size - at : std::min(step, size - at);
        int consumed = 0;
        const PacketReader::Result result = reader.feed(stream + at, static_cast<int>(piece), consumed);
        at += static_cast<std::size_t>(consumed);
        if (result == PacketReader::Result::InvalidPayloadSize) {
            return;
        }
        if (result == PacketReader::Result::Complete) {
            analyzePacket(reader.packet());
        }
    }
}

} // namespace ostrel::fuzz
