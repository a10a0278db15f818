#pragma once

#include "storage/transaction/Transaction.h"

namespace ostrel {

class Page;

// The first save of a newly allocated page: the page leaves the free-page
// list, becomes its track's last page in the superblock and its dirty sectors
// are written, as one journaled change. A crash at any point is undone at the
// next open: the track returns to its previous last page and the page to the
// free list.
class PageFlushTransaction : public Transaction {
public:
    PageFlushTransaction(IStorage& storage, Page& page);
};

} // namespace ostrel
