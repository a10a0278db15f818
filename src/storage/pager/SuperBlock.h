#pragma once

#include "base/BitMask32.h"
#include "base/Clock.h"
#include "base/DateTime.h"
#include "base/UniqueID.h"
#include "base/thread/Mutex.h"
#include "storage/PagePosition.h"
#include "storage/RecorderType.h"
#include "storage/StorageFormatOptions.h"
#include "storage/VarnelAbility.h"
#include "storage/pager/DirtyMaskingBuffer.h"
#include "storage/pager/TrackListItem.h"

#include <cstdint>
#include <optional>
#include <string>

namespace ostrel {

class IStorageFile;

// The 4096-byte superblock at the start of a storage file, held in memory as
// its image. Every integer field is big-endian. The image is changed in
// memory and reaches the file with save() (all 4096 bytes) or saveHeader()
// (the fields before the track list).
//
// Layout: 0 magic "Varnel Storage 1"; 16 version; 20 repository ID; 36
// storage ID; 52 page size; 56 page count; 60 page byte order (0 big-endian,
// other little-endian); 64 first page offset; 68 free page number (version
// 2); 72 formatted time; 80 description (32 bytes, NUL-padded); 112 first item
// ID; 120 boot time; 128 time-stamp basis; 132 checksum; 136 flags; 140
// recorder type; 512 track-list sequence (version <= 2); 520 track count; 528
// track list, 24 bytes per entry; 2304 legacy copy of 512..2303 (version <= 2).
//
// The file is untrusted: a superblock whose magic, version or page size is
// wrong loads as not valid (a format may follow); one that is valid but whose
// geometry or track list cannot be right for the file (pages beyond the end of
// the file, a misaligned first page, a track count or a track page out of
// range) raises VarnelException code 4 from load().
class SuperBlock {
public:
    static constexpr std::size_t Size = 4096;
    static constexpr std::size_t HeaderSize = 512;
    static constexpr std::uint32_t CurrentVersion = 4;
    static constexpr std::size_t TrackListOffset = 528;
    static constexpr std::size_t LegacyCopyOffset = 2304;
    static constexpr std::size_t MaxTrackCount = (LegacyCopyOffset - TrackListOffset) / TrackListItem::Size;
    static constexpr char Magic[17] = "Varnel Storage 1";

    // Pages a format gives a file of `fileSize` bytes: (fileSize - 8192) /
    // pageSize, rounded down; 0 for a file under 8192 bytes or an invalid page size.
    static std::uint32_t pageCountFor(std::uint64_t fileSize, std::uint32_t pageSize);
    static bool isValidPageSize(std::uint32_t size) { return size != 0 && size % 4096 == 0; }

    SuperBlock();
    ~SuperBlock();
    SuperBlock(const SuperBlock&) = delete;
    SuperBlock& operator=(const SuperBlock&) = delete;

    // Reads the image at `baseOffset` through `reader` and decodes it.
    // `writer` (may be null for a read-only storage) receives later saves.
    void load(IStorageFile* reader, IStorageFile* writer, std::uint64_t baseOffset, std::uint32_t ioMinBlockSize);
    // Builds a new image: the storage ID, format time, boot time and checksum
    // are drawn now; the track list is empty. Nothing is written.
    void format(const StorageFormatOptions& options, std::uint32_t pageCount, std::uint64_t firstItemID,
                const Clock& clock = Clock::system());
    // Binds the files a format on a not-yet-loaded superblock writes through.
    void setFiles(IStorageFile* reader, IStorageFile* writer, std::uint64_t baseOffset,
                  std::uint32_t ioMinBlockSize);
    // Zeroes the image and forgets the files.
    void clear();

    bool isLoaded() const { return _loaded; }
    bool isValid() const;
    bool isAbleTo(VarnelAbility ability) const;

