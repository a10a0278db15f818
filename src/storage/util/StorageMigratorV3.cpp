#include "storage/util/StorageMigratorV3.h"

#include "base/BitMask32.h"
#include "storage/Storage.h"
#include "storage/pager/Page.h"
#include "storage/pager/PageType.h"
#include "storage/pager/SuperBlock.h"

namespace ostrel {

const StorageMigrator& StorageMigratorV3::chain() {
    static const StorageMigratorV3 instance;
    return instance;
}

bool StorageMigratorV3::migrate(Storage& storage) const {
    SuperBlock& superBlock = storage.superBlock();
    if (superBlock.version() != 2) {
        return false;
    }
    const std::uint32_t freePage = superBlock.freePageNumber();
    if (!superBlock.hasTrack(PageType::FreePageList) && freePage != 0) {
        Page header(&superBlock, &storage.pageCache());
        header.loadHeader(freePage, false);
        const std::uint32_t checksum = header.checksum();
        header.release();
        superBlock.addTrack(PageType::FreePageList, BitMask32(BitMask32::AllBits), freePage, checksum);
        storage.addTrack(PageType::FreePageList, BitMask32(BitMask32::AllBits), freePage, checksum);
    }
    superBlock.setVersion(3);
    return true;
}

} // namespace ostrel
