#include "storage/pager/SuperBlock.h"

#include "base/Exception.h"
#include "base/Trace.h"
#include "base/thread/Random.h"
#include "storage/VarnelException.h"
#include "storage/aio/AIOContext.h"
#include "storage/aio/IStorageFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ostrel {
namespace {

constexpr std::size_t VersionOffset = 16;
constexpr std::size_t RepositoryIDOffset = 20;
constexpr std::size_t StorageIDOffset = 36;
constexpr std::size_t PageSizeOffset = 52;
constexpr std::size_t PageCountOffset = 56;
constexpr std::size_t ByteOrderOffset = 60;
constexpr std::size_t FirstPageOffsetOffset = 64;
constexpr std::size_t FreePageNumberOffset = 68;
constexpr std::size_t FormattedTimeOffset = 72;
constexpr std::size_t DescriptionOffset = 80;
constexpr std::size_t DescriptionSize = 32;
constexpr std::size_t FirstItemIDOffset = 112;
constexpr std::size_t BootTimeOffset = 120;
constexpr std::size_t TimeStampBasisOffset = 128;
constexpr std::size_t ChecksumOffset = 132;
constexpr std::size_t FlagsOffset = 136;
constexpr std::size_t RecorderTypeOffset = 140;
constexpr std::size_t SequenceOffset = 512;
constexpr std::size_t TrackCountOffset = 520;
constexpr std::size_t LegacyLength = SuperBlock::Size - SuperBlock::LegacyCopyOffset;

} // namespace

std::uint32_t SuperBlock::pageCountFor(std::uint64_t fileSize, std::uint32_t pageSize) {
    if (!isValidPageSize(pageSize) || fileSize < 2 * Size) {
        return 0;
    }
    const std::uint64_t count = (fileSize - 2 * Size) / pageSize;
    return count > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(count);
}

SuperBlock::SuperBlock() {
    _memory = static_cast<std::byte*>(std::aligned_alloc(4096, Size));
    if (_memory == nullptr) {
        throw SystemException(ENOMEM, "SuperBlock::SuperBlock");
    }
    std::memset(_memory, 0, Size);
    _image.attach(_memory, Size, BigEndian, 512);
}

SuperBlock::~SuperBlock() { std::free(_memory); }

void SuperBlock::requireImage() const {
    if (!_loaded) {
        throw VarnelException(VarnelException::InvalidStorage, "superblock not loaded");
    }
}

void SuperBlock::setFiles(IStorageFile* reader, IStorageFile* writer, std::uint64_t baseOffset,
                          std::uint32_t ioMinBlockSize) {
    _reader = reader;
    _writer = writer;
    _baseOffset = baseOffset;
    _ioMinBlockSize = ioMinBlockSize == 0 ? 512 : ioMinBlockSize;
}

void SuperBlock::load(IStorageFile* reader, IStorageFile* writer, std::uint64_t baseOffset,
                      std::uint32_t ioMinBlockSize) {
    if (reader == nullptr) {
        throw VarnelException(VarnelException::InvalidStorage, "superblock load without a file");
    }
    clear();
    setFiles(reader, writer, baseOffset, ioMinBlockSize);
    std::memset(_memory, 0, Size);
    const std::uint64_t fileSize = reader->size();
    // A file too short to hold a superblock reads as all zeros: not formatted.
    if (fileSize >= baseOffset && fileSize - baseOffset >= Size) {
        AIOContext::instance().read(*reader, _memory, baseOffset, Size);
    }
    _loaded = true;
    if (isValid()) {
        if (_image.getU32(VersionOffset) <= 2 &&
            _image.getU64(LegacyCopyOffset) > _image.getU64(SequenceOffset)) {
            _image.copyIn(SequenceOffset, _memory + LegacyCopyOffset, LegacyLength);
        }
    }
    _image.clearDirty();
    decode();
    if (isValid()) {
        checkSound(fileSize);
    }
}

bool SuperBlock::isValid() const {
    if (!_loaded) {
        return false;
    }
    return std::memcmp(_memory, Magic, 16) == 0 && _image.getU32(VersionOffset) <= CurrentVersion &&
           isValidPageSize(_image.getU32(PageSizeOffset));
}

