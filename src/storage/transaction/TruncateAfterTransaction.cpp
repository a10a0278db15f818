#include "storage/transaction/TruncateAfterTransaction.h"

#include "storage/IFreePageAllocator.h"
#include "storage/IStorage.h"
#include "storage/pager/Page.h"
#include "storage/transaction/FlushPageTransactionLog.h"
#include "storage/transaction/FreePageTransactionLog.h"
#include "storage/transaction/UpdateTrackTransactionLog.h"

namespace ostrel {

TruncateAfterTransaction::TruncateAfterTransaction(IStorage& storage, const FreePageList& pagesToFree, Page& page)
    : Transaction(storage) {
    if (storage.freePageAllocator().isListed(page.pageNumber())) {
        add(std::make_unique<ExtractFreePageTransactionLog>(storage, page.pageNumber()));
    }
    add(std::make_unique<UpdateTrackLastTransactionLog>(storage, page.type(), page.pageNumber(), page.checksum()));
    addFreePages(pagesToFree);
    add(std::make_unique<FlushPageTransactionLog>(storage, page, false, false));
}

} // namespace ostrel