    std::string description() const;
    std::uint32_t version() const { return _version; }
    const UniqueID& repositoryID() const { return _repositoryID; }
    const UniqueID& storageID() const { return _storageID; }
    std::uint32_t pageSize() const { return _pageSize; }
    std::uint32_t pageCount() const { return _pageCount; }
    // The byte order of the integers inside pages.
    ByteOrder pageByteOrder() const { return _pageByteOrder; }
    std::uint32_t firstPageOffset() const { return _firstPageOffset; }
    std::uint32_t freePageNumber() const { return _freePageNumber; }
    const DateTime& formattedTime() const { return _formattedTime; }
    std::uint64_t firstItemID() const { return _firstItemID; }
    const DateTime& bootTime() const { return _bootTime; }
    std::uint32_t timeStampBasis() const { return _timeStampBasis; }
    std::uint32_t checksum() const { return _checksum; }
    SuperBlockFlags flags() const { return _flags; }
    const RecorderType& recorderType() const { return _recorderType; }

    void setRepositoryID(const UniqueID& id);
    void setRecorderType(const RecorderType& type);
    void setPageCount(std::uint32_t count);
    void setBootTime(const DateTime& time, std::uint32_t basis);
    // Rewrites the version field (migration).
    void setVersion(std::uint32_t version);

    // The page number lies in 1 .. pageCount and the offset in the item area.
    bool isValidPosition(const PagePosition& position) const;
    bool isValidPageNumber(std::uint32_t number) const { return number >= 1 && number <= _pageCount; }
    // File offset of page `number`; a number outside 1 .. pageCount raises
    // VarnelException code 4.
    std::uint64_t pageOffset(std::uint32_t number) const;

    std::uint32_t ioMinBlockSize() const { return _ioMinBlockSize; }
    std::uint64_t baseOffset() const { return _baseOffset; }
    IStorageFile* reader() const { return _reader; }
    IStorageFile* writer() const { return _writer; }

    // Track list, on the image, under the superblock's mutex.
    std::size_t trackCount() const;
    bool getTrack(std::size_t index, TrackListItem& item) const;
    // Index of the entry of `type`, or -1.
    int findTrack(const PageType& type, TrackListItem& item) const;
    std::optional<TrackListItem> findTrack(const PageType& type) const;
    bool hasTrack(const PageType& type) const;
    void addTrack(const TrackListItem& item);
    void addTrack(const PageType& type, BitMask32 mask, std::uint32_t page, std::uint32_t checksum);
    // Overwrites the entry of the same type, appends when there is none.
    void setTrack(const TrackListItem& item);
    // Change the entry only when page or checksum differ; a type without an
    // entry gets one (all-ones mask, the page as first and last page).
    void setTrackFirst(const PageType& type, std::uint32_t page, std::uint32_t checksum);
    void setTrackLast(const PageType& type, std::uint32_t page, std::uint32_t checksum);
    void removeTrack(const PageType& type);

    bool isDirty() const { return !_image.isClean(); }
    // Writes all 4096 bytes when the image has unsaved changes.
    void save();
    // Writes the fields before the track list when the image has unsaved
    // changes (one I/O unit, at least 512 bytes); the dirty marks stay.
    void saveHeader();

    // The image, for inspection.
    const Buffer& image() const { return _image; }

private:
    void decode();
    void checkSound(std::uint64_t fileSize) const;
    void writeEntry(std::size_t index, const TrackListItem& item);
    TrackListItem readEntry(std::size_t index) const;
    int findIndex(const PageType& type) const;
    void requireImage() const;
    void write(std::size_t length);

    std::byte* _memory = nullptr;
    DirtyMaskingBuffer _image;
    mutable Mutex _mutex;
    bool _loaded = false;
    IStorageFile* _reader = nullptr;
    IStorageFile* _writer = nullptr;
    std::uint64_t _baseOffset = 0;
    std::uint32_t _ioMinBlockSize = 512;

    std::uint32_t _version = 0;
    UniqueID _repositoryID = UniqueID::nil();
    UniqueID _storageID = UniqueID::nil();
    std::uint32_t _pageSize = 0;
    std::uint32_t _pageCount = 0;
    ByteOrder _pageByteOrder = BigEndian;
    std::uint32_t _firstPageOffset = 0;
    std::uint32_t _freePageNumber = 0;
    DateTime _formattedTime;
    std::uint64_t _firstItemID = 0;
    DateTime _bootTime;
    std::uint32_t _timeStampBasis = 0;
    std::uint32_t _checksum = 0;
    SuperBlockFlags _flags;
    RecorderType _recorderType;
};

} // namespace ostrel
