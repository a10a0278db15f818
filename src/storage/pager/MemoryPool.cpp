#include "storage/pager/MemoryPool.h"

#include "base/Exception.h"
#include "base/MappedMemory.h"
#include "base/Trace.h"

#include <cerrno>
#include <cstdlib>
#include <new>

namespace ostrel {

MemoryPool& MemoryPool::instance() {
    static MemoryPool pool;
    return pool;
}

MemoryPool::~MemoryPool() {
    for (const PoolBlock& block : _created) {
        MappedMemory::unmap(block.data, block.size);
    }
}

PoolBlock MemoryPool::allocate(std::size_t size) {
    Mutex::ScopedLock lock(_mutex);
    for (auto it = _free.begin(); it != _free.end(); ++it) {
        if (it->size >= size) {
            const PoolBlock block = *it;
            _free.erase(it);
            return block;
        }
    }
    return create(size);
}

PoolBlock MemoryPool::create(std::size_t size) {
    std::size_t bytes = size < MinimumBlockSize ? MinimumBlockSize : size;
    bytes = (bytes + Alignment - 1) / Alignment * Alignment;
    // Mapped, not from the C heap: a trimmed block leaves the process at once.
    void* data = nullptr;
    try {
        data = MappedMemory::map(bytes);
    } catch (const std::bad_alloc&) {
        throw SystemException(ENOMEM, "MemoryPool::create");
    }
    _created.push_back(PoolBlock{static_cast<std::byte*>(data), bytes});
    trace("MemoryPool::allocate() create new block #%zu, %zu/%zu KB)\n", _created.size(), bytes / 1024,
          _created.size() * bytes / 1024);
    return _created.back();
}

void MemoryPool::release(PoolBlock block) {
    if (!block) {
        return;
    }
    Mutex::ScopedLock lock(_mutex);
    _free.push_back(block);
}

void MemoryPool::trim(std::size_t keep) {
    Mutex::ScopedLock lock(_mutex);
    // Released blocks are appended, so the oldest free ones go first.
    while (_free.size() > keep) {
        const PoolBlock block = _free.front();
        _free.pop_front();
        std::erase(_created, block);
        MappedMemory::unmap(block.data, block.size);
    }
}

std::size_t MemoryPool::createdCount() const {
    Mutex::ScopedLock lock(_mutex);
    return _created.size();
}

std::size_t MemoryPool::freeCount() const {
    Mutex::ScopedLock lock(_mutex);
    return _free.size();
}

} // namespace ostrel
