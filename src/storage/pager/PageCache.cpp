#include "storage/pager/PageCache.h"

#include "base/Trace.h"
#include "storage/VarnelException.h"
#include "storage/aio/AIOContext.h"
#include "storage/pager/IPageCacheMonitor.h"
#include "storage/pager/Page.h"
#include "storage/pager/SuperBlock.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace ostrel {

PageCache::PageCache(MemoryPool& pool) : _pool(pool) {}

PageCache::~PageCache() { clear(); }

void PageCache::setSuperBlock(SuperBlock* superBlock) {
    Mutex::ScopedLock lock(_mutex);
    _superBlock = superBlock;
}

std::size_t PageCache::pageSize() const {
    if (_superBlock == nullptr || _superBlock->pageSize() == 0) {
        throw VarnelException(VarnelException::InvalidStorage, "page cache without a storage geometry");
    }
    return _superBlock->pageSize();
}

PoolBlock PageCache::readPage(std::uint32_t number, bool forWriting) {
    const std::size_t size = pageSize();
    // Checks the page number against the storage before anything is read.
    const std::uint64_t offset = _superBlock->pageOffset(number);
    IStorageFile* file = forWriting ? _superBlock->writer() : _superBlock->reader();
    if (file == nullptr) {
        file = _superBlock->reader();
    }
    if (file == nullptr) {
        throw VarnelException(VarnelException::InvalidStorage, "page read without an open file");
    }
    PoolBlock block = _pool.allocate(size);
    try {
        AIOContext::instance().read(*file, block.data, offset, static_cast<std::uint32_t>(size));
    } catch (...) {
        _pool.release(block);
        throw;
    }
    return block;
}

PoolBlock PageCache::copyFromWriter(const Entry& entry) {
    const std::size_t size = pageSize();
    PoolBlock copy = _pool.allocate(size);
    entry.writer->lock();
    std::memcpy(copy.data, entry.buffer.data, size);
    entry.writer->unlock();
    return copy;
}

void PageCache::displace(std::uint32_t number) {
    auto it = _active.find(number);
    if (it == _active.end()) {
        return;
    }
    trace("PageCache::allocate() OVERWRITE #%u\n", number);
    Entry old = it->second;
    old.writer = nullptr;
    _active.erase(it);
    if (old.holders > 0) {
        _displaced.emplace(number, old);
    } else {
        _pool.release(old.buffer);
    }
}

void PageCache::makeActive(std::uint32_t number, PoolBlock buffer, Page* writer) {
    Entry entry;
    entry.buffer = buffer;
    entry.holders = 1;
    entry.writer = writer;
    if (writer != nullptr) {
        entry.writerThread = std::this_thread::get_id();
    }
    _active[number] = entry;
}

bool PageCache::takeIdle(std::uint32_t number, PoolBlock& buffer) {
    auto it = _idle.find(number);
    if (it == _idle.end()) {
        return false;
    }
    buffer = it->second;
    _idle.erase(it);
    _idleOrder.remove_if([number](const auto& item) { return item.first == number; });
    return true;
}

void PageCache::registerNew(std::uint32_t number, PoolBlock buffer, Page* page) {
    Mutex::ScopedLock lock(_mutex);
    PoolBlock idle;
    if (takeIdle(number, idle)) {
        _pool.release(idle);
    }
    displace(number);
    makeActive(number, buffer, page);
    ++_generations[number];
}

PoolBlock PageCache::acquire(std::uint32_t number, bool& isCopy, Page* writerPage) {
    isCopy = false;
    _mutex.lock();
    try {
        PoolBlock buffer;
        auto active = _active.find(number);
        if (active != _active.end()) {
            if (writerPage == nullptr) {
                Entry& entry = active->second;
                if (entry.writer != nullptr) {
                    buffer = copyFromWriter(entry);
                    isCopy = true;
                } else {
                    ++entry.holders;
                    buffer = entry.buffer;
                }
                _mutex.unlock();
                return buffer;
            }
            // A writer always starts from what is on disk; readers keep the old buffer.
            buffer = readPage(number, true);
            displace(number);
            ++_generations[number];
        } else if (!takeIdle(number, buffer)) {
            const std::uint64_t generation = generationOf(number);
            _mutex.unlock();
            PoolBlock read = readPage(number, writerPage != nullptr);
            _mutex.lock();
            if (writerPage == nullptr && generationOf(number) != generation) {
                // While the file was read the page got a newer version in
                // memory (re-formatted, written and let go again): the bytes
                // read may predate it and must not be kept. Look again.
                _pool.release(read);
                _mutex.unlock();
                return acquire(number, isCopy, writerPage);
            }
            active = _active.find(number);
            if (active != _active.end()) {
                if (writerPage == nullptr) {
                    Entry& entry = active->second;
                    if (entry.writer != nullptr) {
                        _pool.release(read);
                        buffer = copyFromWriter(entry);
                        isCopy = true;
                    } else {
                        _pool.release(read);
                        ++entry.holders;
                        buffer = entry.buffer;
                    }
                    _mutex.unlock();
                    return buffer;
                }
                displace(number);
                buffer = read;
            } else if (takeIdle(number, buffer)) {
                _pool.release(read);
            } else {
                buffer = read;
            }
        }
        if (writerPage != nullptr) {
            ++_generations[number];
        }
        makeActive(number, buffer, writerPage);
        _mutex.unlock();
        return buffer;
    } catch (...) {
        if (_mutex.isHeldByCurrentThread()) {
            _mutex.unlock();
        }
        throw;
    }
}

