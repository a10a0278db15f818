#include "storage/aio/DirectStorageFile.h"

#include "base/Exception.h"
#include "base/Trace.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <climits>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace ostrel {
namespace {

// The largest I/O unit the engine can honour: the superblock is one 4096-byte
// transfer and pages are multiples of 4096 bytes.
constexpr std::uint32_t MaxSectorSize = 4096;
constexpr std::uint32_t DefaultSectorSize = 512;

bool readSectorFile(const std::string& file, std::uint32_t& size) {
    std::ifstream in(file);
    unsigned long value = 0;
    if (!(in >> value) || value == 0 || value > (1u << 20)) {
        return false;
    }
    size = static_cast<std::uint32_t>(value);
    return true;
}

bool isUsableSectorSize(std::uint32_t size) {
    return size >= 512 && size <= MaxSectorSize && (size & (size - 1)) == 0;
}

} // namespace

std::uint32_t DirectStorageFile::deviceSectorSize(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return DefaultSectorSize;
    }
    const unsigned major = major(info.st_dev);
    const unsigned minor = minor(info.st_dev);
    const std::string device = "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
    std::uint32_t size = 0;
    // A whole disk has its own queue; a partition shares the queue of its disk.
    if (readSectorFile(device + "/queue/logical_block_size", size) ||
        readSectorFile(device + "/../queue/logical_block_size", size)) {
        return size;
    }
    const std::string node = "/dev/block/" + std::to_string(major) + ":" + std::to_string(minor);
    const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        int sector = 0;
        const int result = ::ioctl(fd, BLKSSZGET, &sector);
        ::close(fd);
        if (result == 0 && sector > 0) {
            return static_cast<std::uint32_t>(sector);
        }
    }
    return DefaultSectorSize;
}

DirectStorageFile::DirectStorageFile(const std::string& path, Mode mode) : _path(path), _mode(mode) {
    // No O_DSYNC: each write says itself whether it must be durable on return.
    const int access = mode == Mode::ReadWrite ? O_RDWR : O_RDONLY;
    const std::uint32_t deviceSector = deviceSectorSize(path);
    const bool wantDirect = isUsableSectorSize(deviceSector);
    if (wantDirect) {
        _fd = ::open(path.c_str(), access | O_DIRECT | O_CLOEXEC);
        _direct = _fd >= 0;
        if (_fd < 0 && errno != EINVAL) {
            throw SystemException(errno, "open " + path);
        }
    }
    if (_fd < 0) {
        // The file system does not take direct I/O (or the device's sector is
        // larger than the engine's transfers): go through the system's cache.
        _fd = ::open(path.c_str(), access | O_CLOEXEC);
        if (_fd < 0) {
            throw SystemException(errno, "open " + path);
        }
    }
    _sectorSize = isUsableSectorSize(deviceSector) ? deviceSector : DefaultSectorSize;
    if (mode == Mode::ReadWrite && ::flock(_fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(_fd);
        _fd = -1;
        throw SystemException(error, "storage file is being written by another owner: " + path);
    }
    struct stat info {};
    if (::fstat(_fd, &info) != 0) {
        const int error = errno;
        ::close(_fd);
        _fd = -1;
        throw SystemException(error, "fstat " + path);
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(_fd);
        _fd = -1;
        throw SystemException(EINVAL, "not a regular file: " + path);
    }
    _size = static_cast<std::uint64_t>(info.st_size);
    trace("DirectStorageFile %s: %s, sector %u, %s\n", path.c_str(),
          mode == Mode::ReadWrite ? "read-write" : "read-only", _sectorSize, _direct ? "direct" : "cached");
}

DirectStorageFile::~DirectStorageFile() {
    if (_fd >= 0) {
        // Closing the descriptor also drops the lock.
        ::close(_fd);
    }
}

std::size_t DirectStorageFile::readAt(void* buffer, std::uint64_t offset, std::size_t length) {
    auto* out = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(_fd, out + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw SystemException(errno, "pread " + _path);
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void DirectStorageFile::requireWritable(std::uint64_t offset, std::size_t length) const {
    if (_mode != Mode::ReadWrite) {
        throw SystemException(EBADF, "write to a read-only storage file " + _path);
    }
    if (offset > _size || length > _size - offset) {
        // The engine never grows a storage file; a write past its end means a
        // page number that does not belong to the file.
        throw SystemException(EINVAL, "write past the end of " + _path);
    }
}

std::size_t DirectStorageFile::writeVector(::iovec* parts, int count, std::uint64_t offset, bool durable) {
    std::size_t done = 0;
    int first = 0;
    while (first < count) {
        ssize_t n = 0;
        if (durable && _writeFlags) {
            n = ::pwritev2(_fd, parts + first, count - first, static_cast<off_t>(offset + done), RWF_DSYNC);
            if (n < 0 && (errno == EOPNOTSUPP || errno == ENOSYS)) {
                _writeFlags = false;
                continue;
            }
        } else {
            n = ::pwritev(_fd, parts + first, count - first, static_cast<off_t>(offset + done));
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw SystemException(errno, "pwrite " + _path);
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
        // Steps over what went out; a short write continues in the middle of a piece.
        for (std::size_t left = static_cast<std::size_t>(n); left > 0 && first < count;) {
            const std::size_t step = std::min(left, parts[first].iov_len);
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + step;
            parts[first].iov_len -= step;
            left -= step;
            if (parts[first].iov_len == 0) {
                ++first;
            }
        }
    }
    if (durable && !_writeFlags) {
        flush();
    }
    return done;
}

std::size_t DirectStorageFile::writeAt(const void* buffer, std::uint64_t offset, std::size_t length) {
    requireWritable(offset, length);
    ::iovec part {
        const_cast<void*>(buffer), length
    };
    return writeVector(&part, 1, offset, true);
}

std::size_t DirectStorageFile::writeDeferred(const WritePiece* pieces, std::size_t count, std::uint64_t offset) {
    std::size_t length = 0;
    std::vector<::iovec> parts;
    parts.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        parts.push_back({const_cast<void*>(pieces[i].data), pieces[i].length});
        length += pieces[i].length;
    }
    requireWritable(offset, length);
    std::size_t done = 0;
    // A vector longer than the system takes in one call goes in slices.
    for (std::size_t first = 0; first < parts.size();) {
        const std::size_t slice = std::min<std::size_t>(parts.size() - first, IOV_MAX);
        std::size_t sliceBytes = 0;
        for (std::size_t i = first; i < first + slice; ++i) {
            sliceBytes += parts[i].iov_len;
        }
        const std::size_t n = writeVector(parts.data() + first, static_cast<int>(slice), offset + done, false);
        done += n;
        if (n != sliceBytes) {
            break;
        }
        first += slice;
    }
    return done;
}

void DirectStorageFile::flush() {
    if (_mode == Mode::ReadWrite && ::fdatasync(_fd) != 0) {
        throw SystemException(errno, "fdatasync " + _path);
    }
}

} // namespace ostrel
