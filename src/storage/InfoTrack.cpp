#include "storage/InfoTrack.h"

#include "storage/InfoElement.h"
#include "storage/Storage.h"

namespace ostrel {

void InfoTrack::init(Storage& storage, bool forWrite, std::uint32_t lastPage) {
    Mutex::ScopedLock lock(_mutex);
    Track::init(storage, forWrite, lastPage);
    _map.clear();
    const Page* page = currentPage();
    if (page == nullptr) {
        return;
    }
    InfoElement record;
    for (std::uint32_t i = 0; i < page->itemCount(); ++i) {
        record.readAt(page->buffer(), page->firstItemOffset() + i * ItemSize);
        _map[record.key()] = record.value();
    }
    _writeOffset = page->firstItemOffset() + page->itemCount() * ItemSize;
}

bool InfoTrack::close(bool flush) {
    Mutex::ScopedLock lock(_mutex);
    const bool ok = Track::close(flush);
    _map.clear();
    return ok;
}

void InfoTrack::put(const std::string& key, const std::string& value) {
    requireWritable();
    Mutex::ScopedLock lock(_mutex);
    const InfoElement record(key, value);
    Page* page = currentPage();
    if (page != nullptr && _map.count(record.key()) > 0) {
        InfoElement stored;
        for (std::uint32_t i = 0; i < page->itemCount(); ++i) {
            const std::uint32_t offset = page->firstItemOffset() + i * ItemSize;
            stored.readAt(page->buffer(), offset);
            if (stored.key() == record.key()) {
                Mutex::ScopedLock pageLock(page->mutex());
                record.writeAt(page->buffer(), offset);
                _map[record.key()] = record.value();
                return;
            }
        }
        // The key lies in an earlier page: the newest value goes into the
        // last page, which is the one read back at open.
    }
    if (freeRoom() < ItemSize) {
        AppendScope appending(*this);
        appendPage(nullptr);
        page = currentPage();
    }
    {
        Mutex::ScopedLock pageLock(page->mutex());
        record.writeAt(page->buffer(), _writeOffset);
        page->setItemCount(page->itemCount() + 1);
        page->setLastItemOffset(_writeOffset);
        _writeOffset += ItemSize;
    }
    _map[record.key()] = record.value();
}

bool InfoTrack::get(const std::string& key, std::string& value) const {
    Mutex::ScopedLock lock(_mutex);
    const auto it = _map.find(InfoElement::cut(key));
    if (it == _map.end()) {
        return false;
    }
    value = it->second;
    return true;
}

std::map<std::string, std::string> InfoTrack::all() const {
    Mutex::ScopedLock lock(_mutex);
    return _map;
}

} // namespace ostrel