void PageCache::release(std::uint32_t number, PoolBlock buffer, bool isCopy) {
    if (!buffer) {
        return;
    }
    if (isCopy) {
        _pool.release(buffer);
        return;
    }
    Mutex::ScopedLock lock(_mutex);
    auto orphan = std::find(_orphans.begin(), _orphans.end(), buffer);
    if (orphan != _orphans.end()) {
        _orphans.erase(orphan);
        _pool.release(buffer);
        return;
    }
    auto range = _displaced.equal_range(number);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.buffer == buffer) {
            if (--it->second.holders <= 0) {
                trace("PageCache::release() OVERWRITE CACHED page #%u released\n", number);
                _pool.release(buffer);
                _displaced.erase(it);
            }
            return;
        }
    }
    auto active = _active.find(number);
    if (active == _active.end() || !(active->second.buffer == buffer)) {
        // Not a buffer this cache lent out: nothing to do.
        return;
    }
    Entry& entry = active->second;
    if (--entry.holders > 0) {
        return;
    }
    _active.erase(active);
    if (_idleOrder.size() >= MaxIdlePages) {
        const auto oldest = _idleOrder.front();
        _idleOrder.pop_front();
        _idle.erase(oldest.first);
        _pool.release(oldest.second);
    }
    _idle[number] = buffer;
    _idleOrder.emplace_back(number, buffer);
}

PoolBlock PageCache::pin(std::uint32_t number) {
    Mutex::ScopedLock lock(_mutex);
    const auto active = _active.find(number);
    if (active == _active.end()) {
        throw VarnelException(VarnelException::InvalidStorage,
                              "page " + std::to_string(number) + " pinned while nobody holds it");
    }
    Entry& entry = active->second;
    ++entry.holders;
    entry.writer = nullptr;
    return entry.buffer;
}

bool PageCache::isDisplaced(std::uint32_t number) const {
    Mutex::ScopedLock lock(_mutex);
    return _displaced.count(number) > 0;
}

std::uint64_t PageCache::generationOf(std::uint32_t number) const {
    const auto it = _generations.find(number);
    return it == _generations.end() ? 0 : it->second;
}

void PageCache::headerWritten(std::uint32_t number, const std::byte* sector, std::size_t length) {
    Mutex::ScopedLock lock(_mutex);
    ++_generations[number];
    PoolBlock idle;
    if (takeIdle(number, idle)) {
        _pool.release(idle);
    }
    auto active = _active.find(number);
    if (active == _active.end()) {
        return;
    }
    Entry& entry = active->second;
    length = std::min(length, entry.buffer.size);
    if (entry.writer != nullptr) {
        entry.writer->lock();
        std::memcpy(entry.buffer.data, sector, length);
        entry.writer->unlock();
    } else {
        std::memcpy(entry.buffer.data, sector, length);
    }
}

void PageCache::saveStarted(Page& page, bool headerOnly) {
    if (_monitor != nullptr) {
        _monitor->saveStarted(page, headerOnly);
    }
}

void PageCache::saveFinished(Page& page, bool headerOnly) {
    if (_monitor != nullptr) {
        _monitor->saveFinished(page, headerOnly);
    }
}

void PageCache::clear() {
    Mutex::ScopedLock lock(_mutex);
    for (const auto& [number, entry] : _active) {
        trace("PageCache::clear() page #%u still held by %d objects\n", number, entry.holders);
        _orphans.push_back(entry.buffer);
    }
    for (const auto& [number, entry] : _displaced) {
        _orphans.push_back(entry.buffer);
    }
    for (const auto& [number, buffer] : _idle) {
        _pool.release(buffer);
    }
    _active.clear();
    _displaced.clear();
    _idle.clear();
    _idleOrder.clear();
}

bool PageCache::isActive(std::uint32_t number) const {
    Mutex::ScopedLock lock(_mutex);
    return _active.count(number) > 0;
}

bool PageCache::isIdle(std::uint32_t number) const {
    Mutex::ScopedLock lock(_mutex);
    return _idle.count(number) > 0;
}

std::size_t PageCache::idleCount() const {
    Mutex::ScopedLock lock(_mutex);
    return _idle.size();
}

int PageCache::holderCount(std::uint32_t number) const {
    Mutex::ScopedLock lock(_mutex);
    auto it = _active.find(number);
    return it == _active.end() ? 0 : it->second.holders;
}

} // namespace ostrel
