#pragma once

#include "base/BitMask32.h"
#include "base/thread/Mutex.h"
#include "storage/pager/DirtyMaskingBuffer.h"
#include "storage/pager/PageType.h"
#include "storage/pager/PoolBlock.h"

#include <cstdint>

namespace ostrel {

class IPageInitializer;
class PageCache;
class SuperBlock;

// One loaded page of a storage file. Every page starts with a 128-byte header
// in the page byte order of the superblock:
//   0 type, 4 reserved, 8 previous, 12 next, 16 item size, 20 item count,
//   24 first item offset, 28 last item offset, 32 first item ID (u64),
//   40 last item ID (u64), 48 channel mask, 52 unused (8), 60 checksum,
//   64 previous checksum, 68 next checksum, 72 time stamp, 76 super checksum,
//   80 reserved, 84..127 unused.
// Items begin at IndexData. The object alternates between holding a page
// (after format, load or loadHeader) and being empty (after release); every
// header setter writes through the dirty-tracking buffer, so saveDirty()
// writes exactly the sectors that changed, the header sector last.
class Page {
public:
    static constexpr std::uint32_t IndexData = 128;
    static constexpr std::uint32_t HeaderSize = 128;
    static constexpr std::uint32_t InvalidPageChecksum = 0;

    Page() = default;
    Page(SuperBlock* superBlock, PageCache* pageCache) : _superBlock(superBlock), _pageCache(pageCache) {}
    virtual ~Page();
    Page(const Page&) = delete;
    Page& operator=(const Page&) = delete;

    // Binds the object to a storage (releasing what it held).
    void bind(SuperBlock* superBlock, PageCache* pageCache);
    SuperBlock* superBlock() const { return _superBlock; }
    PageCache* pageCache() const { return _pageCache; }

    // Header fields.
    PageType type() const;
    void setType(const PageType& type);
    std::uint32_t previous() const { return header(8); }
    void setPrevious(std::uint32_t number) { setHeader(8, number); }
    std::uint32_t next() const { return header(12); }
    void setNext(std::uint32_t number) { setHeader(12, number); }
    std::uint32_t itemSize() const { return header(16); }
    void setItemSize(std::uint32_t size) { setHeader(16, size); }
    std::uint32_t itemCount() const { return header(20); }
    void setItemCount(std::uint32_t count) { setHeader(20, count); }
    std::uint32_t firstItemOffset() const { return header(24); }
    void setFirstItemOffset(std::uint32_t offset) { setHeader(24, offset); }
    std::uint32_t lastItemOffset() const { return header(28); }
    void setLastItemOffset(std::uint32_t offset) { setHeader(28, offset); }
    std::uint64_t firstItemID() const { return _buffer.getU64(32); }
    void setFirstItemID(std::uint64_t id) { _buffer.putU64(32, id); }
    std::uint64_t lastItemID() const { return _buffer.getU64(40); }
    void setLastItemID(std::uint64_t id) { _buffer.putU64(40, id); }
    BitMask32 channelMask() const { return BitMask32(header(48)); }
    void setChannelMask(BitMask32 mask) { setHeader(48, mask.word()); }
    std::uint32_t checksum() const { return header(60); }
    void setChecksum(std::uint32_t value) { setHeader(60, value); }
    std::uint32_t previousChecksum() const { return header(64); }
    void setPreviousChecksum(std::uint32_t value) { setHeader(64, value); }
    std::uint32_t nextChecksum() const { return header(68); }
    void setNextChecksum(std::uint32_t value) { setHeader(68, value); }
    std::uint32_t timeStamp() const { return header(72); }
    void setTimeStamp(std::uint32_t stamp) { setHeader(72, stamp); }
    std::uint32_t superChecksum() const { return header(76); }
    void setSuperChecksum(std::uint32_t value) { setHeader(76, value); }
    std::uint32_t reserved() const { return header(80); }
    void setReserved(std::uint32_t value) { setHeader(80, value); }

