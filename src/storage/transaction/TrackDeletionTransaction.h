#pragma once

#include "storage/pager/PageType.h"
#include "storage/transaction/Transaction.h"

namespace ostrel {

class FreePageList;

// Deletes a whole track as one journaled change: its pages return to the
// free list and its entry leaves the superblock's track list.
class TrackDeletionTransaction : public Transaction {
public:
    TrackDeletionTransaction(IStorage& storage, const FreePageList& pagesToFree, const PageType& type);
};

} // namespace ostrel
