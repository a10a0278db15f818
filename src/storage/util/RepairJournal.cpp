#include "storage/util/RepairJournal.h"

#include "base/Exception.h"
#include "base/MappedMemory.h"
#include "base/Trace.h"
#include "storage/VarnelException.h"
#include "storage/aio/IStorageFile.h"
#include "storage/pager/SuperBlock.h"
#include "storage/util/OverlayStorageFile.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace ostrel {
namespace {

// Layout of the side file, every integer little-endian:
//   "OSRPJNL1" | u32 version | u32 sector size | u64 storage file size |
//   16 bytes storage ID | u64 sector count |
//   per sector: u64 offset, the sector's bytes |
//   SHA-256 of everything before it.
constexpr char Magic[8] = {'O', 'S', 'R', 'P', 'J', 'N', 'L', '1'};
constexpr std::uint32_t Version = 1;
constexpr std::size_t HeaderSize = 8 + 4 + 4 + 8 + 16 + 8;
constexpr std::size_t DigestSize = 32;
// Sectors are written to the storage in transfers of at most this many bytes.
constexpr std::size_t TransferSize = 1024 * 1024;

void putU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
void putU64(std::vector<std::uint8_t>& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}
std::uint64_t getLE(const std::uint8_t* at, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | at[i];
    return value;
}

void digest(const std::uint8_t* data, std::size_t length, std::uint8_t* out) {
    unsigned int size = 0;
    if (EVP_Digest(data, length, out, &size, EVP_sha256(), nullptr) != 1 || size != DigestSize) {
        throw SystemException(EIO, "SHA-256 of a repair journal");
    }
}

// A descriptor closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : _fd(fd) {}
    ~Descriptor() {
        if (_fd >= 0) ::close(_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return _fd; }
    // Closes now, reporting a failure (a close can report a lost write).
    void close(const std::string& path) {
        const int fd = std::exchange(_fd, -1);
        if (fd >= 0 && ::close(fd) != 0) throw SystemException(errno, path);
    }

private:
    int _fd;
};

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the creation or removal of a file in the folder durable.
void syncFolder(const std::string& path) {
    const std::string folder = folderOf(path);
    Descriptor fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() < 0) throw SystemException(errno, folder);
    if (::fsync(fd.get()) != 0 && errno != EINVAL) throw SystemException(errno, folder);
}

void removeFile(const std::string& path) {
    if (::unlink(path.c_str()) != 0) {
        if (errno == ENOENT) return;
        throw SystemException(errno, path);
    }
    syncFolder(path);
}

UniqueID storageIDOf(IStorageFile& file) {
    SuperBlock superBlock;
    try {
        superBlock.load(&file, nullptr, 0, file.sectorSize());
    } catch (const VarnelException& e) {
        // The ID is decoded before the geometry is judged.
        traceException(e);
    }
    return superBlock.isValid() ? superBlock.storageID() : UniqueID::nil();
}

using Sector = std::pair<std::uint64_t, const std::uint8_t*>;

// Writes the sectors (sorted by offset) in runs of adjacent ones, then a barrier.
void writeSectors(IStorageFile& file, const std::vector<Sector>& sectors) {
    const std::uint32_t sector = file.sectorSize();
    MappedMemory buffer(TransferSize);
    std::size_t i = 0;
    while (i < sectors.size()) {
        const std::uint64_t start = sectors[i].first;
        std::size_t length = 0;
        while (i < sectors.size() && sectors[i].first == start + length && length + sector <= TransferSize) {
            std::memcpy(buffer.data() + length, sectors[i].second, sector);
            length += sector;
            ++i;
        }
        const WritePiece piece{buffer.data(), length};
        if (file.writeDeferred(&piece, 1, start) != length) {
            throw SystemException(ENOSPC, file.path());
        }
    }
    file.flush();
}

} // namespace

std::string RepairJournal::pathFor(const IStorageFile& file) {
    return file.handle() >= 0 && !file.path().empty() ? pathFor(file.path()) : std::string();
}

RepairJournal::RepairJournal(std::string path) : _path(std::move(path)) {}

void RepairJournal::commit(IStorageFile& file, const OverlayStorageFile& changes) {
    if (changes.isEmpty()) {
        return;
    }
    std::vector<Sector> sectors;
    sectors.reserve(changes.sectors().size());
    for (const auto& [offset, bytes] : changes.sectors()) {
        sectors.emplace_back(offset, bytes.data());
    }
    if (_path.empty()) {
        writeSectors(file, sectors);
        return;
    }
    write(file, changes, storageIDOf(file));
    writeSectors(file, sectors);
    removeFile(_path);
}

