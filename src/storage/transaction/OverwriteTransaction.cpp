#include "storage/transaction/OverwriteTransaction.h"

#include "storage/FreePageList.h"
#include "storage/pager/Page.h"
#include "storage/transaction/FlushPageTransactionLog.h"
#include "storage/transaction/UpdateTrackTransactionLog.h"

namespace ostrel {

OverwriteTransaction::OverwriteTransaction(IStorage& storage, const FreePageList& pagesToFree, Page& page,
                                           bool flush, bool headerOnly)
    : Transaction(storage) {
    if (!pagesToFree.isEmpty()) {
        add(std::make_unique<UpdateTrackFirstTransactionLog>(storage, page.type(), page.pageNumber(),
                                                             page.checksum()));
        addFreePages(pagesToFree);
    }
    if (flush && page.isDirty()) {
        add(std::make_unique<FlushPageTransactionLog>(storage, page, headerOnly, false));
    }
}

} // namespace ostrel
