#include "storage/util/StorageInformation.h"

#include "base/Trace.h"
#include "storage/IFreePageAllocator.h"
#include "storage/Storage.h"
#include "storage/pager/SuperBlock.h"

namespace ostrel {

void StorageInformation::dump(Storage& storage) {
    if (!traceEnabled()) {
        return;
    }
    const SuperBlock& sb = storage.superBlock();
    trace("---------------- %s ----------------\n", storage.path().c_str());
    trace("Version          : %u\n", sb.version());
    trace("Repository ID    : %s\n", sb.repositoryID().toString().c_str());
    trace("Storage ID       : %s\n", sb.storageID().toString().c_str());
    trace("Recorder Type    : %s\n", sb.recorderType().toString().c_str());
    trace("Page Size        : %uK\n", sb.pageSize() / 1024);
    trace("Page Count       : %u\n", sb.pageCount());
    trace("First Page Offset: %u\n", sb.firstPageOffset());
    trace("Free Page Number : %u\n", sb.freePageNumber());
    trace("First Item ID    : %llu\n", static_cast<unsigned long long>(sb.firstItemID()));
    trace("Formatted Time   : %s\n", sb.formattedTime().toString().c_str());
    trace("Boot Time        : %s\n", sb.bootTime().toString().c_str());
    trace("Time Stamp Basis : %u\n", sb.timeStampBasis());
    trace("Checksum         : 0x%08x\n", sb.checksum());
    trace("Track Count      : %zu\n", sb.trackCount());
    TrackListItem item;
    for (std::size_t i = 0; sb.getTrack(i, item); ++i) {
        trace("  %s mask 0x%08x (%u:%u, %u:%u)\n", item.type().toString().c_str(), item.channelMask().word(),
              item.firstPage(), item.firstPageChecksum(), item.lastPage(), item.lastPageChecksum());
    }
}

} // namespace ostrel
