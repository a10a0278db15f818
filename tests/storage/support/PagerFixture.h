#pragma once

#include "storage/StorageFormatOptions.h"
#include "storage/pager/MemoryPool.h"
#include "storage/pager/PageCache.h"
#include "storage/pager/SuperBlock.h"
#include "storage/support/RecordingStorageFile.h"

#include <cstdint>
#include <memory>

namespace ostrel::test {

// A formatted superblock over an in-memory file with a page cache on a
// private pool: the layers below the storage object, for page-level tests.
struct PagerFixture {
    explicit PagerFixture(std::uint32_t pages = 16, std::uint32_t pageSize = 8192, std::uint32_t sector = 512)
        : file(8192 + std::uint64_t{pages} * pageSize, sector), cache(pool) {
        StorageFormatOptions options;
        options.repositoryID = UniqueID();
        options.pageSize = pageSize;
        options.recorderType = RecorderType::Flac;
        superBlock.setFiles(&file, &file, 0, sector);
        superBlock.format(options, pages, 1);
        superBlock.save();
        cache.setSuperBlock(&superBlock);
    }

    RecordingStorageFile file;
    MemoryPool pool;
    SuperBlock superBlock;
    PageCache cache;
};

} // namespace ostrel::test
