#include "app/archiving/Archiver.h"

#include "app/archiving/NetworkArchivingClient.h"
#include "base/ByteBuffer.h"
#include "base/Exception.h"
#include "base/Trace.h"
#include "network/protocol/RemoteSystemInfo.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/TextInFrame.h"
#include "storage/EventElement.h"
#include "storage/MediaElement.h"
#include "storage/StorageGroup.h"
#include "storage/Timeline.h"
#include "storage/TextInElement.h"
#include "storage/pager/PageType.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ostrel {

namespace {

constexpr const char* LastVideoPosition = "LastVideoPosition";
constexpr const char* LastVideoSectionID = "LastVideoSectionID";
constexpr const char* LastVideoTime = "LastVideoTime";
constexpr const char* LastVideoMediaID = "LastVideoMediaID";

std::string timeText(const DateTime& time) {
    char text[48];
    std::snprintf(text, sizeof text, "%d/%02d/%02d %02d:%02d:%02d", time.year(), time.month(), time.day(), time.hour(),
                  time.minute(), time.second());
    return text;
}

// The decimal numbers of a text, split at any of `separators`; false when a
// piece is not a plain decimal number that fits 64 bits.
bool numbersOf(const std::string& text, const char* separators, std::vector<uint64_t>& out) {
    out.clear();
    std::size_t i = 0;
    while (i < text.size()) {
        if (std::strchr(separators, text[i]) != nullptr) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        while (i < text.size() && std::strchr(separators, text[i]) == nullptr) {
            ++i;
        }
        const std::string piece = text.substr(start, i - start);
        if (piece.find_first_not_of("0123456789") != std::string::npos || piece.size() > 20) {
            return false;
        }
        errno = 0;
        char* end = nullptr;
        const unsigned long long value = std::strtoull(piece.c_str(), &end, 10);
        if (errno != 0 || *end != '\0') {
            return false;
        }
        out.push_back(value);
    }
    return true;
}

bool parseU32(const std::string& text, uint32_t& value) {
    std::vector<uint64_t> numbers;
    if (!numbersOf(text, " ", numbers) || numbers.size() != 1 || numbers[0] > UINT32_MAX) {
        return false;
    }
    value = static_cast<uint32_t>(numbers[0]);
    return true;
}

bool parseU64(const std::string& text, uint64_t& value) {
    std::vector<uint64_t> numbers;
    if (!numbersOf(text, " ", numbers) || numbers.size() != 1) {
        return false;
    }
    value = numbers[0];
    return true;
}

} // namespace

Archiver::Archiver(NetworkArchivingClient& client) : _client(client) {}

Archiver::~Archiver() { _recorder.close(); }

bool Archiver::EventKeyLess::operator()(const EventKey& a, const EventKey& b) const {
    const DateTime& ta = std::get<0>(a);
    const DateTime& tb = std::get<0>(b);
    if (ta.lessThan(tb)) {
        return true;
    }
    if (tb.lessThan(ta)) {
        return false;
    }
    return std::tie(std::get<1>(a), std::get<2>(a)) < std::tie(std::get<1>(b), std::get<2>(b));
}

bool Archiver::open(StorageGroup& group) {
    _group = &group;
    _newestStored.reset();
    _recorder.open(group);
    return true;
}

bool Archiver::close() {
    bool closed = true;
    _recorder.close();
    if (_group != nullptr) {
        try {
            closed = _group->close(true);
        } catch (const Exception& e) {
            traceException(e);
            closed = false;
        }
        _group = nullptr;
    }
    return closed;
}

std::string Archiver::failureCause() const {
    std::lock_guard lock(_causeMutex);
    return _failureCause;
}

void Archiver::fail(const char* where, const Exception& e, bool ioError) {
    trace("Archiver::%s : %s", where, e.toString().c_str());
    {
        std::lock_guard lock(_causeMutex);
        _failureCause = std::string(where) + ": " + e.messageText();
    }
    _client.setPhase(ioError ? NetworkArchivingClient::PhaseStorageIOError : NetworkArchivingClient::PhaseStorageFailure);
}