void SuperBlock::decode() {
    if (!isValid()) {
        _version = 0;
        _repositoryID = UniqueID::nil();
        _storageID = UniqueID::nil();
        _pageSize = 0;
        _pageCount = 0;
        _pageByteOrder = BigEndian;
        _firstPageOffset = 0;
        _freePageNumber = 0;
        _formattedTime = DateTime();
        _firstItemID = 0;
        _bootTime = DateTime();
        _timeStampBasis = 0;
        _checksum = 0;
        _flags = SuperBlockFlags();
        _recorderType = RecorderType();
        return;
    }
    _version = _image.getU32(VersionOffset);
    _repositoryID = UniqueID::fromBytes(_memory + RepositoryIDOffset);
    _storageID = UniqueID::fromBytes(_memory + StorageIDOffset);
    _pageSize = _image.getU32(PageSizeOffset);
    _pageCount = _image.getU32(PageCountOffset);
    _pageByteOrder = _image.getU32(ByteOrderOffset) == 0 ? BigEndian : LittleEndian;
    _firstPageOffset = _image.getU32(FirstPageOffsetOffset);
    _freePageNumber = _image.getU32(FreePageNumberOffset);
    _formattedTime.decode(reinterpret_cast<const std::uint8_t*>(_memory + FormattedTimeOffset), BigEndian);
    _firstItemID = _image.getU64(FirstItemIDOffset);
    _bootTime.decode(reinterpret_cast<const std::uint8_t*>(_memory + BootTimeOffset), BigEndian);
    _timeStampBasis = _image.getU32(TimeStampBasisOffset);
    _checksum = _image.getU32(ChecksumOffset);
    _flags = SuperBlockFlags(_image.getU32(FlagsOffset));
    _recorderType = RecorderType::fromBytes(_memory + RecorderTypeOffset);
}

void SuperBlock::checkSound(std::uint64_t fileSize) const {
    auto damaged = [](const std::string& what) {
        throw VarnelException(VarnelException::StorageCorrupted, "superblock: " + what);
    };
    if (_firstPageOffset < Size || _firstPageOffset % Size != 0) {
        damaged("first page offset " + std::to_string(_firstPageOffset));
    }
    const std::uint64_t end =
        _baseOffset + _firstPageOffset + static_cast<std::uint64_t>(_pageCount) * _pageSize;
    if (end > fileSize) {
        damaged(std::to_string(_pageCount) + " pages of " + std::to_string(_pageSize) + " bytes end at " +
                std::to_string(end) + ", past the end of the file at " + std::to_string(fileSize));
    }
    if (_pageSize % _ioMinBlockSize != 0) {
        damaged("page size " + std::to_string(_pageSize) + " is not a multiple of the sector size");
    }
    if (_version <= 2 && _freePageNumber != 0 && !isValidPageNumber(_freePageNumber)) {
        damaged("free page number " + std::to_string(_freePageNumber));
    }
    const std::uint32_t count = _image.getU32(TrackCountOffset);
    if (count > MaxTrackCount) {
        damaged("track count " + std::to_string(count));
    }
    for (std::size_t i = 0; i < count; ++i) {
        const TrackListItem item = readEntry(i);
        if (!isValidPageNumber(item.firstPage()) || !isValidPageNumber(item.lastPage())) {
            damaged("track " + item.type().toString() + " names pages " + std::to_string(item.firstPage()) +
                    ".." + std::to_string(item.lastPage()) + " of " + std::to_string(_pageCount));
        }
    }
}

void SuperBlock::format(const StorageFormatOptions& options, std::uint32_t pageCount, std::uint64_t firstItemID,
                        const Clock& clock) {
    if (!isValidPageSize(options.pageSize)) {
        throw VarnelException(VarnelException::InvalidStorage,
                              "page size " + std::to_string(options.pageSize) + " is not a multiple of 4096");
    }
    Mutex::ScopedLock lock(_mutex);
    std::memset(_memory, 0, Size);
    _loaded = true;
    _image.copyIn(0, Magic, 16);
    _image.putU32(VersionOffset, CurrentVersion);
    _image.copyIn(RepositoryIDOffset, options.repositoryID.data(), UniqueID::Size);
    const UniqueID storageID;
    _image.copyIn(StorageIDOffset, storageID.data(), UniqueID::Size);
    _image.putU32(PageSizeOffset, options.pageSize);
    _image.putU32(PageCountOffset, pageCount);
    _image.putU32(ByteOrderOffset, ByteBuffer::hostOrder() == BigEndian ? 0 : 0xFFFFFFFF);
    _image.putU32(FirstPageOffsetOffset, Size);
    std::uint8_t time[8];
    clock.now().encode(time, BigEndian);
    _image.copyIn(FormattedTimeOffset, time, 8);
    const std::size_t length = std::min(options.description.size(), DescriptionSize - 1);
    _image.copyIn(DescriptionOffset, options.description.data(), length);
    _image.putU64(FirstItemIDOffset, firstItemID);
    clock.nowUTC().encode(time, BigEndian);
    _image.copyIn(BootTimeOffset, time, 8);
    _image.putU32(TimeStampBasisOffset, 0);
    _image.putU32(ChecksumOffset, Random::instance().next());
    _image.putU32(FlagsOffset, options.flags.word());
    std::uint8_t code[4];
    options.recorderType.encode(code, BigEndian);
    _image.copyIn(RecorderTypeOffset, code, 4);
    _image.putU32(TrackCountOffset, 0);
    _image.mask().setAll();
    decode();
}

