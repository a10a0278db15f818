#pragma once

#include "network/protocol/playback/RecordingTimeTableEntry.h"

#include <cstdint>
#include <vector>

namespace ostrel {

class MediaFrame;

// What a network archiving client reports to its owner. Connection reports and
// the time table come on the network thread; stops, failures, archived frames
// and the truncate callback on the media dispatcher thread. Every stretch ends
// with exactly one archivingStopped or archivingFailed (a disconnect aside).
class ArchivingDelegate {
public:
    // Codes of archivingFailed.
    static constexpr int NothingRecorded = 0;
    static constexpr int PositionOverwritten = 1;
    static constexpr int StorageFull = 2;
    static constexpr int StorageIOError = 3;
    static constexpr int StorageFailure = 4;

    virtual ~ArchivingDelegate() = default;

    virtual void archivingConnected() {}
    virtual void archivingDisconnected(int /*reason*/) {}
    virtual void recordingSectionListReceived(const std::vector<RecordingTimeTableEntry>& /*list*/) {}
    // noFrame: the playback ended before delivering a frame.
    virtual void archivingStopped(bool /*noFrame*/) {}
    virtual void archivingFailed(int /*code*/) {}
    // A frame was stored under the media ID mediaIDHigh << 32 | mediaIDLow.
    virtual void frameArchived(const MediaFrame& /*frame*/, uint32_t /*mediaIDLow*/, uint32_t /*mediaIDHigh*/) {}
    // A truncate posted with postTruncate has been done.
    virtual void archivingCallback() {}
};

} // namespace ostrel