void RepairJournal::write(const IStorageFile& file, const OverlayStorageFile& changes, const UniqueID& storageID) {
    const std::uint32_t sector = file.sectorSize();
    std::vector<std::uint8_t> image;
    image.reserve(HeaderSize + changes.sectors().size() * (8 + sector) + DigestSize);
    image.insert(image.end(), Magic, Magic + sizeof Magic);
    putU32(image, Version);
    putU32(image, sector);
    putU64(image, file.size());
    image.insert(image.end(), storageID.data(), storageID.data() + 16);
    putU64(image, changes.sectors().size());
    for (const auto& [offset, bytes] : changes.sectors()) {
        putU64(image, offset);
        image.insert(image.end(), bytes.begin(), bytes.end());
    }
    std::uint8_t sum[DigestSize];
    digest(image.data(), image.size(), sum);
    image.insert(image.end(), sum, sum + DigestSize);

    try {
        Descriptor fd(::open(_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (fd.get() < 0) throw SystemException(errno, _path);
        std::size_t done = 0;
        while (done < image.size()) {
            const ssize_t n = ::write(fd.get(), image.data() + done, image.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw SystemException(errno, _path);
            }
            done += static_cast<std::size_t>(n);
        }
        if (::fsync(fd.get()) != 0) throw SystemException(errno, _path);
        fd.close(_path);
        syncFolder(_path);
    } catch (const Exception&) {
        // Not complete, so not needed: the storage has not been touched yet.
        ::unlink(_path.c_str());
        throw;
    }
}

bool RepairJournal::replay(IStorageFile& file) {
    if (_path.empty()) {
        return false;
    }
    std::vector<std::uint8_t> image;
    {
        Descriptor fd(::open(_path.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) {
            if (errno == ENOENT) return false;
            throw SystemException(errno, _path);
        }
        struct stat status {};
        if (::fstat(fd.get(), &status) != 0) throw SystemException(errno, _path);
        image.resize(static_cast<std::size_t>(status.st_size));
        std::size_t done = 0;
        while (done < image.size()) {
            const ssize_t n = ::read(fd.get(), image.data() + done, image.size() - done);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw SystemException(errno, _path);
            }
            if (n == 0) break;
            done += static_cast<std::size_t>(n);
        }
        image.resize(done);
    }
    auto drop = [&](const char* why) {
        trace("RepairJournal: %s %s, removed\n", _path.c_str(), why);
        removeFile(_path);
        return false;
    };
    const std::uint32_t sector = file.sectorSize();
    if (image.size() < HeaderSize + DigestSize || std::memcmp(image.data(), Magic, sizeof Magic) != 0) {
        return drop("is incomplete");
    }
    std::uint8_t sum[DigestSize];
    digest(image.data(), image.size() - DigestSize, sum);
    if (std::memcmp(sum, image.data() + image.size() - DigestSize, DigestSize) != 0) {
        return drop("is incomplete");
    }
    const std::uint8_t* at = image.data() + sizeof Magic;
    const std::uint64_t count = getLE(at + 32, 8);
    if (getLE(at, 4) != Version || getLE(at + 4, 4) != sector || getLE(at + 8, 8) != file.size() || sector == 0 ||
        count != (image.size() - HeaderSize - DigestSize) / (8 + std::uint64_t{sector}) ||
        (image.size() - HeaderSize - DigestSize) % (8 + std::uint64_t{sector}) != 0) {
        return drop("does not fit the storage");
    }
    const UniqueID recorded = UniqueID::fromBytes(at + 16);
    if (recorded.isNil() || !(storageIDOf(file) == recorded)) {
        return drop("belongs to another storage");
    }
    std::vector<Sector> sectors;
    sectors.reserve(count);
    const std::uint8_t* entry = image.data() + HeaderSize;
    for (std::uint64_t i = 0; i < count; ++i, entry += 8 + sector) {
        const std::uint64_t offset = getLE(entry, 8);
        if (offset % sector != 0 || offset > file.size() - sector) {
            return drop("names sectors outside the storage");
        }
        sectors.emplace_back(offset, entry + 8);
    }
    std::sort(sectors.begin(), sectors.end());
    writeSectors(file, sectors);
    trace("RepairJournal: an interrupted repair of %s was finished from %s\n", file.path().c_str(), _path.c_str());
    removeFile(_path);
    return true;
}

void RepairJournal::discard() {
    if (!_path.empty()) {
        removeFile(_path);
    }
}

} // namespace ostrel
