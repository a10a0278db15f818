#pragma once

#include "storage/util/internal/TrackCorrector.h"

#include <cstdint>
#include <optional>
#include <string>

namespace ostrel {

class Storage;
class TimelineElement;

// The consistency pass at open. With correction it undoes an interrupted
// transaction, mends the ends of every track and trims the tracks to each
// other; with recovery it also rebuilds the timeline from the media track and
// the recording table from the timeline, and repairs the event references.
// Every repair is reported in the storage's log.
class StorageCorrector {
public:
    explicit StorageCorrector(Storage& storage);
    virtual ~StorageCorrector();
    StorageCorrector(const StorageCorrector&) = delete;
    StorageCorrector& operator=(const StorageCorrector&) = delete;

    // Runs the pass chosen by `mode` (check only for read-only storages or
    // mode 0, correction for 1, correction and recovery for 2); answers
    // whether the storage is usable and, when it is, the next item ID.
    static bool correctAtOpen(Storage& storage, int mode, std::uint64_t& nextItemID);

    virtual bool correct(bool withRecovery);
    // Answers whether the correction left a usable storage.
    bool correction();
    void recovery();
    // The media ID after the timeline's last element (the superblock's first
    // item ID for an empty timeline).
    std::uint64_t nextItemID();
    void rollbackTransaction();
    // Makes the storage's copy of the track list match the superblock's.
    void syncTrackList();

protected:
    virtual void truncateFront();
    virtual void truncateTimeline();
    virtual void truncateBack();
    virtual void correctPreEvent();
    virtual void correctMedia();

private:
    std::optional<TimelineElement> firstTimelineElement();
    std::optional<TimelineElement> lastTimelineElement();
    std::uint64_t timelineCut();
    std::uint64_t lastItemID(const PageType& type);
    void logLastPage(const PageType& type);
    std::uint64_t firstValidEventItemAfterRecovery(std::uint64_t startID);
    void log(const std::string& text, int level = 2);

    Storage& _storage;
    TrackCorrector _tracks;
};

} // namespace ostrel
