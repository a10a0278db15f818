#pragma once

#include <cstdint>
#include <string>

namespace ostrel {

// Static operations on files named by UTF-8 paths. Every failure throws
// SystemException carrying errno and the path; nothing returns an error code.
class File {
public:
    File() = delete;

    // Creates a new file of `size` bytes with its blocks allocated now, so that
    // writing inside it later never meets a full disk. Fails (EEXIST) when the
    // path exists, leaving that file untouched. Where the file system cannot
    // allocate ahead, the file is only extended to `size` (its blocks are then
    // allocated when written). A failure after creation removes the half-made
    // file before throwing the error that caused it. Size 0 gives an empty file.
    static void create(const std::string& path, int64_t size);

    // True when something exists at the path (a file, a directory, also one this
    // process may not read); false when the path or one of its directories does
    // not exist (ENOENT, ENOTDIR). Any other failure (for example a directory on
    // the way that may not be searched) leaves the answer unknown and throws.
    static bool exists(const std::string& path);

    // Removes the file: true when removed, false when it did not exist; throws
    // on any other failure (including a directory at the path).
    static bool remove(const std::string& path);

    // The file's size in bytes (follows symbolic links).
    static int64_t size(const std::string& path);

    // True when the file is marked read-only (no write permission bit set for
    // anyone) or this process may not write it (its permissions, a read-only
    // file system). A missing file throws SystemException (ENOENT): it has no
    // attributes to answer with.
    static bool isReadOnly(const std::string& path);

    // Bytes available to this (unprivileged) user on the file system holding
    // the path (a file or a directory that exists); throws when it cannot be
    // asked.
    static uint64_t freeDiskSpace(const std::string& path);
};

} // namespace ostrel
