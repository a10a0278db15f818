#include "storage/util/OverlayStorageFile.h"

#include "base/Exception.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ostrel {

OverlayStorageFile::OverlayStorageFile(IStorageFile& base) : _base(base) {}

std::size_t OverlayStorageFile::readAt(void* buffer, std::uint64_t offset, std::size_t length) {
    const std::size_t read = _base.readAt(buffer, offset, length);
    const std::uint32_t sector = sectorSize();
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    // Transfers are whole aligned sectors, so a kept sector is either inside
    // the range read or outside it.
    for (auto at = _sectors.lower_bound(offset); at != _sectors.end() && at->first + sector <= offset + read; ++at) {
        std::memcpy(bytes + (at->first - offset), at->second.data(), sector);
    }
    return read;
}

std::size_t OverlayStorageFile::writeAt(const void* buffer, std::uint64_t offset, std::size_t length) {
    keep(static_cast<const std::uint8_t*>(buffer), offset, length);
    return length;
}

std::size_t OverlayStorageFile::writeDeferred(const WritePiece* pieces, std::size_t count, std::uint64_t offset) {
    std::size_t done = 0;
    for (std::size_t i = 0; i < count; ++i) {
        keep(static_cast<const std::uint8_t*>(pieces[i].data), offset + done, pieces[i].length);
        done += pieces[i].length;
    }
    return done;
}

void OverlayStorageFile::keep(const std::uint8_t* data, std::uint64_t offset, std::size_t length) {
    const std::uint32_t sector = sectorSize();
    if (sector == 0 || offset % sector != 0 || length % sector != 0) {
        throw SystemException(EINVAL, "unaligned write to " + path());
    }
    if (offset > size() || length > size() - offset) {
        throw SystemException(ENOSPC, "write past the end of " + path());
    }
    for (std::size_t done = 0; done < length; done += sector) {
        std::vector<std::uint8_t>& kept = _sectors[offset + done];
        kept.assign(data + done, data + done + sector);
    }
}

} // namespace ostrel
