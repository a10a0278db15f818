#include "storage/pager/MemoryPool.h"

#include "base/Exception.h"
#include "base/Trace.h"

#include <cerrno>
#include <cstdlib>

namespace ostrel {

MemoryPool& MemoryPool::instance() {
    static MemoryPool pool;
    return pool;
}

MemoryPool::~MemoryPool() {
    for (const PoolBlock& block : _created) {
        std::free(block.data);
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
    void* data = std::aligned_alloc(Alignment, bytes);
    if (data == nullptr) {
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

std::size_t MemoryPool::createdCount() const {
    Mutex::ScopedLock lock(_mutex);
    return _created.size();
}

std::size_t MemoryPool::freeCount() const {
    Mutex::ScopedLock lock(_mutex);
    return _free.size();
}

} // namespace ostrel
