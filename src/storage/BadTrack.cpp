#include "storage/BadTrack.h"

#include "storage/BadElement.h"
#include "storage/Storage.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"

namespace ostrel {

void BadTrack::init(Storage& storage, bool forWrite, std::uint32_t lastPage) {
    Track::init(storage, forWrite, lastPage);
    _chained = false;
    const Page* page = currentPage();
    if (page == nullptr) {
        return;
    }
    _writeOffset = page->firstItemOffset() + page->itemCount() * ItemSize;
    _chained = page->previous() != 0;
    if (isFull()) {
        Track::close(false);
        throw VarnelException(VarnelException::BadPageFull);
    }
}

bool BadTrack::close(bool flush) {
    _chained = false;
    return Track::close(flush);
}

bool BadTrack::isFull() const { return _chained && freeRoom() < ItemSize; }

bool BadTrack::add(std::uint32_t number) {
    requireWritable();
    if (isFull()) {
        return false;
    }
    if (freeRoom() < ItemSize) {
        const bool hadPage = currentPage() != nullptr;
        AppendScope appending(*this);
        appendPage(nullptr);
        _chained = _chained || hadPage;
    }
    Page& page = *_current;
    {
        Mutex::ScopedLock lock(page.mutex());
        BadElement(number).writeAt(page.buffer(), _writeOffset);
        page.setItemCount(page.itemCount() + 1);
        page.setLastItemOffset(_writeOffset);
        _writeOffset += ItemSize;
    }
    _storage->savePage(page);
    return !isFull();
}

std::vector<std::uint32_t> BadTrack::pages() const {
    std::vector<std::uint32_t> result;
    if (!isOpen()) {
        return result;
    }
    const std::optional<TrackListItem> entry = _storage->findTrack(PageType::Bad);
    if (!entry) {
        return result;
    }
    Page page(&_storage->superBlock(), &_storage->pageCache());
    std::uint32_t number = entry->firstPage();
    std::uint32_t checksum = entry->firstPageChecksum();
    for (int i = 0; i < 2 && number != 0; ++i) {
        page.loadVerified(number, PageType::Bad, checksum, true);
        BadElement record;
        for (std::uint32_t k = 0; k < page.itemCount(); ++k) {
            record.readAt(page.buffer(), page.firstItemOffset() + k * ItemSize);
            result.push_back(record.pageNumber());
        }
        number = page.next();
        checksum = page.nextChecksum();
    }
    return result;
}

} // namespace ostrel
