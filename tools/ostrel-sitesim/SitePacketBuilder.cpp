#include "ostrel-sitesim/SitePacketBuilder.h"

#include "base/ByteBufferException.h"
#include "network/protocol/CommonMessageType.h"
#include "network/protocol/EncryptionKey.h"
#include "network/protocol/FinOption.h"
#include "network/protocol/LoginResult.h"
#include "network/protocol/NewAliveCheckOption.h"
#include "network/protocol/Packet.h"
#include "network/protocol/ProductInfo.h"
#include "network/protocol/ProfileList.h"
#include "network/protocol/Protocol.h"
#include "network/protocol/RemoteSystemInfo.h"
#include "network/protocol/SyncOptionList.h"
#include "network/protocol/playback/EventListEntry.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/PlaybackMessageType.h"
#include "network/protocol/playback/RecordingTimeTableEntry.h"
#include "network/protocol/playback/TextInFrame.h"
#include "ostrel-sitesim/SiteSettings.h"

#include <cstdint>

#include <cstring>

namespace ostrel {

void SitePacketBuilder::sync(Packet& packet, const SiteSettings& settings, const EncryptionKey& key) {
    ProfileList profiles;
    profiles.add({1, 1, true});
    if (!settings.faults.noPlaybackProfile) {
        profiles.add({ProfileList::PlaybackProfile, 1, true});
    }
    profiles.add({3, 1, false});
    ProductInfo product(1, settings.modelCode, settings.productName, settings.version);
    RemoteSystemInfo system;
    system.setIdentification({'O', 'S', 'T', 'S', 'I', 'M'});
    system.setSystemType(3);
    system.setCounts(static_cast<uint8_t>(settings.recording.videoChannels),
                     static_cast<uint8_t>(settings.recording.audioChannels), 0, 0, 0);
    system.setName(settings.name);
    EncryptionKey keyOption(key.bytes());
    SyncOptionList options;
    options.add(profiles);
    options.add(product);
    options.add(keyOption);
    options.add(system);
    options.add(NewAliveCheckOption::instance());

    packet.begin(COMMON_MESSAGE_SYNC);
    Protocol::local().write(packet);
    options.write(packet);
    packet.finish(true);
}

void SitePacketBuilder::loginResponse(Packet& packet, const LoginResult& result) {
    packet.begin(COMMON_MESSAGE_RESPONSE_LOGIN);
    packet.put(result.code);
    packet.putInt(result.first);
    packet.putInt(result.second);
    packet.finish(true);
}

void SitePacketBuilder::channelFull(Packet& packet) {
    packet.begin(COMMON_MESSAGE_CHANNEL_FULL);
    packet.finish(true);
}

void SitePacketBuilder::unknownType(Packet& packet, uint16_t type) {
    packet.begin(COMMON_MESSAGE_UNKNOWN_TYPE);
    packet.putShort(type);
    packet.finish(true);
}

void SitePacketBuilder::fin(Packet& packet, uint8_t code, const char* text, uint16_t value) {
    packet.begin(COMMON_MESSAGE_FIN);
    FinOption(code, text, value).write(packet);
    packet.finish(true);
}

void SitePacketBuilder::calendar(Packet& packet, uint16_t type, const std::vector<Date>& dates) {
    packet.begin(type);
    packet.putInt(static_cast<uint32_t>(dates.size()));
    for (const Date& date : dates) {
        packet.putDate(date);
    }
    packet.finish(true);
}

void SitePacketBuilder::timeTable(Packet& packet, const std::vector<RecordingTimeTableEntry>& entries) {
    packet.begin(PLAYBACK_MESSAGE_RECORDING_TIME_TABLE);
    packet.putInt(static_cast<uint32_t>(entries.size()));
    for (const RecordingTimeTableEntry& entry : entries) {
        entry.write(packet);
    }
    packet.finish(true);
}

void SitePacketBuilder::eventList(Packet& packet, bool more, const std::vector<EventListEntry>& entries) {
    packet.begin(PLAYBACK_MESSAGE_EVENT_LIST);
    packet.putBool(more);
    packet.putBool(false);
    packet.putInt(static_cast<uint32_t>(entries.size()));
    for (const EventListEntry& entry : entries) {
        entry.write(packet);
    }
    packet.finish(true);
}

void SitePacketBuilder::sectionList(Packet& packet, const BitMask32& channels, const Interval& range,
                                    const std::vector<uint32_t>& sectionIDs) {
    packet.begin(PLAYBACK_MESSAGE_SECTION_LIST);
    packet.putInt(channels.word());
    packet.putDateTime(range.from());
    packet.putDateTime(range.to());
    packet.putInt(static_cast<uint32_t>(sectionIDs.size()));
    for (uint32_t id : sectionIDs) {
        packet.putInt(id);
    }
    packet.finish(true);
}

namespace {

void putMediaFrameFields(Packet& packet, bool flag, const MediaPosition& position, const MediaFrame& frame) {
    packet.begin(PLAYBACK_MESSAGE_MEDIA_FRAME);
    packet.putBool(flag);
    position.write(packet);
    packet.putShort(frame.mediaType());
    packet.putShort(frame.frameIndex());
    packet.putInt(frame.gopID());
    packet.putInt(frame.channelMask().word());
    packet.putInt(frame.dataSize());
    packet.putLong(frame.mediaID());
    packet.putFrameDateTime(frame.time());
    packet.putShort(frame.attributeA());
    packet.putShort(frame.attributeB());
    packet.putInt(frame.attributeC());
    packet.putLong(frame.attributeD());
    packet.putInt(frame.linkedChannelMask().word());
    packet.putInt(frame.extraSize());
    packet.putLong(0);
}

} // namespace

void SitePacketBuilder::mediaFrame(Packet& packet, bool flag, const MediaPosition& position,
                                   const MediaFrame& frame) {
    putMediaFrameFields(packet, flag, position, frame);
    frame.writeData(packet);
    packet.finish(true);
}

void SitePacketBuilder::mediaFrameHead(Packet& packet, bool flag, const MediaPosition& position,
                                       const MediaFrame& frame) {
    putMediaFrameFields(packet, flag, position, frame);
    // The fields end on a multiple of 4, so the padding depends on the data alone.
    static_assert((1 + MediaPosition::WireSize + MediaFrame::HeaderSize) % 4 == 1);
    const uint64_t data = frame.dataLength();
    const uint64_t payload = static_cast<uint64_t>(packet.position() - Packet::HeaderSize) + data +
                             mediaFramePadding(data);
    if (payload > UINT32_MAX) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    packet.flip();
    packet.ByteBuffer::putInt(4, static_cast<uint32_t>(payload));
}

uint32_t SitePacketBuilder::mediaFramePadding(uint64_t dataLength) {
    // The fields before the data take 1 + 12 + 64 bytes: 1 more than a multiple of 4.
    return static_cast<uint32_t>((4 - (1 + dataLength) % 4) % 4);
}

void SitePacketBuilder::textInFrame(Packet& packet, const MediaPosition& position, const TextInFrame& frame) {
    packet.begin(PLAYBACK_MESSAGE_TEXT_IN_FRAME);
    position.write(packet);
    packet.putInt(frame.channelMask().word());
    packet.putLong(frame.mediaID());
    packet.putFrameDateTime(frame.time());
    packet.putInt(frame.gopID());
    packet.putShort(frame.frameIndex());
    packet.putInt(frame.attribute());
    uint8_t text[TextInFrame::TextFieldSize] = {};
    std::memcpy(text, frame.text(), std::strlen(frame.text()));
    packet.put(text, TextInFrame::TextFieldSize);
    packet.putInt(frame.flags().word());
    packet.finish(true);
}

void SitePacketBuilder::playbackStopped(Packet& packet, uint32_t reason) {
    packet.begin(PLAYBACK_MESSAGE_PLAYBACK_STOPPED);
    packet.putInt(reason);
    packet.finish(true);
}

} // namespace ostrel
