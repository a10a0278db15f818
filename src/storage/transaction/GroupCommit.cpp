#include "storage/transaction/GroupCommit.h"

#include "base/Trace.h"
#include "storage/FixedSizeFreePageAllocator.h"
#include "storage/IStorage.h"
#include "storage/MediaElement.h"
#include "storage/VarnelException.h"
#include "storage/aio/AIOContext.h"
#include "storage/pager/Page.h"
#include "storage/pager/PageCache.h"
#include "storage/pager/SuperBlock.h"
#include "storage/transaction/FreePageTransactionLog.h"
#include "storage/transaction/JournalingTransactionHandler.h"
#include "storage/transaction/UpdateTrackTransactionLog.h"

#include <algorithm>
#include <memory>

namespace ostrel {
namespace {

// Journal bytes of the records: an ExtractFreePage per page and one UpdateTrackLast.
constexpr std::uint32_t ExtractRecordSize = 2 + 4;
constexpr std::uint32_t UpdateRecordSize = 2 + 20;

} // namespace

GroupCommit::GroupCommit(IStorage& storage, FixedSizeFreePageAllocator& allocator,
                         JournalingTransactionHandler& handler)
    : _storage(storage), _allocator(allocator), _handler(handler) {}

GroupCommit::~GroupCommit() {
    try {
        discard();
    } catch (...) {
        // A destructor must not throw.
    }
}

std::uint32_t GroupCommit::capacity() const {
    const std::uint32_t sector = _storage.superBlock().ioMinBlockSize();
    // One more record than the pages: the page still being filled may ride along.
    const std::uint32_t room = sector > Page::IndexData + UpdateRecordSize
                                   ? (sector - Page::IndexData - UpdateRecordSize) / ExtractRecordSize
                                   : 0;
    const std::uint32_t bound = room > 1 ? room - 1 : 1;
    return std::max<std::uint32_t>(1, std::min(_options.pages, bound));
}

bool GroupCommit::accepts(const Page& page) const {
    if (!page.isLoaded() || page.isHeaderOnly() || !(page.type() == PageType::Media) ||
        !_allocator.isListed(page.pageNumber())) {
        return false;
    }
    if (!_entries.empty()) {
        return page.previous() == _entries.back().number && page.previousChecksum() == _entries.back().checksum;
    }
    TrackListItem media;
    return _storage.superBlock().findTrack(PageType::Media, media) >= 0 && media.lastPage() != 0 &&
           page.previous() == media.lastPage() && page.previousChecksum() == media.lastPageChecksum();
}

std::uint64_t GroupCommit::durableThrough(const Page& page) {
    if (!page.isLoaded() || page.itemCount() == 0) {
        return 0;
    }
    MediaElement last;
    last.readAt(page.buffer(), page.lastItemOffset());
    const std::uint64_t end = std::uint64_t{page.lastItemOffset()} + last.fixedSize() + last.payloadSize();
    if (end <= page.pageSize()) {
        return page.lastItemID();
    }
    return page.lastItemID() > 0 ? page.lastItemID() - 1 : 0;
}

void GroupCommit::add(Page& page, std::uint32_t now) {
    if (!accepts(page)) {
        throw VarnelException(VarnelException::InvalidStorage,
                              "page " + std::to_string(page.pageNumber()) + " cannot join the group commit");
    }
    Entry entry;
    entry.number = page.pageNumber();
    entry.checksum = page.checksum();
    entry.length = page.pageSize();
    entry.joined = now;
    entry.durableThrough = durableThrough(page);
    entry.block = _storage.pageCache().pin(entry.number);
    // The whole page goes out at the commit: its dirty marks are settled.
    page.buffer().clearDirty();
    _entries.push_back(entry);
}

std::uint32_t GroupCommit::dueTick() const {
    return _entries.empty() ? 0 : _entries.front().joined + _options.maxWaitMilliseconds;
}

void GroupCommit::discard() {
    std::vector<Entry> entries;
    entries.swap(_entries);
    for (const Entry& entry : entries) {
        _storage.pageCache().unpin(entry.number, entry.block);
    }
}

void GroupCommit::writeRuns(const std::vector<Entry>& pages) {
    SuperBlock& superBlock = _storage.superBlock();
    IStorageFile* file = superBlock.writer();
    std::vector<const Entry*> order;
    for (const Entry& entry : pages) {
        order.push_back(&entry);
    }
    std::sort(order.begin(), order.end(), [](const Entry* a, const Entry* b) { return a->number < b->number; });
    std::vector<WritePiece> pieces;
    for (std::size_t i = 0; i < order.size();) {
        // A run: adjacent page numbers, every page but the last one whole.
        std::size_t end = i + 1;
        while (end < order.size() && order[end]->number == order[end - 1]->number + 1 &&
               order[end - 1]->length == superBlock.pageSize()) {
            ++end;
        }
        pieces.clear();
        for (std::size_t k = i; k < end; ++k) {
            pieces.push_back({order[k]->block.data, order[k]->length});
        }
        AIOContext::instance().writeDeferred(*file, pieces.data(), pieces.size(),
                                             superBlock.pageOffset(order[i]->number));
        i = end;
    }
}

std::uint64_t GroupCommit::commit(Page* current) {
    if (_entries.empty() && current == nullptr) {
        return 0;
    }
    std::vector<Entry> pages;
    pages.swap(_entries);
    try {
        if (current != nullptr) {
            if (!pages.empty() && !(current->previous() == pages.back().number &&
                                    current->previousChecksum() == pages.back().checksum)) {
                throw VarnelException(VarnelException::InvalidStorage,
                                      "page " + std::to_string(current->pageNumber()) +
                                          " does not continue the group commit");
            }
            Entry entry;
            entry.number = current->pageNumber();
            entry.checksum = current->checksum();
            entry.block = PoolBlock{const_cast<std::byte*>(current->data()), current->pageSize()};
            // Everything up to the last changed sector: a new page was never
            // written, so that is every byte its header describes.
            std::size_t end = 0;
            for (const auto& [offset, length] : current->buffer().dirtyRuns()) {
                end = std::max(end, offset + length);
            }
            entry.length = static_cast<std::uint32_t>(std::max<std::size_t>(end, _storage.superBlock().ioMinBlockSize()));
            entry.durableThrough = durableThrough(*current);
            pages.push_back(entry);
        }
        SuperBlock& superBlock = _storage.superBlock();
        IStorageFile* file = superBlock.writer();
        if (file == nullptr) {
            throw VarnelException(VarnelException::InvalidStorage, "group commit on a read-only storage");
        }
        std::vector<std::unique_ptr<TransactionLog>> steps;
        for (const Entry& entry : pages) {
            steps.push_back(std::make_unique<ExtractFreePageTransactionLog>(_storage, entry.number));
        }
        auto update = std::make_unique<UpdateTrackLastTransactionLog>(_storage, PageType::Media, pages.back().number,
                                                                      pages.back().checksum);
        UpdateTrackLastTransactionLog& track = *update;
        steps.push_back(std::move(update));

        // 1. The free list without the pages, where the list page does not
        // look yet, and the pages themselves; nothing waits for the device.
        for (const Entry& entry : pages) {
            _allocator.consume(entry.number);
        }
        _allocator.stage();
        writeRuns(pages);
        // 2. Barrier.
        AIOContext::instance().flush(*file);
        // 3. The journal.
        _handler.clear();
        for (const auto& step : steps) {
            _handler.add(step.get());
        }
        _handler.writePending();
        // 4. The free list.
        _allocator.publish();
        // 5. The track's new last page.
        track.apply();
        // 6. The journal emptied.
        _handler.clearDeferred();
    } catch (...) {
        _handler.clear();
        for (const Entry& entry : pages) {
            if (current == nullptr || entry.number != current->pageNumber()) {
                _storage.pageCache().unpin(entry.number, entry.block);
            }
        }
        throw;
    }
    if (current != nullptr) {
        current->buffer().clearDirty();
    }
    std::uint64_t durable = 0;
    for (const Entry& entry : pages) {
        durable = std::max(durable, entry.durableThrough);
        if (current == nullptr || entry.number != current->pageNumber()) {
            _storage.pageCache().unpin(entry.number, entry.block);
        }
    }
    trace("GroupCommit: %zu pages up to %u, frames to %llu\n", pages.size(), pages.back().number,
          static_cast<unsigned long long>(durable));
    return durable;
}

} // namespace ostrel
