#include "storage/MediaTrackIterator.h"

#include "storage/MediaElement.h"
#include "storage/Storage.h"
#include "storage/VarnelException.h"
#include "storage/pager/SuperBlock.h"
#include "storage/util/StorageUtility.h"

#include <algorithm>
#include <string>

namespace ostrel {

MediaTrackIterator::MediaTrackIterator(Storage& storage, const PageType& type) : TrackIterator(storage, type) {}

std::uint32_t MediaTrackIterator::currentItemSize() {
    MediaElement frame;
    TrackIterator::read(frame);
    const std::uint64_t size = std::uint64_t{frame.fixedSize()} + frame.payloadSize();
    const std::uint64_t limit = 2ull * _storage.superBlock().pageSize();
    if (size > limit) {
        throw VarnelException(VarnelException::StorageCorrupted,
                              _type.toString() + " page " + std::to_string(_position.number) + ": frame of " +
                                  std::to_string(size) + " bytes at " + std::to_string(_position.offset));
    }
    _currentSize = static_cast<std::uint32_t>(size);
    return _currentSize;
}

void MediaTrackIterator::read(IRecordable& item) {
    TrackIterator::read(item);
    _currentSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(item.size(), 0xFFFFFFFFu));
}

bool MediaTrackIterator::previous() {
    if (!isValid()) {
        return false;
    }
    _overwritten = false;
    const Page& page = current();
    if (_position.offset > page.firstItemOffset()) {
        std::uint32_t offset = page.firstItemOffset();
        std::uint32_t before = offset;
        const PagePosition target = _position;
        for (std::uint32_t i = 0; i < page.itemCount() && offset < target.offset; ++i) {
            before = offset;
            _position.offset = offset;
            offset += currentItemSize();
        }
        if (offset != target.offset) {
            _position = target;
            throw VarnelException(VarnelException::StorageCorrupted,
                                  _type.toString() + " page " + std::to_string(target.number) +
                                      ": no frame ends at " + std::to_string(target.offset));
        }
        _position.offset = before;
        return true;
    }
    return previousPage();
}

std::vector<std::uint8_t> MediaTrackIterator::readPayload() {
    std::vector<std::uint8_t> bytes;
    if (!readPayload(bytes)) {
        throw VarnelException(VarnelException::PageOverwritten,
                              "media page after " + std::to_string(_position.number) + " was overwritten");
    }
    return bytes;
}

bool MediaTrackIterator::readPayload(std::vector<std::uint8_t>& bytes) {
    _overwritten = false;
    MediaElement frame;
    TrackIterator::read(frame);
    const std::uint64_t total = frame.payloadSize();
    const std::uint32_t pageSize = _storage.superBlock().pageSize();
    const std::uint32_t start = _position.offset + MediaElement::FixedSize;
    if (start > pageSize || total > 2ull * pageSize) {
        throw VarnelException(VarnelException::StorageCorrupted,
                              _type.toString() + " page " + std::to_string(_position.number) +
                                  ": frame payload of " + std::to_string(total) + " bytes");
    }
    const std::uint32_t here = static_cast<std::uint32_t>(std::min<std::uint64_t>(total, pageSize - start));
    if (here < total && current().next() == 0) {
        // The writer is still chaining the page that takes the rest of this
        // frame: look at the page again.
        if (!refresh()) {
            _overwritten = true;
            return false;
        }
        if (current().next() == 0) {
            return false;
        }
    }
    const Page& page = current();
    bytes.assign(static_cast<std::size_t>(total), 0);
    page.buffer().copyOut(start, bytes.data(), here);
    if (here < total) {
        // The rest continues at the start of the next page.
        Page next(&_storage.superBlock(), &_storage.pageCache());
        bool linked = _storage.superBlock().isValidPageNumber(page.next());
        if (linked) {
            next.load(page.next(), true);
            linked = StorageUtility::isLinked(page, next);
        }
        if (!linked) {
            const bool detached = next.isLoaded() && StorageUtility::isDetachedFrom(page, next);
            next.release();
            if (detached || isOverwritten()) {
                _overwritten = true;
                return false;
            }
            StorageUtility(_storage).loadNextPage(page, next, true);
        }
        const std::uint32_t rest = static_cast<std::uint32_t>(total - here);
        if (next.firstItemOffset() < Page::IndexData + rest) {
            throw VarnelException(VarnelException::StorageCorrupted,
                                  _type.toString() + " page " + std::to_string(next.pageNumber()) +
                                      " does not carry the rest of the frame before it");
        }
        next.buffer().copyOut(Page::IndexData, bytes.data() + here, rest);
    }
    return true;
}

} // namespace ostrel