bool Archiver::archiveMediaFrame(const MediaFrame& frame, const MediaPosition& position, uint64_t& mediaID) {
    try {
        if (_group == nullptr) {
            throw Exception("Exception", 0, std::string("no storage group to archive into"));
        }
        // The frame's header is the stored item's fixed part; the payload stays
        // where the frame's data lies.
        uint8_t header[MediaFrame::HeaderSize];
        ByteBuffer buffer(header, sizeof header);
        frame.writeAt(buffer, 0);
        MediaElement element;
        element.decodeFixed(header, buffer.order());
        element.setPayload(frame.data());
        if (!overwrite() && !_group->hasSpaceFor(element)) {
            trace("Archiver::archiveMediaFrame : no room for %u bytes", element.payloadSize());
            _client.setPhase(NetworkArchivingClient::PhaseStorageFull);
            return false;
        }
        const PagePosition timelinePos = _recorder.writeFrame(element);
        writeMatchingEvents(element, position, timelinePos);
        mediaID = element.mediaID();
        return true;
    } catch (const SystemException& e) {
        fail("archiveMediaFrame", e, true);
    } catch (const Exception& e) {
        fail("archiveMediaFrame", e, false);
    } catch (const std::exception& e) {
        trace("Archiver::archiveMediaFrame : %s", e.what());
        _client.setPhase(NetworkArchivingClient::PhaseStorageFailure);
    }
    return false;
}

bool Archiver::archiveTextIn(const TextInFrame& frame, const MediaPosition& position) {
    try {
        if (_group == nullptr) {
            throw Exception("Exception", 0, std::string("no storage group to archive into"));
        }
        uint8_t form[TextInFrame::SerializedSize];
        ByteBuffer buffer(form, sizeof form);
        frame.writeAt(buffer, 0);
        TextInElement record;
        record.decodeFixed(form, buffer.order());
        if (!overwrite() && !_group->hasSpaceFor(PageType::TextIn, record)) {
            trace("Archiver::archiveTextIn : no room");
            _client.setPhase(NetworkArchivingClient::PhaseStorageFull);
            return false;
        }
        // The recorder takes text-in records as media type 3 frames whose
        // payload is the 64 text bytes and whose attributes carry the flags.
        uint8_t text[TextInFrame::TextFieldSize] = {};
        std::memcpy(text, frame.text(), strnlen(frame.text(), sizeof text - 1));
        MediaElement element;
        element.setMediaType(TimelineLinkedElement::TextIn);
        element.setChannelMask(frame.channelMask());
        element.setLinkedChannelMask(frame.linkedChannelMask());
        element.setFrameIndex(frame.frameIndex());
        element.setGopID(frame.gopID());
        const uint32_t flags = frame.flags().word();
        element.setAttributes((flags & 2u) != 0 ? 1 : 0, (flags & 1u) != 0 ? 1 : 0, 0, 0);
        element.setDataSize(TextInFrame::TextFieldSize);
        element.setExtraSize(0);
        element.setPayload(text);
        element.setMediaID(frame.mediaID());
        element.setDateTime(frame.time());
        const PagePosition timelinePos = _recorder.writeFrame(element);
        writeMatchingEvents(element, position, timelinePos);
        return true;
    } catch (const SystemException& e) {
        fail("archiveTextIn", e, true);
    } catch (const Exception& e) {
        fail("archiveTextIn", e, false);
    } catch (const std::exception& e) {
        trace("Archiver::archiveTextIn : %s", e.what());
        _client.setPhase(NetworkArchivingClient::PhaseStorageFailure);
    }
    return false;
}

uint8_t Archiver::eventElementType(uint8_t siteType) {
    switch (siteType) {
    case 4:
        return 1;
    case 1:
        return 2;
    case 2:
        return 3;
    case 8:
        return 4;
    case 16:
        return 5;
    case 32:
        return 6;
    default:
        return 0;
    }
}

void Archiver::writeMatchingEvents(const MediaElement& element, const MediaPosition& position,
                                   const PagePosition& timelinePos) {
    const auto found = _pendingEvents.find(EventKey(element.dateTime(), position.second(), position.third()));
    if (found == _pendingEvents.end()) {
        return;
    }
    // Forgotten before writing: a failure half way must not write the same
    // events again with a later frame.
    const std::vector<EventListEntry> entries = std::move(found->second);
    _pendingEvents.erase(found);
    for (const EventListEntry& entry : entries) {
        const uint8_t type = eventElementType(entry.type());
        if (type == 0) {
            continue;
        }
        EventElement event;
        event.setEventType(type);
        event.setEventSubType(entry.subType());
        event.setChannelMask(entry.channels());
        event.setDateTime(entry.time());
        event.setTimelinePos(timelinePos);
        event.setMediaID(element.mediaID());
        event.setSectionID(_group->lastSectionID());
        trace("Archiver::writeMatchingEvents : type = %d, mediaID = %" PRIu64 ", %s", type, element.mediaID(),
              timeText(entry.time()).c_str());
        _group->writeEvent(event, false);
    }
}