void SuperBlock::clear() {
    Mutex::ScopedLock lock(_mutex);
    if (_loaded) {
        std::memset(_memory, 0, Size);
    }
    _loaded = false;
    _image.clearDirty();
    _reader = nullptr;
    _writer = nullptr;
    decode();
}

bool SuperBlock::isAbleTo(VarnelAbility ability) const {
    if (!isValid()) {
        return false;
    }
    switch (ability) {
    case VarnelAbility::TimeStamp:
        return _version > 1;
    case VarnelAbility::StorageLog:
    case VarnelAbility::Reserved3:
    case VarnelAbility::Reserved4:
    case VarnelAbility::Journaling:
    case VarnelAbility::SingleTrackList:
        return _version > 2;
    }
    return false;
}

std::string SuperBlock::description() const {
    if (!isValid()) {
        return {};
    }
    const char* text = reinterpret_cast<const char*>(_memory + DescriptionOffset);
    return std::string(text, strnlen(text, DescriptionSize));
}

void SuperBlock::setRepositoryID(const UniqueID& id) {
    requireImage();
    _image.copyIn(RepositoryIDOffset, id.data(), UniqueID::Size);
    _repositoryID = id;
}

void SuperBlock::setRecorderType(const RecorderType& type) {
    requireImage();
    std::uint8_t code[4];
    type.encode(code, BigEndian);
    _image.copyIn(RecorderTypeOffset, code, 4);
    _recorderType = type;
}

void SuperBlock::setPageCount(std::uint32_t count) {
    requireImage();
    _image.putU32(PageCountOffset, count);
    _pageCount = count;
}

void SuperBlock::setBootTime(const DateTime& time, std::uint32_t basis) {
    requireImage();
    std::uint8_t bytes[8];
    time.encode(bytes, BigEndian);
    _image.copyIn(BootTimeOffset, bytes, 8);
    _image.putU32(TimeStampBasisOffset, basis);
    _bootTime = time;
    _timeStampBasis = basis;
}

void SuperBlock::setVersion(std::uint32_t version) {
    requireImage();
    _image.putU32(VersionOffset, version);
    _version = version;
}

bool SuperBlock::isValidPosition(const PagePosition& position) const {
    return isValidPageNumber(position.number) && position.offset >= 128 && position.offset < _pageSize;
}

std::uint64_t SuperBlock::pageOffset(std::uint32_t number) const {
    if (!isValidPageNumber(number)) {
        throw VarnelException(VarnelException::StorageCorrupted,
                              "page " + std::to_string(number) + " outside 1.." + std::to_string(_pageCount));
    }
    return static_cast<std::uint64_t>(number - 1) * _pageSize + _firstPageOffset + _baseOffset;
}

TrackListItem SuperBlock::readEntry(std::size_t index) const {
    TrackListItem item;
    item.decode(reinterpret_cast<const std::uint8_t*>(
        _image.pointer(TrackListOffset + index * TrackListItem::Size, TrackListItem::Size)));
    return item;
}

void SuperBlock::writeEntry(std::size_t index, const TrackListItem& item) {
    std::uint8_t bytes[TrackListItem::Size];
    item.encode(bytes);
    _image.copyIn(TrackListOffset + index * TrackListItem::Size, bytes, TrackListItem::Size);
}

std::size_t SuperBlock::trackCount() const {
    Mutex::ScopedLock lock(_mutex);
    if (!_loaded) {
        return 0;
    }
    return std::min<std::size_t>(_image.getU32(TrackCountOffset), MaxTrackCount);
}

