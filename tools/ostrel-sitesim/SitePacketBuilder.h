#pragma once

#include "base/BitMask32.h"
#include "base/Date.h"
#include "base/Interval.h"

#include <cstdint>
#include <vector>

namespace ostrel {

class EncryptionKey;
class EventListEntry;
class MediaFrame;
class MediaPosition;
class Packet;
class RecordingTimeTableEntry;
class TextInFrame;
struct LoginResult;
struct SiteSettings;

// Builds the packets the site end of the protocol sends. Each builds one
// whole packet (begin, payload, finish with padding) into the given packet.
class SitePacketBuilder {
public:
    // COMMON_MESSAGE_SYNC: the local Protocol, then ProfileList (types 1, 2
    // and 3, or 1 and 3 without a playback profile), ProductInfo,
    // EncryptionKey, RemoteSystemInfo and option 13.
    static void sync(Packet& packet, const SiteSettings& settings, const EncryptionKey& key);
    // COMMON_MESSAGE_RESPONSE_LOGIN: u8 code, u32 first, u32 second.
    static void loginResponse(Packet& packet, const LoginResult& result);
    static void channelFull(Packet& packet);
    // COMMON_MESSAGE_UNKNOWN_TYPE carrying the unrecognised type.
    static void unknownType(Packet& packet, uint16_t type);
    // COMMON_MESSAGE_FIN: code, text, value.
    static void fin(Packet& packet, uint8_t code, const char* text, uint16_t value);
    // 513 and 521: u32 n; n Dates.
    static void calendar(Packet& packet, uint16_t type, const std::vector<Date>& dates);
    static void timeTable(Packet& packet, const std::vector<RecordingTimeTableEntry>& entries);
    static void eventList(Packet& packet, bool more, const std::vector<EventListEntry>& entries);
    static void sectionList(Packet& packet, const BitMask32& channels, const Interval& range,
                            const std::vector<uint32_t>& sectionIDs);
    // 517: flag; position; the header with its DateTime in frame layout; the data.
    static void mediaFrame(Packet& packet, bool flag, const MediaPosition& position, const MediaFrame& frame);
    // The same packet without its data: everything up to the data, with the
    // payload size of the whole packet (data and padding included), for a
    // sender that appends the frame's data and then paddingOf(dataLength)
    // zero bytes itself.
    static void mediaFrameHead(Packet& packet, bool flag, const MediaPosition& position, const MediaFrame& frame);
    // Zero bytes that follow data of that length in a 517 packet.
    static uint32_t mediaFramePadding(uint64_t dataLength);
    // 526: position; channel mask; media ID; DateTime (frame layout); gopID;
    // frameIndex; attribute; 64 text bytes; flags.
    static void textInFrame(Packet& packet, const MediaPosition& position, const TextInFrame& frame);
    // 519: u32 reason.
    static void playbackStopped(Packet& packet, uint32_t reason);
};

} // namespace ostrel
