#include "storage/transaction/TrackDeletionTransaction.h"

#include "storage/transaction/UpdateTrackTransactionLog.h"

namespace ostrel {

TrackDeletionTransaction::TrackDeletionTransaction(IStorage& storage, const FreePageList& pagesToFree,
                                                   const PageType& type)
    : Transaction(storage) {
    addFreePages(pagesToFree);
    add(std::make_unique<DeleteTrackTransactionLog>(storage, type));
}

} // namespace ostrel
