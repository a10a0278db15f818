#pragma once

#include "base/thread/Mutex.h"
#include "storage/pager/MemoryPool.h"
#include "storage/pager/PoolBlock.h"

#include <cstdint>
#include <list>
#include <map>
#include <thread>
#include <utility>
#include <vector>

namespace ostrel {

class IPageCacheMonitor;
class Page;
class SuperBlock;

// The pages of one storage that are in memory. Every Page object that holds
// a page number shares one buffer through this cache:
// - active pages are held by at least one Page object; at most one of the
//   holders is the page's writer;
// - a reader that loads a page while a writer holds it gets a private copy,
//   made under the writer's page lock, so it never sees a half-written item;
// - displaced buffers are the old buffers of pages that were re-formatted or
//   re-read for writing while readers still held them; they live until the
//   last of those readers lets go (a page may be displaced more than once);
// - up to MaxIdlePages released pages stay in memory for reuse.
class PageCache {
public:
    static constexpr std::size_t MaxIdlePages = 5;

    explicit PageCache(MemoryPool& pool = MemoryPool::instance());
    ~PageCache();
    PageCache(const PageCache&) = delete;
    PageCache& operator=(const PageCache&) = delete;

    void setSuperBlock(SuperBlock* superBlock);
    SuperBlock* superBlock() const { return _superBlock; }
    void setMonitor(IPageCacheMonitor* monitor) { _monitor = monitor; }
    MemoryPool& pool() { return _pool; }

    // A freshly formatted page: `page` holds `buffer` for writing.
    void registerNew(std::uint32_t number, PoolBlock buffer, Page* page);
    // The buffer of page `number`, read from the file when it is not in
    // memory. With a `writerPage` the caller becomes the page's writer; without
    // one it is a reader and receives a private copy (isCopy set) when a
    // writer holds the page.
    PoolBlock acquire(std::uint32_t number, bool& isCopy, Page* writerPage);
    void release(std::uint32_t number, PoolBlock buffer, bool isCopy);
    // Keeps the buffer of active page `number` in memory, as one more
    // holder, until unpin(): the group commit holds filled pages this way
    // until it writes them. The page is complete: nobody writes it any more,
    // so readers share the buffer from now on instead of copying it. Raises
    // VarnelException when the page is not active.
    PoolBlock pin(std::uint32_t number);
    void unpin(std::uint32_t number, PoolBlock buffer) { release(number, buffer, false); }
    // Whether an old buffer of the page is still held by a reader: the page was
    // re-formatted under it.
    bool isDisplaced(std::uint32_t number) const;

    PoolBlock allocatePrivate(std::size_t size) { return _pool.allocate(size); }
    void releasePrivate(PoolBlock buffer) { _pool.release(buffer); }

    // A header sector of page `number` was written to the file past the cache
    // (a header-only page object): an idle copy is dropped and holders of the
    // page see the new sector, so no later load returns the old links.
    void headerWritten(std::uint32_t number, const std::byte* sector, std::size_t length);

    void saveStarted(Page& page, bool headerOnly);
    void saveFinished(Page& page, bool headerOnly);

    // Returns every buffer to the pool (at close). Buffers that Page objects
    // still hold are not handed to the pool while held: they go back when those
    // objects release them, so no two users ever share a pool block.
    void clear();

    // Inspection, for diagnostics and tests.
    bool isActive(std::uint32_t number) const;
    bool isIdle(std::uint32_t number) const;
    std::size_t idleCount() const;
    int holderCount(std::uint32_t number) const;

private:
    struct Entry {
        PoolBlock buffer;
        int holders = 0;
        Page* writer = nullptr;
        std::thread::id writerThread;
    };

    PoolBlock readPage(std::uint32_t number, bool forWriting);
    PoolBlock copyFromWriter(const Entry& entry);
    void displace(std::uint32_t number);
    void makeActive(std::uint32_t number, PoolBlock buffer, Page* writer);
    bool takeIdle(std::uint32_t number, PoolBlock& buffer);
    // Counts the times page `number` got a new version in memory (formatted,
    // loaded for writing, header written past the cache), so that a reader
    // whose file read raced with one of them does not keep stale bytes.
    std::uint64_t generationOf(std::uint32_t number) const;
    std::size_t pageSize() const;

    MemoryPool& _pool;
    SuperBlock* _superBlock = nullptr;
    IPageCacheMonitor* _monitor = nullptr;
    mutable Mutex _mutex;
    std::map<std::uint32_t, Entry> _active;
    std::multimap<std::uint32_t, Entry> _displaced;
    std::map<std::uint32_t, PoolBlock> _idle;
    std::list<std::pair<std::uint32_t, PoolBlock>> _idleOrder;
    std::vector<PoolBlock> _orphans;
    std::map<std::uint32_t, std::uint64_t> _generations;
};

} // namespace ostrel
