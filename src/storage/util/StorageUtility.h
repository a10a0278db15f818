#pragma once

#include "storage/pager/PageType.h"

#include <cstdint>

namespace ostrel {

class Page;
class Storage;

// Page loads with the checks every reader of a storage needs: a page is
// accepted only when it is the page the caller was sent to (type, checksum,
// the superblock's checksum, a header that fits the page), and a neighbour
// only when the link between the two pages holds on both sides. A refused
// page is logged in the storage's log (level 0, "%s %s:%d": the operation,
// the storage's path and the page number) and raises VarnelException code 4.
class StorageUtility {
public:
    explicit StorageUtility(Storage& storage) : _storage(storage) {}

    void loadPage(Page& page, const PageType& type, std::uint32_t number, std::uint32_t checksum, bool readOnly);
    // Loads `from`'s next page into `into`.
    void loadNextPage(const Page& from, Page& into, bool readOnly);
    // Loads `from`'s previous page into `into`.
    void loadPreviousPage(const Page& from, Page& into, bool readOnly);
    // Whether the track of `type` has no item: no track-list entry, or one
    // page holding none.
    bool isEmpty(const PageType& type);

    // Whether `next` is the real successor of `page` (and so the link holds).
    static bool isLinked(const Page& page, const Page& next);
    // Whether `next` is the page `page` links to, which has since become the
    // first page of its track (the overwrite cleared its link back): `page`
    // was freed.
    static bool isDetachedFrom(const Page& page, const Page& next);

private:
    [[noreturn]] void refuse(const char* operation, std::uint32_t number, const char* what);

    Storage& _storage;
};

} // namespace ostrel
