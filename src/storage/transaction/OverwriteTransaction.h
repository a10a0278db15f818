#pragma once

#include "storage/transaction/Transaction.h"

namespace ostrel {

class FreePageList;
class Page;

// Trims a track at its beginning as one journaled change: `page` becomes
// the track's first page and the pages before it return to the free list;
// with `flush` the page's changes (its header only, or every changed
// sector) are written in the same change.
class OverwriteTransaction : public Transaction {
public:
    OverwriteTransaction(IStorage& storage, const FreePageList& pagesToFree, Page& page, bool flush, bool headerOnly);
};

} // namespace ostrel
