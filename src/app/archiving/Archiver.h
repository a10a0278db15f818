#pragma once

#include "app/archiving/ResumeRecord.h"
#include "base/DateTime.h"
#include "network/protocol/playback/EventListEntry.h"
#include "storage/Recorder.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace ostrel {

class Exception;
class MediaElement;
class MediaFrame;
class MediaPosition;
class NetworkArchivingClient;
class RemoteSystemInfo;
class Storage;
class StorageGroup;
class TextInFrame;

// The write side of archiving: received frames and text-in records become
// items of the site's storage group through a Recorder, the site's events are
// attached to the frames they belong to, and the channel counts and the resume
// record are kept in the group's info entries.
//
// Never throws: a storage failure becomes a stopping phase of the owning
// client (7 input/output, 8 full, 9 anything else) and a false answer, so the
// client stops the playback and reports the failure once.
class Archiver {
public:
    explicit Archiver(NetworkArchivingClient& client);
    ~Archiver();
    Archiver(const Archiver&) = delete;
    Archiver& operator=(const Archiver&) = delete;

    // When on, no room check is made and the group overwrites its oldest data.
    void setOverwrite(bool overwrite) { _overwrite.store(overwrite); }
    bool overwrite() const { return _overwrite.load(); }

    bool open(StorageGroup& group);
    // Closes the group (flushing it); false when that failed. The recorder is
    // closed in any case.
    bool close();
    StorageGroup* storageGroup() const { return _group; }

    bool archiveMediaFrame(const MediaFrame& frame, const MediaPosition& position, uint64_t& mediaID);
    bool archiveTextIn(const TextInFrame& frame, const MediaPosition& position);

    void storeChannelCounts(const RemoteSystemInfo& info);
    void setKnownSections(const std::vector<uint32_t>& sectionIDs);
    // 0 when no section is known.
    uint32_t smallestKnownSection() const;
    void setPendingEvents(const std::vector<EventListEntry>& list);
    std::size_t pendingEventCount() const;

    // Flushes what is written so far, then stores the record into the
    // current member; a record older than one already stored is left out.
    bool storeResumeRecord(const ResumeRecord& record);
    // The newest record of any member (the greatest media ID); false when no
    // member holds all four entries readable, or reading failed.
    bool loadResumeRecord(ResumeRecord& record);
    // Cuts every member back to the record, and keeps the recording member's
    // next section the group's newest.
    bool truncateAfter(const ResumeRecord& record);

    // The text forms of the info entries (also what loadResumeRecord parses).
    static bool parsePosition(const std::string& text, MediaPosition& position);
    static bool parseTime(const std::string& text, DateTime& time);

    // EventElement type of a site event type bit; 0 for a bit with no type.
    static uint8_t eventElementType(uint8_t siteType);

    // What the last storage failure that stopped archiving was, in words
    // ("archiveMediaFrame: Storage corrupted: MDEA page 43: ..."); empty
    // before any.
    std::string failureCause() const;

private:
    using EventKey = std::tuple<DateTime, uint32_t, uint32_t>;
    struct EventKeyLess {
        bool operator()(const EventKey& a, const EventKey& b) const;
    };

    static bool readResumeRecord(const Storage& storage, ResumeRecord& record);
    void continueNewestSection();
    void writeMatchingEvents(const MediaElement& element, const MediaPosition& position,
                             const PagePosition& timelinePos);
    // Turns a storage failure into the client's stopping phase.
    void fail(const char* where, const Exception& e, bool ioError);

    NetworkArchivingClient& _client;
    mutable std::mutex _causeMutex;
    std::string _failureCause;
    std::atomic<bool> _overwrite{false};
    StorageGroup* _group = nullptr;
    Recorder _recorder;
    std::set<uint32_t> _knownSections;
    // Media ID of the newest record stored (or cut back to) since open: an
    // older record that arrives late never replaces it.
    std::optional<uint64_t> _newestStored;
    std::map<EventKey, std::vector<EventListEntry>, EventKeyLess> _pendingEvents;
};

} // namespace ostrel