void Archiver::storeChannelCounts(const RemoteSystemInfo& info) {
    if (_group == nullptr) {
        return;
    }
    try {
        const int counts[] = {static_cast<int8_t>(info.videoInNum()), static_cast<int8_t>(info.audioInNum()),
                              static_cast<int8_t>(info.audioOutNum()), static_cast<int8_t>(info.alarmNum()),
                              static_cast<int8_t>(info.sensorNum())};
        const char* keys[] = {"VideoInNum", "AudioInNum", "AudioOutNum", "AlarmNum", "SensorNum"};
        for (int i = 0; i < 5; ++i) {
            _group->writeInfoToAll(keys[i], std::to_string(counts[i]), false);
        }
    } catch (const SystemException& e) {
        fail("storeChannelCounts", e, true);
        _client.stopPlayback();
    } catch (const Exception& e) {
        fail("storeChannelCounts", e, false);
        _client.stopPlayback();
    }
}

void Archiver::setKnownSections(const std::vector<uint32_t>& sectionIDs) {
    _knownSections = std::set<uint32_t>(sectionIDs.begin(), sectionIDs.end());
}

uint32_t Archiver::smallestKnownSection() const { return _knownSections.empty() ? 0 : *_knownSections.begin(); }

void Archiver::setPendingEvents(const std::vector<EventListEntry>& list) {
    _pendingEvents.clear();
    for (const EventListEntry& entry : list) {
        if (_knownSections.count(entry.position().first()) == 0) {
            continue;
        }
        _pendingEvents[EventKey(entry.time(), entry.position().second(), entry.position().third())].push_back(entry);
    }
}

std::size_t Archiver::pendingEventCount() const {
    std::size_t count = 0;
    for (const auto& [key, entries] : _pendingEvents) {
        count += entries.size();
    }
    return count;
}

bool Archiver::storeResumeRecord(const ResumeRecord& record) {
    if (_group == nullptr || !record.isValid()) {
        return false;
    }
    if (_newestStored && record.mediaID < *_newestStored) {
        // A store that waited in a queue while a newer one was made (a
        // request flushed it, or it runs at cleanup): the newer record stays.
        trace("Archiver::storeResumeRecord : %" PRIu64 " older than %" PRIu64 " stored, kept", record.mediaID,
              *_newestStored);
        return true;
    }
    try {
        // The frames the record names reach the file before the record does:
        // a crash between the two writes then leaves an older record (and a
        // resume that cuts back to it), never one that claims frames the file
        // does not hold.
        _group->flushTracks();
        char text[64];
        std::snprintf(text, sizeof text, "%u : (%u, %u)", record.position.first(), record.position.second(),
                      record.position.third());
        bool stored = _group->writeInfo(LastVideoPosition, text, false);
        stored = _group->writeInfo(LastVideoSectionID, std::to_string(record.sectionID), false) && stored;
        stored = _group->writeInfo(LastVideoTime, timeText(record.time), false) && stored;
        stored = _group->writeInfo(LastVideoMediaID, std::to_string(record.mediaID), true) && stored;
        if (stored) {
            _newestStored = record.mediaID;
        }
        return stored;
    } catch (const SystemException& e) {
        fail("storeResumeRecord", e, true);
        _client.stopPlayback();
    } catch (const Exception& e) {
        fail("storeResumeRecord", e, false);
        _client.stopPlayback();
    }
    return false;
}

bool Archiver::parsePosition(const std::string& text, MediaPosition& position) {
    std::vector<uint64_t> numbers;
    if (!numbersOf(text, " :(),", numbers) || numbers.size() < 3) {
        return false;
    }
    for (int i = 0; i < 3; ++i) {
        if (numbers[static_cast<std::size_t>(i)] > UINT32_MAX) {
            return false;
        }
    }
    position = MediaPosition(static_cast<uint32_t>(numbers[0]), static_cast<uint32_t>(numbers[1]),
                             static_cast<uint32_t>(numbers[2]));
    return true;
}

bool Archiver::parseTime(const std::string& text, DateTime& time) {
    std::vector<uint64_t> n;
    if (!numbersOf(text, " /:", n) || n.size() != 6 || n[0] < 1900 || n[0] > 9999 || n[1] < 1 || n[1] > 12 ||
        n[2] < 1 || n[2] > 31 || n[3] > 23 || n[4] > 59 || n[5] > 59) {
        return false;
    }
    try {
        DateTime parsed(static_cast<int>(n[0]), static_cast<int>(n[1]), static_cast<int>(n[2]), static_cast<int>(n[3]),
                        static_cast<int>(n[4]), static_cast<int>(n[5]));
        if (!parsed.isSet()) {
            return false;
        }
        // A date that is not in the calendar (2024/02/30) does not come back unchanged.
        if (!DateTime::fromEpochSeconds(parsed.epochSeconds()).equals(parsed)) {
            return false;
        }
        time = parsed;
        return true;
    } catch (const Exception&) {
        return false;
    }
}

