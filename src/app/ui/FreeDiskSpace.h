#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ostrel {

// The free space where a file is about to be created: statvfs of the nearest
// existing folder of its path (the file and even its folder may not exist
// yet), and the mount point of that file system, which the messages name.
//
// Use (storage manager "Create...", the schedule wizard's storage page):
//   if (auto space = FreeDiskSpace::of(path); space && bytes > space->bytes)
//       dialogs.messageBox(space->notEnoughText(), MessageIcon::Error);
// When the space cannot be read (nullopt) the check is skipped.
struct FreeDiskSpace {
    // Bytes this (unprivileged) user may still write there.
    uint64_t bytes = 0;
    // The mount point of the file system ("/", "/home", ...).
    std::string mountPoint;
    // The nearest existing folder of the path that was asked about.
    std::string folder;

    static std::optional<FreeDiskSpace> of(const std::string& path);
    // The nearest existing folder of `path` (the path itself when it is a
    // folder), as an absolute path; "" when none can be found.
    static std::string nearestExistingFolder(const std::string& path);
    // The mount point of the file system holding the existing `folder`.
    static std::string mountPointOf(const std::string& folder);

    // "There is not enough space on <mount point>. Please check the disk."
    std::string notEnoughText() const;
};

} // namespace ostrel
