#include "storage/transaction/PageFlushTransaction.h"

#include "storage/pager/Page.h"
#include "storage/transaction/FlushPageTransactionLog.h"
#include "storage/transaction/FreePageTransactionLog.h"
#include "storage/transaction/UpdateTrackTransactionLog.h"

namespace ostrel {

PageFlushTransaction::PageFlushTransaction(IStorage& storage, Page& page) : Transaction(storage) {
    add(std::make_unique<ExtractFreePageTransactionLog>(storage, page.pageNumber()));
    add(std::make_unique<UpdateTrackLastTransactionLog>(storage, page.type(), page.pageNumber(), page.checksum()));
    add(std::make_unique<FlushPageTransactionLog>(storage, page, false, false));
}

} // namespace ostrel