int SuperBlock::findIndex(const PageType& type) const {
    const std::size_t count = std::min<std::size_t>(_image.getU32(TrackCountOffset), MaxTrackCount);
    for (std::size_t i = 0; i < count; ++i) {
        if (PageType::fromBytes(_memory + TrackListOffset + i * TrackListItem::Size) == type) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool SuperBlock::getTrack(std::size_t index, TrackListItem& item) const {
    Mutex::ScopedLock lock(_mutex);
    if (!_loaded || index >= std::min<std::size_t>(_image.getU32(TrackCountOffset), MaxTrackCount)) {
        return false;
    }
    item = readEntry(index);
    return true;
}

int SuperBlock::findTrack(const PageType& type, TrackListItem& item) const {
    Mutex::ScopedLock lock(_mutex);
    if (!_loaded) {
        return -1;
    }
    const int index = findIndex(type);
    if (index >= 0) {
        item = readEntry(static_cast<std::size_t>(index));
    }
    return index;
}

std::optional<TrackListItem> SuperBlock::findTrack(const PageType& type) const {
    TrackListItem item;
    if (findTrack(type, item) < 0) {
        return std::nullopt;
    }
    return item;
}

bool SuperBlock::hasTrack(const PageType& type) const {
    TrackListItem item;
    return findTrack(type, item) >= 0;
}

void SuperBlock::addTrack(const TrackListItem& item) {
    Mutex::ScopedLock lock(_mutex);
    requireImage();
    const std::uint32_t count = _image.getU32(TrackCountOffset);
    if (count >= MaxTrackCount) {
        throw VarnelException(VarnelException::InvalidStorage, "track list full");
    }
    writeEntry(count, item);
    _image.putU32(TrackCountOffset, count + 1);
}

void SuperBlock::addTrack(const PageType& type, BitMask32 mask, std::uint32_t page, std::uint32_t checksum) {
    addTrack(TrackListItem(type, mask, page, checksum));
}

void SuperBlock::setTrack(const TrackListItem& item) {
    Mutex::ScopedLock lock(_mutex);
    requireImage();
    const int index = findIndex(item.type());
    if (index < 0) {
        addTrack(item);
    } else {
        writeEntry(static_cast<std::size_t>(index), item);
    }
}

void SuperBlock::setTrackFirst(const PageType& type, std::uint32_t page, std::uint32_t checksum) {
    Mutex::ScopedLock lock(_mutex);
    requireImage();
    const int index = findIndex(type);
    if (index < 0) {
        addTrack(TrackListItem(type, BitMask32(0xFFFFFFFF), page, checksum));
        return;
    }
    TrackListItem item = readEntry(static_cast<std::size_t>(index));
    if (item.firstPage() != page || item.firstPageChecksum() != checksum) {
        item.setFirst(page, checksum);
        writeEntry(static_cast<std::size_t>(index), item);
    }
}

void SuperBlock::setTrackLast(const PageType& type, std::uint32_t page, std::uint32_t checksum) {
    Mutex::ScopedLock lock(_mutex);
    requireImage();
    const int index = findIndex(type);
    if (index < 0) {
        addTrack(TrackListItem(type, BitMask32(0xFFFFFFFF), page, checksum));
        return;
    }
    TrackListItem item = readEntry(static_cast<std::size_t>(index));
    if (item.lastPage() != page || item.lastPageChecksum() != checksum) {
        item.setLast(page, checksum);
        writeEntry(static_cast<std::size_t>(index), item);
    }
}

void SuperBlock::removeTrack(const PageType& type) {
    Mutex::ScopedLock lock(_mutex);
    if (!_loaded) {
        return;
    }
    const int index = findIndex(type);
    if (index < 0) {
        return;
    }
    const std::size_t count = std::min<std::size_t>(_image.getU32(TrackCountOffset), MaxTrackCount);
    const std::size_t from = TrackListOffset + (static_cast<std::size_t>(index) + 1) * TrackListItem::Size;
    const std::size_t end = TrackListOffset + count * TrackListItem::Size;
    if (from < end) {
        _image.copyIn(from - TrackListItem::Size, _memory + from, end - from);
    }
    _image.putU32(TrackCountOffset, static_cast<std::uint32_t>(count - 1));
}

void SuperBlock::write(std::size_t length) {
    if (_writer == nullptr) {
        trace("SuperBlock: no writer, %zu bytes not saved\n", length);
        return;
    }
    AIOContext::instance().write(*_writer, _memory, _baseOffset, static_cast<std::uint32_t>(length));
}

void SuperBlock::save() {
    Mutex::ScopedLock lock(_mutex);
    if (!_loaded || _image.isClean()) {
        return;
    }
    write(Size);
    _image.clearDirty();
}

void SuperBlock::saveHeader() {
    // The header transfer is one I/O unit; on a device with sectors above 512
    // bytes it covers part of the track list too, so it is made under the
    // track-list mutex to never write a half-changed entry.
    Mutex::ScopedLock lock(_mutex);
    if (!_loaded || _image.isClean()) {
        return;
    }
    write(std::min<std::size_t>(Size, std::max<std::size_t>(HeaderSize, _ioMinBlockSize)));
}

} // namespace ostrel
