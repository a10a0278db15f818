#pragma once

#include "storage/pager/PageType.h"

#include <cstdint>
#include <string>

namespace ostrel {

class IFreePageAllocator;
class ITransactionHandler;
class PageCache;
class SuperBlock;

// The storage as the layers under it (pages, free-page allocation, the
// journal and its records) reach it: its superblock, page cache, allocator
// and transaction handler, its own log, page allocation and the in-memory
// copy of the track list that the running engine consults. The storage
// object implements it; tests implement it over the bare layers.
class IStorage {
public:
    virtual ~IStorage() = default;

    virtual SuperBlock& superBlock() = 0;
    virtual PageCache& pageCache() = 0;
    virtual IFreePageAllocator& freePageAllocator() = 0;
    virtual ITransactionHandler& transactionHandler() = 0;
    virtual const std::string& path() const = 0;
    // No writer file: nothing may be written.
    virtual bool isReadOnly() const = 0;

    // Appends a line to the storage's own log (level 0 errors .. 2 notes).
    virtual void log(const std::string& text, int level, bool flush) = 0;

    // A free page for a new page of `type`. When none is left the storage may
    // first overwrite its oldest data; when still none is free it raises
    // VarnelException (page 0 is never handed out).
    virtual std::uint32_t allocatePage(const PageType& type) = 0;

    // The in-memory track list: set the last page of a type (creating the
    // entry with an all-ones mask when the type has none), and remove a type
    // (telling the storage's listeners that the track was deleted).
    virtual void setTrackLast(const PageType& type, std::uint32_t page, std::uint32_t checksum) = 0;
    // Likewise for the first page.
    virtual void setTrackFirst(const PageType& type, std::uint32_t page, std::uint32_t checksum) = 0;
    virtual void removeTrack(const PageType& type) = 0;

    // Commits the pages that wait for a group commit (none here), so that a
    // transaction about to start finds the journal, the free list and the
    // track list with every earlier page in them.
    virtual void commitPendingPages() {}
};

} // namespace ostrel
