#include "storage/aio/AIOContext.h"

#include "base/Exception.h"
#include "storage/VarnelException.h"
#include "storage/aio/IOException.h"
#include "storage/aio/IStorageFile.h"

#include <cerrno>
#include <cinttypes>
#include <algorithm>
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

void AIOContext::writeDeferred(IStorageFile& file, const WritePiece* pieces, std::size_t count,
                               std::uint64_t offset) {
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (pieces[i].data == nullptr) {
            throw IOException(EINVAL, file.handle(), offset, 0);
        }
        length += pieces[i].length;
    }
    const auto reported = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, 0xFFFFFFFFu));
    std::size_t done = 0;
    try {
        done = file.writeDeferred(pieces, count, offset);
    } catch (const IOException&) {
        throw;
    } catch (const SystemException& e) {
        throw IOException(e.code(), file.handle(), offset, reported);
    }
    if (done != length) {
        throw IOException(ENOSPC, file.handle(), offset, reported);
    }
}

void AIOContext::flush(IStorageFile& file) {
    try {
        file.flush();
    } catch (const IOException&) {
        throw;
    } catch (const SystemException& e) {
        throw IOException(e.code(), file.handle(), 0, 0);
    }
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
