#include "storage/aio/AIOContext.h"

#include "base/Exception.h"
#include "storage/VarnelException.h"
#include "storage/aio/IOException.h"
#include "storage/aio/IStorageFile.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>

namespace ostrel {

AIOContext& AIOContext::instance() {
    // A function-local static is created once, under the runtime's own lock.
    static AIOContext context;
    return context;
}

void AIOContext::read(IStorageFile& file, void* buffer, std::uint64_t offset, std::uint32_t length) {
    AIOControlBlock block{&file, AIOControlBlock::Read, buffer, offset, length};
    request(&block, 1);
}

void AIOContext::write(IStorageFile& file, const void* buffer, std::uint64_t offset, std::uint32_t length) {
    AIOControlBlock block{&file, AIOControlBlock::Write, const_cast<void*>(buffer), offset, length};
    request(&block, 1);
}

void AIOContext::request(AIOControlBlock* blocks, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        AIOControlBlock& block = blocks[i];
        if (block.file == nullptr || block.buffer == nullptr ||
            (block.operation != AIOControlBlock::Read && block.operation != AIOControlBlock::Write)) {
            throw IOException(EINVAL, block.file ? block.file->handle() : -1, block.offset, block.length);
        }
        std::size_t done = 0;
        try {
            if (block.operation == AIOControlBlock::Read) {
                done = block.file->readAt(block.buffer, block.offset, block.length);
            } else {
                done = block.file->writeAt(block.buffer, block.offset, block.length);
            }
        } catch (const IOException&) {
            throw;
        } catch (const SystemException& e) {
            throw IOException(e.code(), block.file->handle(), block.offset, block.length);
        }
        if (done == block.length) {
            continue;
        }
        if (block.operation == AIOControlBlock::Write) {
            throw IOException(ENOSPC, block.file->handle(), block.offset, block.length);
        }
        char detail[160];
        std::snprintf(detail, sizeof detail, "%s ends at %" PRIu64 " inside the range %" PRIu64 "+%" PRIu32,
                      block.file->path().c_str(), block.offset + done, block.offset, block.length);
        throw VarnelException(VarnelException::StorageCorrupted, detail);
    }
}

} // namespace ostrel
