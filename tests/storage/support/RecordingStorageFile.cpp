#include "storage/support/RecordingStorageFile.h"

#include "base/Exception.h"

#include <cerrno>
#include <cstring>

namespace ostrel::test {

RecordingStorageFile::RecordingStorageFile(std::uint64_t size, std::uint32_t sectorSize)
    : _bytes(size, 0), _sectorSize(sectorSize) {}

std::size_t RecordingStorageFile::readAt(void* buffer, std::uint64_t offset, std::size_t length) {
    ++_reads;
    if (offset % _sectorSize != 0 || length % _sectorSize != 0) {
        throw SystemException(EINVAL, "unaligned read");
    }
    if (_failReadAt && *_failReadAt >= offset && *_failReadAt < offset + length) {
        throw SystemException(EIO, "injected read failure");
    }
    if (offset >= _bytes.size()) {
        return 0;
    }
    const std::size_t n = std::min<std::uint64_t>(length, _bytes.size() - offset);
    std::memcpy(buffer, _bytes.data() + offset, n);
    return n;
}

std::size_t RecordingStorageFile::writeDeferred(const WritePiece* pieces, std::size_t count, std::uint64_t offset) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < count; ++i) {
        const auto* data = static_cast<const std::uint8_t*>(pieces[i].data);
        bytes.insert(bytes.end(), data, data + pieces[i].length);
    }
    const std::size_t done = writeAt(bytes.data(), offset, bytes.size());
    _writes.back().deferred = true;
    return done;
}

std::size_t RecordingStorageFile::writeAt(const void* buffer, std::uint64_t offset, std::size_t length) {
    if (offset % _sectorSize != 0 || length % _sectorSize != 0) {
        throw SystemException(EINVAL, "unaligned write");
    }
    if (_failAfter) {
        if (*_failAfter == 0) {
            throw SystemException(EIO, "injected failure");
        }
        --*_failAfter;
    }
    if (offset > _bytes.size() || length > _bytes.size() - offset) {
        throw SystemException(EINVAL, "write past the end");
    }
    std::memcpy(_bytes.data() + offset, buffer, length);
    _writes.push_back({offset, length});
    return length;
}

} // namespace ostrel::test
