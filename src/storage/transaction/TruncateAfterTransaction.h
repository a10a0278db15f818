#pragma once

#include "storage/transaction/Transaction.h"

namespace ostrel {

class FreePageList;
class Page;

// Cuts a track at its end as one journaled change: the page that becomes
// the last one leaves the free list when it was never saved, becomes the
// track's last page, the pages after it return to the free list, and its
// changed sectors are written.
class TruncateAfterTransaction : public Transaction {
public:
    TruncateAfterTransaction(IStorage& storage, const FreePageList& pagesToFree, Page& page);
};

} // namespace ostrel
