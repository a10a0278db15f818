#include "storage/LogTrack.h"

#include "base/Exception.h"
#include "base/Trace.h"
#include "storage/LogElement.h"
#include "storage/Storage.h"
#include "storage/VarnelException.h"
#include "storage/pager/SuperBlock.h"

#include <cstdio>

namespace ostrel {

void LogTrack::init(Storage& storage, bool forWrite, std::uint32_t lastPage) {
    // The track's own page objects stay unused: the log lives in one ring page.
    Track::init(storage, forWrite, 0);
    _ring.bind(&storage.superBlock(), &storage.pageCache());
    _counter = 0;
    if (lastPage == 0) {
        return;
    }
    const std::optional<TrackListItem> entry = storage.findTrack(PageType::Log);
    const std::uint32_t checksum = entry ? entry->lastPageChecksum() : 0;
    try {
        _ring.loadVerified(lastPage, PageType::Log, checksum, !isWritable());
    } catch (const SystemException& e) {
        if (!isWritable()) {
            throw;
        }
        // An unreadable log page starts again empty under the same identity.
        _ring.release();
        _ring.format(PageType::Log, lastPage, ItemSize, 0, 0);
        _ring.setChecksum(checksum);
        char line[400];
        std::snprintf(line, sizeof line, "[%s] %s page %u header load fail", e.typeName(),
                      e.message() ? e.message() : "", lastPage);
        append(line, 2);
        storage.savePage(_ring);
        return;
    }
    if (_ring.itemCount() > 0) {
        LogElement newest;
        newest.readAt(_ring.buffer(), _ring.itemOffset(_ring.itemCount() - 1));
        _counter = newest.number();
    }
}

bool LogTrack::close(bool flush) {
    bool ok = true;
    if (flush) {
        try {
            this->flush();
        } catch (const SystemException& e) {
            traceException(e);
            ok = false;
        }
    }
    _ring.release();
    _counter = 0;
    return Track::close(false) && ok;
}

void LogTrack::flush() {
    if (isWritable() && _ring.isLoaded() && _ring.isDirty()) {
        _storage->savePage(_ring);
    }
}

bool LogTrack::isEmpty() const { return !_ring.isLoaded() || _ring.itemCount() == 0; }

void LogTrack::append(const std::string& message, int level) {
    if (!isWritable()) {
        return;
    }
    const DateTime now = _storage->clockSource().now();
    if (!_ring.isLoaded()) {
        const std::uint32_t number = _storage->allocatePage(PageType::Log);
        _ring.format(PageType::Log, number, ItemSize, 0, 0);
        _storage->setTrackLast(PageType::Log, number, _ring.checksum());
    }
    ++_counter;
    Mutex::ScopedLock lock(_ring.mutex());
    std::size_t start = 0;
    std::uint16_t piece = 0;
    do {
        const LogElement record(_counter, now, static_cast<std::uint16_t>(level), piece,
                                message.substr(start, LogElement::MaxPiece));
        if (_ring.isFull()) {
            _ring.popFront();
        }
        const std::uint32_t tail = _ring.lastItemOffset();
        record.writeAt(_ring.buffer(), tail);
        _ring.setLastItemOffset(_ring.successor(tail));
        _ring.setItemCount(_ring.itemCount() + 1);
        start += LogElement::MaxPiece;
        ++piece;
    } while (start < message.size());
}

std::vector<LogMessage> LogTrack::readMessages(const CircularPage& page) {
    std::vector<LogMessage> messages;
    LogElement record;
    for (std::uint32_t i = 0; i < page.itemCount(); ++i) {
        record.readAt(page.buffer(), page.itemOffset(i));
        if (messages.empty() || record.piece() == 0 || messages.back().number != record.number()) {
            messages.push_back(LogMessage{record.number(), record.dateTime(), record.level(), record.text()});
        } else {
            messages.back().text += record.text();
        }
    }
    return messages;
}

} // namespace ostrel
