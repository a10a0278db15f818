#pragma once

namespace ostrel {

// Features that depend on the version of a storage file.
enum class VarnelAbility : int {
    // Boot time and time-stamp basis are kept at open (version > 1).
    TimeStamp = 1,
    // Storage log messages are written into the log track (version > 2).
    StorageLog = 2,
    Reserved3 = 3,
    Reserved4 = 4,
    // Journal rollback and correction at open (version > 2).
    Journaling = 5,
    // The track list at 512 is used as it stands, without the legacy copy (version > 2).
    SingleTrackList = 6,
};

} // namespace ostrel
