#include "storage/transaction/JournalingTransactionHandler.h"

#include "base/Exception.h"
#include "storage/IFreePageAllocator.h"
#include "storage/IStorage.h"
#include "storage/VarnelException.h"
#include "storage/pager/PageCache.h"
#include "storage/pager/SuperBlock.h"
#include "storage/transaction/TransactionLog.h"

#include <memory>
#include <string>
#include <vector>

namespace ostrel {

std::uint32_t JournalingTransactionHandler::capacity() const {
    const SuperBlock* superBlock = _journal.superBlock();
    return superBlock == nullptr || superBlock->pageSize() < Page::IndexData ? 0
                                                                              : superBlock->pageSize() - Page::IndexData;
}

void JournalingTransactionHandler::init(IStorage& storage) {
    AbstractTransactionHandler::init(storage);
    _journal.bind(&storage.superBlock(), &storage.pageCache());
    TrackListItem entry;
    if (storage.superBlock().findTrack(PageType::Journal, entry) >= 0) {
        loadJournal(entry.firstPage(), entry.firstPageChecksum());
    } else if (!storage.isReadOnly()) {
        createJournal();
    }
}

void JournalingTransactionHandler::loadJournal(std::uint32_t number, std::uint32_t checksum) {
    IStorage& storage = *this->storage();
    try {
        _journal.load(number, storage.isReadOnly());
    } catch (const SystemException& e) {
        storage.log(std::string("[JOURNAL] page load fail (") + (e.message() ? e.message() : "") + ") clear logs", 2,
                    true);
        _journal.release();
        _journal.format(PageType::Journal, number, 0, 0, 0);
        _journal.setChecksum(checksum);
        _journal.save();
        _journal.release();
        _journal.load(number, storage.isReadOnly());
    }
    try {
        if (!(_journal.type() == PageType::Journal) || _journal.checksum() != checksum) {
            throw VarnelException(VarnelException::StorageCorrupted,
                                  "journal page " + std::to_string(number) + " is a " + _journal.type().toString() +
                                      " page with checksum " + std::to_string(_journal.checksum()));
        }
        _journal.checkHeader();
    } catch (...) {
        _journal.release();
        throw;
    }
}

void JournalingTransactionHandler::createJournal() {
    IStorage& storage = *this->storage();
    SuperBlock& superBlock = storage.superBlock();
    IFreePageAllocator& allocator = storage.freePageAllocator();
    std::uint32_t number = 0;
    std::uint32_t mediaPrevious = 0;
    if (allocator.freePageCount() > 0) {
        number = storage.allocatePage(PageType::Journal);
        allocator.consume(number);
        allocator.flush();
    } else if (const std::uint32_t lost = findUnlistedJournal(); lost != 0) {
        // A full storage whose track list lost the journal entry: its journal
        // page is still there, outside every track and the free list. Taking
        // it back costs no data (and keeps the records of an interrupted
        // change for the rollback).
        Page header(&superBlock, &storage.pageCache());
        header.loadHeader(lost);
        const std::uint32_t checksum = header.checksum();
        header.release();
        superBlock.addTrack(PageType::Journal, BitMask32(0xFFFFFFFF), lost, checksum);
        superBlock.save();
        storage.log("[JOURNAL] page " + std::to_string(lost) + " taken back", 2, true);
        loadJournal(lost, checksum);
        return;
    } else {
        // No free page: the journal takes the media track's last page. A
        // formatted storage always has a journal; one without a journal, a
        // free page or a media page to spare has a damaged track list.
        TrackListItem media;
        if (superBlock.findTrack(PageType::Media, media) < 0) {
            throw VarnelException(VarnelException::StorageCorrupted, "no journal and no page left for one");
        }
        Page last(&superBlock, &storage.pageCache());
        last.loadHeader(media.lastPage());
        if (last.previous() == 0) {
            throw VarnelException(VarnelException::StorageCorrupted,
                                  "no journal and no page left for one but the only media page");
        }
        mediaPrevious = last.previous();
        superBlock.setTrackLast(PageType::Media, last.previous(), last.previousChecksum());
        storage.setTrackLast(PageType::Media, last.previous(), last.previousChecksum());
        number = media.lastPage();
    }
    _journal.format(PageType::Journal, number, 0, 0, 0);
    _journal.saveHeader();
    superBlock.addTrack(PageType::Journal, BitMask32(0xFFFFFFFF), number, _journal.checksum());
    superBlock.save();
    if (mediaPrevious != 0) {
        // The media track now ends one page earlier: its new last page must not
        // link to the page that became the journal.
        Page previous(&superBlock, &storage.pageCache());
        previous.loadHeader(mediaPrevious);
        previous.setNext(0);
        previous.setNextChecksum(Page::InvalidPageChecksum);
        previous.saveHeader();
    }
}

std::uint32_t JournalingTransactionHandler::findUnlistedJournal() {
    IStorage& storage = *this->storage();
    SuperBlock& superBlock = storage.superBlock();
    IFreePageAllocator& allocator = storage.freePageAllocator();
    Page header(&superBlock, &storage.pageCache());
    for (std::uint32_t number = 1; number <= superBlock.pageCount(); ++number) {
        if (allocator.isFree(number)) {
            continue;
        }
        bool journal = false;
        try {
            header.loadHeader(number);
            journal = header.type() == PageType::Journal && header.superChecksum() == superBlock.checksum();
        } catch (const Exception&) {
            journal = false;
        }
        header.release();
        if (journal) {
            return number;
        }
    }
    return 0;
}

void JournalingTransactionHandler::close() {
    _journal.release();
    AbstractTransactionHandler::close();
}

void JournalingTransactionHandler::writeJournal() {
    if (_pending.empty()) {
        return;
    }
    if (!_journal.isLoaded()) {
        throw VarnelException(VarnelException::InvalidStorage, "transaction on a storage without a journal");
    }
    std::uint64_t total = 0;
    for (const TransactionLog* step : _pending) {
        total += step->recordSize();
    }
    if (total > capacity()) {
        throw VarnelException(VarnelException::NotEnoughSpace,
                              "a transaction of " + std::to_string(_pending.size()) + " steps (" +
                                  std::to_string(total) + " bytes) does not fit the journal of " +
                                  std::to_string(capacity()) + " bytes");
    }
    Buffer& buffer = _journal.buffer();
    buffer.setPosition(Page::IndexData);
    std::uint32_t lastOffset = Page::IndexData;
    for (const TransactionLog* step : _pending) {
        lastOffset = static_cast<std::uint32_t>(buffer.position());
        step->writeRecord(buffer);
    }
    _journal.setFirstItemOffset(Page::IndexData);
    _journal.setItemCount(static_cast<std::uint32_t>(_pending.size()));
    _journal.setLastItemOffset(lastOffset);
    _journal.saveDirty();
}

void JournalingTransactionHandler::clearJournal() {
    if (_journal.isLoaded() && _journal.itemCount() > 0) {
        _journal.resetHeader();
        _journal.saveHeader();
    }
    _pending.clear();
}

void JournalingTransactionHandler::clearDeferred() {
    if (_journal.isLoaded() && _journal.itemCount() > 0) {
        _journal.resetHeader();
        _journal.saveHeaderDeferred();
    }
    _pending.clear();
}

void JournalingTransactionHandler::rollbackJournal() {
    IStorage& storage = *this->storage();
    if (!_journal.isLoaded() || _journal.itemCount() == 0) {
        storage.log("[JOURNAL] Empty", 2, true);
        return;
    }
    const Buffer& buffer = _journal.buffer();
    const std::uint32_t count = _journal.itemCount();
    std::size_t offset = _journal.firstItemOffset();
    std::vector<std::unique_ptr<TransactionLog>> applied;
    bool allApplied = true;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::unique_ptr<TransactionLog> step;
        if (buffer.contains(offset, 2)) {
            step = TransactionLog::create(buffer.getU16(offset), storage);
            if (step == nullptr) {
                storage.log("[JOURNAL] Fail: unknown record code " + std::to_string(buffer.getU16(offset)), 2, true);
                allApplied = false;
                break;
            }
        }
        if (step == nullptr || !buffer.contains(offset + 2, step->payloadSize())) {
            storage.log("[JOURNAL] Fail: record " + std::to_string(i) + " runs past the journal page", 2, true);
            allApplied = false;
            break;
        }
        step->readPayload(buffer, offset + 2);
        offset += step->recordSize();
        if (!step->isApplied()) {
            storage.log("[JOURNAL] Fail: " + step->toString(), 2, true);
            allApplied = false;
            break;
        }
        applied.insert(applied.begin(), std::move(step));
    }
    if (applied.empty()) {
        storage.log("[JOURNAL] All transaction failed. Just cleanup journal.", 2, true);
        return;
    }
    if (allApplied) {
        storage.log("[JOURNAL] All transaction succeeds except clear log. (commited)", 2, true);
        return;
    }
    for (const auto& step : applied) {
        step->rollback();
        storage.log("ROLLBACK: " + step->toString(), 2, true);
    }
}

} // namespace ostrel
