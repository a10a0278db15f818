#include "storage/pager/Page.h"

#include "base/Trace.h"
#include "base/thread/Random.h"
#include "storage/VarnelException.h"
#include "storage/aio/AIOContext.h"
#include "storage/pager/IPageInitializer.h"
#include "storage/pager/PageCache.h"
#include "storage/pager/SuperBlock.h"

#include <algorithm>
#include <string>

namespace ostrel {
namespace {

// Tells the cache (and through it the storage) that a save runs, also when
// the save fails.
class SaveScope {
public:
    SaveScope(PageCache& cache, Page& page, bool headerOnly) : _cache(cache), _page(page), _headerOnly(headerOnly) {
        _cache.saveStarted(_page, _headerOnly);
    }
    ~SaveScope() { _cache.saveFinished(_page, _headerOnly); }
    SaveScope(const SaveScope&) = delete;
    SaveScope& operator=(const SaveScope&) = delete;

private:
    PageCache& _cache;
    Page& _page;
    bool _headerOnly;
};

[[noreturn]] void corrupted(std::uint32_t number, const std::string& what) {
    throw VarnelException(VarnelException::StorageCorrupted, "page " + std::to_string(number) + ": " + what);
}

} // namespace

Page::~Page() {
    try {
        release();
    } catch (...) {
        // A destructor must not throw; the cache changes nothing it does not know.
    }
}

void Page::bind(SuperBlock* superBlock, PageCache* pageCache) {
    release();
    _superBlock = superBlock;
    _pageCache = pageCache;
}

void Page::requireBound() const {
    if (_superBlock == nullptr || _pageCache == nullptr || _superBlock->pageSize() == 0) {
        throw VarnelException(VarnelException::InvalidStorage, "page object not bound to an open storage");
    }
}

PageType Page::type() const { return PageType::fromBytes(_buffer.pointer(0, 4)); }

void Page::setType(const PageType& type) {
    std::uint8_t bytes[4];
    type.encode(bytes, BigEndian);
    _buffer.copyIn(0, bytes, 4);
}

std::uint32_t Page::pageSize() const { return _superBlock ? _superBlock->pageSize() : 0; }

std::uint32_t Page::capacity() const {
    const std::uint32_t size = itemSize();
    return size == 0 ? 0 : (pageSize() - IndexData) / size;
}

std::uint32_t Page::itemOffset(std::uint32_t index) const { return firstItemOffset() + index * itemSize(); }

std::uint32_t Page::itemsEnd() const { return IndexData + itemCount() * itemSize(); }

void Page::attach(PoolBlock block, std::size_t capacity) {
    _block = block;
    _buffer.attach(block.data, capacity, _superBlock->pageByteOrder(), _superBlock->ioMinBlockSize());
}

void Page::resetHeader() {
    setHeader(4, 0);
    setNext(0);
    setNextChecksum(0);
    setItemCount(0);
    setFirstItemOffset(IndexData);
    setLastItemOffset(IndexData);
    setChannelMask(BitMask32(0));
    setFirstItemID(0);
    setLastItemID(0);
    setReserved(0);
    _buffer.setPosition(IndexData);
}

void Page::format(const PageType& type, std::uint32_t number, std::uint32_t itemSize, std::uint32_t previous,
                  std::uint32_t previousChecksum, IPageInitializer* initializer) {
    release();
    requireBound();
    if (!_superBlock->isValidPageNumber(number)) {
        corrupted(number, "cannot be formatted: outside 1.." + std::to_string(_superBlock->pageCount()));
    }
    if (itemSize > pageSize() - IndexData) {
        throw VarnelException(VarnelException::InvalidStorage, "item size " + std::to_string(itemSize) +
                                                                    " larger than the item area");
    }
    const PoolBlock block = _pageCache->pool().allocate(pageSize());
    attach(block, pageSize());
    _number = number;
    _readOnly = false;
    _copy = false;
    _headerOnly = false;
    try {
        resetHeader();
        std::uint32_t stamp = 0;
        while (stamp == 0) {
            stamp = Random::instance().next();
        }
        setChecksum(stamp);
        setPrevious(previous);
        setPreviousChecksum(previousChecksum);
        setNextChecksum(0);
        setType(type);
        setItemSize(itemSize);
        setSuperChecksum(_superBlock->checksum());
        if (initializer != nullptr) {
            initializer->initialize(*this);
        }
    } catch (...) {
        _pageCache->pool().release(block);
        _block = PoolBlock{};
        _buffer.detach();
        _number = 0;
        throw;
    }
    _pageCache->registerNew(number, block, this);
}

void Page::release() {
    if (_block) {
        if (_headerOnly) {
            _pageCache->releasePrivate(_block);
        } else {
            _pageCache->release(_number, _block, _copy);
        }
    }
    _block = PoolBlock{};
    _buffer.detach();
    _number = 0;
    _readOnly = false;
    _copy = false;
    _headerOnly = false;
}

void Page::load(std::uint32_t number, bool readOnly) {
    release();
    requireBound();
    bool isCopy = false;
    const PoolBlock block = _pageCache->acquire(number, isCopy, readOnly ? nullptr : this);
    attach(block, pageSize());
    _buffer.setPosition(IndexData);
    _buffer.clearDirty();
    _number = number;
    _readOnly = readOnly;
    _copy = isCopy;
    _headerOnly = false;
}

void Page::loadHeader(std::uint32_t number, bool readerSide) {
    release();
    requireBound();
    const std::uint64_t offset = _superBlock->pageOffset(number);
    IStorageFile* file = readerSide || _superBlock->writer() == nullptr ? _superBlock->reader() : _superBlock->writer();
    if (file == nullptr) {
        throw VarnelException(VarnelException::InvalidStorage, "page header read without an open file");
    }
    const PoolBlock block = _pageCache->allocatePrivate(pageSize());
    try {
        AIOContext::instance().read(*file, block.data, offset, _superBlock->ioMinBlockSize());
    } catch (...) {
        _pageCache->releasePrivate(block);
        throw;
    }
    _headerOnly = true;
    attach(block, HeaderSize);
    _number = number;
    _readOnly = readerSide;
    _copy = false;
}

void Page::checkHeader() const {
    const std::uint32_t size = pageSize();
    const std::uint32_t itemBytes = itemSize();
    const std::uint32_t count = itemCount();
    const std::uint32_t first = firstItemOffset();
    const std::uint32_t last = lastItemOffset();
    if (itemBytes > size - IndexData) {
        corrupted(_number, "item size " + std::to_string(itemBytes));
    }
    if (first < IndexData || first > size) {
        corrupted(_number, "first item offset " + std::to_string(first));
    }
    if (last < IndexData || last >= size) {
        corrupted(_number, "last item offset " + std::to_string(last));
    }
    const std::uint32_t room = size - IndexData;
    if (count > (itemBytes == 0 ? room : room / itemBytes)) {
        corrupted(_number, "item count " + std::to_string(count) + " past the end of the page");
    }
    if (count > 0 && itemBytes > 0 && (last > size - itemBytes || first > last)) {
        corrupted(_number, "items at " + std::to_string(first) + ".." + std::to_string(last) +
                               " past the end of the page");
    }
}

void Page::loadVerified(std::uint32_t number, const PageType& type, std::uint32_t checksum, bool readOnly) {
    load(number, readOnly);
    try {
        if (!(this->type() == type)) {
            corrupted(number, "type " + this->type().toString() + " where " + type.toString() + " was expected");
        }
        if (this->checksum() != checksum) {
            corrupted(number, "checksum " + std::to_string(this->checksum()) + " where " +
                                  std::to_string(checksum) + " was expected");
        }
        if (superChecksum() != _superBlock->checksum()) {
            corrupted(number, "written under another format");
        }
        checkHeader();
    } catch (...) {
        release();
        throw;
    }
}

void Page::requireWritable() const {
    if (_number == 0 || !_block) {
        throw VarnelException(VarnelException::InvalidStorage, "save of a page object that holds no page");
    }
}

void Page::writeRange(std::size_t offset, std::size_t length, bool durable) {
    if (_readOnly || length == 0) {
        return;
    }
    IStorageFile* writer = _superBlock->writer();
    if (writer == nullptr) {
        throw VarnelException(VarnelException::InvalidStorage, "page save on a read-only storage");
    }
    const std::uint64_t at = _superBlock->pageOffset(_number) + offset;
    if (durable) {
        AIOContext::instance().write(*writer, _block.data + offset, at, static_cast<std::uint32_t>(length));
    } else {
        const WritePiece piece{_block.data + offset, length};
        AIOContext::instance().writeDeferred(*writer, &piece, 1, at);
    }
}

void Page::save() {
    requireWritable();
    if (_headerOnly) {
        // Only the header sector of this page is in memory.
        saveHeader();
        return;
    }
    SaveScope scope(*_pageCache, *this, false);
    const std::size_t unit = _superBlock->ioMinBlockSize();
    const std::size_t size = pageSize();
    if (size > unit) {
        writeRange(unit, size - unit);
    }
    writeRange(0, std::min(unit, size));
    _buffer.clearDirty();
}

void Page::saveDirty() {
    requireWritable();
    if (_buffer.isClean()) {
        return;
    }
    if (_headerOnly) {
        saveHeader();
        return;
    }
    if (_buffer.isAllDirty()) {
        save();
        return;
    }
    SaveScope scope(*_pageCache, *this, false);
    const std::size_t unit = _superBlock->ioMinBlockSize();
    for (const auto& [offset, length] : _buffer.dirtyRuns()) {
        if (offset != 0) {
            writeRange(offset, length);
            continue;
        }
        if (length > unit) {
            writeRange(unit, length - unit);
        }
        writeRange(0, unit);
    }
    _buffer.clearDirty();
}

bool Page::saveBodyDeferred() {
    requireWritable();
    if (_headerOnly || _buffer.isClean()) {
        return false;
    }
    const std::size_t unit = _superBlock->ioMinBlockSize();
    const bool headerDirty = _buffer.mask().test(0);
    bool wrote = false;
    SaveScope scope(*_pageCache, *this, false);
    for (const auto& [offset, length] : _buffer.dirtyRuns()) {
        const std::size_t from = offset == 0 ? unit : offset;
        if (offset + length > from) {
            writeRange(from, offset + length - from, false);
            wrote = true;
        }
    }
    _buffer.clearDirty();
    if (headerDirty) {
        _buffer.mask().set(0);
    }
    return wrote;
}

void Page::saveHeaderDeferred() {
    requireWritable();
    SaveScope scope(*_pageCache, *this, true);
    writeRange(0, std::min<std::size_t>(_superBlock->ioMinBlockSize(), pageSize()), false);
    _buffer.clearDirty();
}

void Page::saveHeader() {
    requireWritable();
    SaveScope scope(*_pageCache, *this, true);
    const std::size_t length = std::min<std::size_t>(_superBlock->ioMinBlockSize(), pageSize());
    writeRange(0, length);
    _buffer.clearDirty();
    if (_headerOnly && !_readOnly) {
        _pageCache->headerWritten(_number, _block.data, length);
    }
}

} // namespace ostrel
