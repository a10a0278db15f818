#pragma once

#include "storage/aio/IStorageFile.h"

#include <cstdint>
#include <string>
#include <sys/uio.h>

namespace ostrel {

// A storage file on the local file system, read and written with positioned
// whole-sector transfers that bypass the page cache of the operating system
// (O_DIRECT). A plain write reaches the device before it returns (RWF_DSYNC,
// one write at a time, as O_DSYNC would make every write); a deferred write
// waits only for the transfer, and flush() (fdatasync) is the barrier that
// makes it durable, so many pages can be written with one device flush.
//
// A file opened for writing holds an exclusive lock (flock) for as long as it
// is open, so two processes, or two objects of one process, never write the
// same storage; the second open fails with EWOULDBLOCK. Read-only opens take
// no lock.
//
// A file system that refuses direct I/O (tmpfs) is used through the
// operating system's cache, still with synchronous data writes.
class DirectStorageFile final : public IStorageFile {
public:
    enum class Mode { ReadOnly, ReadWrite };

    // Opens an existing file. Failures raise SystemException with the path.
    DirectStorageFile(const std::string& path, Mode mode);
    ~DirectStorageFile() override;
    DirectStorageFile(const DirectStorageFile&) = delete;
    DirectStorageFile& operator=(const DirectStorageFile&) = delete;

    std::size_t readAt(void* buffer, std::uint64_t offset, std::size_t length) override;
    std::size_t writeAt(const void* buffer, std::uint64_t offset, std::size_t length) override;
    std::size_t writeDeferred(const WritePiece* pieces, std::size_t count, std::uint64_t offset) override;
    void flush() override;

    std::uint64_t size() const override { return _size; }
    std::uint32_t sectorSize() const override { return _sectorSize; }
    bool isWritable() const override { return _mode == Mode::ReadWrite; }
    const std::string& path() const override { return _path; }
    int handle() const override { return _fd; }

    // Whether transfers bypass the operating system's cache.
    bool isDirect() const { return _direct; }

    // The logical sector size of the block device that holds `path`, learnt
    // from sysfs (the device, or the disk of a partition) or from BLKSSZGET on
    // the device node; 512 when it cannot be learnt.
    static std::uint32_t deviceSectorSize(const std::string& path);

private:
    void requireWritable(std::uint64_t offset, std::size_t length) const;
    // Writes the vector at `offset` until done, the device is full or it fails.
    std::size_t writeVector(::iovec* parts, int count, std::uint64_t offset, bool durable);

    std::string _path;
    Mode _mode;
    int _fd = -1;
    bool _direct = false;
    // The kernel takes RWF_DSYNC; without it a durable write is a write and fdatasync.
    bool _writeFlags = true;
    std::uint64_t _size = 0;
    std::uint32_t _sectorSize = 512;
};

} // namespace ostrel
