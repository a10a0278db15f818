#include "storage/util/StorageUtility.h"

#include "storage/Storage.h"
#include "storage/VarnelException.h"
#include "storage/pager/Page.h"
#include "storage/pager/SuperBlock.h"

#include <cstdio>
#include <string>

namespace ostrel {

void StorageUtility::refuse(const char* operation, std::uint32_t number, const char* what) {
    char line[512];
    std::snprintf(line, sizeof line, "%s %s:%d", operation, _storage.path().c_str(), static_cast<int>(number));
    _storage.log(line, 0, true);
    throw VarnelException(VarnelException::StorageCorrupted,
                          std::string(operation) + ": page " + std::to_string(number) + " " + what);
}

void StorageUtility::loadPage(Page& page, const PageType& type, std::uint32_t number, std::uint32_t checksum,
                              bool readOnly) {
    try {
        page.loadVerified(number, type, checksum, readOnly);
    } catch (const VarnelException&) {
        refuse("StorageUtility::loadPage", number, "is not the expected page");
    }
}

bool StorageUtility::isLinked(const Page& page, const Page& next) {
    return next.type() == page.type() && next.checksum() == page.nextChecksum() &&
           next.previousChecksum() == page.checksum() && next.previous() == page.pageNumber() &&
           page.next() == next.pageNumber() && next.superChecksum() == page.superChecksum();
}

bool StorageUtility::isDetachedFrom(const Page& page, const Page& next) {
    return next.type() == page.type() && next.checksum() == page.nextChecksum() && next.previous() == 0 &&
           next.previousChecksum() == 0 && next.superChecksum() == page.superChecksum();
}

void StorageUtility::loadNextPage(const Page& from, Page& into, bool readOnly) {
    const std::uint32_t number = from.next();
    if (number == 0 || !_storage.superBlock().isValidPageNumber(number)) {
        refuse("StorageUtility::loadNextPage", number, "is not a page of the storage");
    }
    try {
        into.load(number, readOnly);
        into.checkHeader();
    } catch (const VarnelException&) {
        into.release();
        refuse("StorageUtility::loadNextPage", number, "is damaged");
    }
    if (!isLinked(from, into)) {
        into.release();
        refuse("StorageUtility::loadNextPage", number, "does not continue its predecessor");
    }
}

void StorageUtility::loadPreviousPage(const Page& from, Page& into, bool readOnly) {
    const std::uint32_t number = from.previous();
    if (number == 0 || !_storage.superBlock().isValidPageNumber(number)) {
        refuse("StorageUtility::loadPreviousPage", number, "is not a page of the storage");
    }
    try {
        into.load(number, readOnly);
        into.checkHeader();
    } catch (const VarnelException&) {
        into.release();
        refuse("StorageUtility::loadPreviousPage", number, "is damaged");
    }
    if (!isLinked(into, from)) {
        into.release();
        refuse("StorageUtility::loadPreviousPage", number, "does not precede its successor");
    }
}

bool StorageUtility::isEmpty(const PageType& type) {
    const std::optional<TrackListItem> entry = _storage.findTrack(type);
    if (!entry) {
        return true;
    }
    if (entry->firstPage() != entry->lastPage()) {
        return false;
    }
    Page page(&_storage.superBlock(), &_storage.pageCache());
    page.loadHeader(entry->lastPage(), true);
    if (!(page.type() == type) || page.checksum() != entry->lastPageChecksum()) {
        char line[512];
        std::snprintf(line, sizeof line, "StorageUtility::isEmpty %s PageType : %s Type : %s",
                      _storage.path().c_str(), page.type().toString().c_str(), type.toString().c_str());
        _storage.log(line, 0, true);
        throw VarnelException(VarnelException::StorageCorrupted, "StorageUtility::isEmpty: page " +
                                                                     std::to_string(entry->lastPage()));
    }
    return page.itemCount() == 0;
}

} // namespace ostrel