bool Archiver::readResumeRecord(const Storage& storage, ResumeRecord& record) {
    std::string value;
    ResumeRecord loaded;
    if (!storage.readInfo(LastVideoPosition, value) || !parsePosition(value, loaded.position)) {
        return false;
    }
    if (!storage.readInfo(LastVideoSectionID, value) || !parseU32(value, loaded.sectionID)) {
        return false;
    }
    if (!storage.readInfo(LastVideoTime, value) || !parseTime(value, loaded.time)) {
        return false;
    }
    if (!storage.readInfo(LastVideoMediaID, value) || !parseU64(value, loaded.mediaID)) {
        return false;
    }
    record = loaded;
    return true;
}

bool Archiver::loadResumeRecord(ResumeRecord& record) {
    if (_group == nullptr) {
        return false;
    }
    try {
        // The record is stored into whichever member was recording at the
        // time. After a switch to another member and an end before the next
        // store, the newest record lies in the member left behind, so every
        // member is asked; media IDs rise across the group, so the greatest
        // one is the newest record. The current member wins a tie.
        std::vector<Storage*> members = _group->recordStorages();
        Storage* current = _group->current();
        if (current != nullptr) {
            members.erase(std::remove(members.begin(), members.end(), current), members.end());
            members.insert(members.begin(), current);
        }
        bool found = false;
        ResumeRecord newest;
        for (const Storage* member : members) {
            ResumeRecord candidate;
            if (!readResumeRecord(*member, candidate)) {
                continue;
            }
            if (!found || candidate.mediaID > newest.mediaID) {
                newest = candidate;
                found = true;
                trace("Archiver::loadResumeRecord : [%s] media ID %" PRIu64, member->path().c_str(), candidate.mediaID);
            }
        }
        if (found) {
            record = newest;
        }
        return found;
    } catch (const SystemException& e) {
        fail("loadResumeRecord", e, true);
        _client.stopPlayback();
    } catch (const Exception& e) {
        fail("loadResumeRecord", e, false);
        _client.stopPlayback();
    }
    return false;
}

bool Archiver::truncateAfter(const ResumeRecord& record) {
    if (_group == nullptr) {
        return false;
    }
    try {
        Storage* current = _group->current();
        // Members other than the recording one may hold items after the
        // record too: the one the record was stored in, when recording moved
        // on to another member before the next store. Their items after the
        // record go as well, or the resumed recording would repeat them under
        // the same media IDs.
        for (Storage* member : _group->recordStorages()) {
            if (member != current && member->isValid() && member->lastIssuedItemID() > record.mediaID) {
                trace("Archiver::truncateAfter : [%s] holds items after %" PRIu64, member->path().c_str(),
                      record.mediaID);
                member->truncateAfter(record.sectionID, record.mediaID);
            }
        }
        _group->truncateAfter(record.sectionID, record.mediaID);
        // Recording goes on from the record: later stores are measured against it.
        _newestStored = record.mediaID;
        continueNewestSection();
        return true;
    } catch (const SystemException& e) {
        fail("truncateAfter", e, true);
        _client.stopPlayback();
    } catch (const Exception& e) {
        fail("truncateAfter", e, false);
        _client.stopPlayback();
    }
    return false;
}

void Archiver::continueNewestSection() {
    Storage* current = _group->current();
    if (current == nullptr) {
        return;
    }
    std::uint32_t newest = 0;
    for (const Storage* member : _group->recordStorages()) {
        if (member != current && member->hasTrack(PageType::Timeline)) {
            newest = std::max(newest, member->lastSectionID());
        }
    }
    if (newest == 0 || current->lastSectionID() > newest) {
        return;
    }
    // The cut left the recording member with older sections than another
    // member holds (it was recording after the record only). The resumed
    // recording is the group's newest, as after a switch: a new section above
    // every other member's, on a fresh timeline page.
    trace("Archiver::continueNewestSection : [%s] section %u after %u", current->path().c_str(),
          current->lastSectionID(), newest);
    {
        Mutex::ScopedLock lock(current->writeMutex());
        current->timeline().appendPage(nullptr);
    }
    current->setNextSectionID(newest + 1);
}

} // namespace ostrel