    std::uint32_t pageNumber() const { return _number; }
    bool isLoaded() const { return _number != 0; }
    DirtyMaskingBuffer& buffer() { return _buffer; }
    // The page's bytes (pageSize of them; HeaderSize for a header-only load).
    const std::byte* data() const { return _block.data; }
    const DirtyMaskingBuffer& buffer() const { return _buffer; }
    bool isEmpty() const { return itemCount() == 0; }
    // Fixed-size items that fit in the item area (0 without an item size).
    std::uint32_t capacity() const;
    std::uint32_t pageSize() const;
    bool isReadOnly() const { return _readOnly; }
    bool isCopy() const { return _copy; }
    bool isHeaderOnly() const { return _headerOnly; }
    // Whether bytes were changed since the last save.
    bool isDirty() const { return _buffer.isAttached() && !_buffer.isClean(); }

    void lock() { _mutex.lock(); }
    void unlock() { _mutex.unlock(); }
    Mutex& mutex() { return _mutex; }

    virtual std::uint32_t itemOffset(std::uint32_t index) const;
    virtual std::uint32_t itemsEnd() const;

    // Gives the object a new page `number` in a fresh pool buffer with a new
    // identity (random nonzero checksum, the superblock's checksum, the given
    // links) and registers it with the cache. Nothing is written.
    virtual void format(const PageType& type, std::uint32_t number, std::uint32_t itemSize,
                        std::uint32_t previous, std::uint32_t previousChecksum,
                        IPageInitializer* initializer = nullptr);
    // Gives the buffer back and forgets the page number.
    virtual void release();
    // Loads the page through the cache; a read-only load does not make this
    // object the page's writer.
    virtual void load(std::uint32_t number, bool readOnly);
    // Reads one sector of the page (its header) straight from the file into a
    // private buffer, through the reader file when `readerSide`, else the writer.
    virtual void loadHeader(std::uint32_t number, bool readerSide);
    void load(std::uint32_t number) { load(number, false); }
    void loadReadOnly(std::uint32_t number) { load(number, true); }
    void loadHeader(std::uint32_t number) { loadHeader(number, false); }

    // Loads the page and checks that it is what the caller expects: its
    // type, its checksum, the superblock's checksum and a header whose counts
    // and offsets fit the page. Anything else releases the page and raises
    // VarnelException code 4.
    void loadVerified(std::uint32_t number, const PageType& type, std::uint32_t checksum, bool readOnly);
    // Raises VarnelException code 4 when a header field read from disk cannot
    // be right for this page (offsets or counts outside the page).
    virtual void checkHeader() const;

    // Writes the whole page, the body before the header sector.
    virtual void save();
    // Writes the dirty sectors, each run in ascending order, the header sector
    // after the rest of its run.
    virtual void saveDirty();
    // Writes the header sector only; other dirty sectors are forgotten.
    virtual void saveHeader();
    // Writes every dirty sector but the header sector without waiting for
    // the device (durable after the file's next flush), one transfer per
    // run; the header sector stays dirty for a later saveHeader(). A page
    // whose header must not name the new bytes before they are durable is
    // saved this way, a barrier, then saveHeader(). Answers whether it wrote
    // anything.
    bool saveBodyDeferred();
    // Writes the header sector without waiting for the device; it becomes
    // durable with the file's next flush (or a later write of it).
    void saveHeaderDeferred();

    // Resets the header to an empty page (count 0, offsets at IndexData, IDs,
    // channel mask and next link cleared); type, item size, checksum, previous
    // link, time stamp and super checksum stay.
    void resetHeader();

protected:
    std::uint32_t header(std::size_t offset) const { return _buffer.getU32(offset); }
    void setHeader(std::size_t offset, std::uint32_t value) { _buffer.putU32(offset, value); }
    void requireBound() const;
    void requireWritable() const;

private:
    void attach(PoolBlock block, std::size_t capacity);
    void writeRange(std::size_t offset, std::size_t length, bool durable = true);

    SuperBlock* _superBlock = nullptr;
    PageCache* _pageCache = nullptr;
    std::uint32_t _number = 0;
    PoolBlock _block;
    DirtyMaskingBuffer _buffer;
    Mutex _mutex;
    bool _readOnly = false;
    bool _copy = false;
    bool _headerOnly = false;
};

} // namespace ostrel
