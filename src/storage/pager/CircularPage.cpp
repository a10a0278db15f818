#include "storage/pager/CircularPage.h"

#include "base/FixedSerializable.h"
#include "storage/VarnelException.h"

#include <string>

namespace ostrel {
namespace {

[[noreturn]] void corrupted(std::uint32_t number, const std::string& what) {
    throw VarnelException(VarnelException::StorageCorrupted, "ring page " + std::to_string(number) + ": " + what);
}

} // namespace

std::uint32_t CircularPage::slots() const {
    const std::uint32_t size = itemSize();
    return size == 0 ? 0 : (pageSize() - IndexData) / size;
}

std::uint32_t CircularPage::slack() const { return pageSize() - slots() * itemSize() - IndexData; }

std::uint32_t CircularPage::slotOf(std::uint32_t offset) const { return (offset - IndexData) / itemSize(); }

std::uint32_t CircularPage::offsetOfSlot(std::uint32_t slot) const { return IndexData + slot * itemSize(); }

std::uint32_t CircularPage::successor(std::uint32_t offset) const {
    const std::uint64_t next = std::uint64_t{offset} + itemSize();
    return next + slack() < pageSize() ? static_cast<std::uint32_t>(next) : IndexData;
}

std::uint32_t CircularPage::itemOffset(std::uint32_t index) const {
    return offsetOfSlot(static_cast<std::uint32_t>((std::uint64_t{slotOf(firstItemOffset())} + index) % slots()));
}

std::uint32_t CircularPage::itemsEnd() const { return lastItemOffset(); }

void CircularPage::checkHeader() const {
    const std::uint32_t size = itemSize();
    if (size == 0 || size > pageSize() - IndexData) {
        corrupted(pageNumber(), "item size " + std::to_string(size));
    }
    const std::uint32_t count = itemCount();
    const std::uint32_t ringSlots = slots();
    const std::uint32_t end = offsetOfSlot(ringSlots);
    const std::uint32_t head = firstItemOffset();
    const std::uint32_t tail = lastItemOffset();
    if (count > ringSlots) {
        corrupted(pageNumber(), "item count " + std::to_string(count) + " past the end of the page");
    }
    for (const std::uint32_t offset : {head, tail}) {
        if (offset < IndexData || offset >= end || (offset - IndexData) % size != 0) {
            corrupted(pageNumber(), "ring offset " + std::to_string(offset));
        }
    }
    const std::uint32_t distance = (slotOf(tail) + ringSlots - slotOf(head)) % ringSlots;
    if (distance != count % ringSlots) {
        corrupted(pageNumber(), "item count " + std::to_string(count) + " does not match the ring");
    }
}

void CircularPage::front(FixedSerializable& item) const { at(0, item); }

void CircularPage::at(std::uint32_t index, FixedSerializable& item) const {
    if (index >= itemCount()) {
        throw VarnelException(VarnelException::InvalidStorage, "ring item " + std::to_string(index) + " of " +
                                                                    std::to_string(itemCount()));
    }
    buffer().get(itemOffset(index), item);
}

void CircularPage::replace(std::uint32_t index, const FixedSerializable& item) {
    if (index >= itemCount()) {
        throw VarnelException(VarnelException::InvalidStorage, "ring item " + std::to_string(index) + " of " +
                                                                    std::to_string(itemCount()));
    }
    buffer().put(itemOffset(index), item);
}

void CircularPage::pushBack(const FixedSerializable& item) {
    if (isFull()) {
        throw VarnelException(VarnelException::InvalidStorage,
                              "ring page " + std::to_string(pageNumber()) + " is full");
    }
    const std::uint32_t tail = lastItemOffset();
    buffer().put(tail, item);
    setLastItemOffset(successor(tail));
    setItemCount(itemCount() + 1);
}

void CircularPage::popFront() {
    const std::uint32_t count = itemCount();
    if (count <= 1) {
        reset();
        return;
    }
    setFirstItemOffset(successor(firstItemOffset()));
    setItemCount(count - 1);
}

void CircularPage::popBack() {
    const std::uint32_t count = itemCount();
    if (count <= 1) {
        reset();
        return;
    }
    setLastItemOffset(itemOffset(count - 1));
    setItemCount(count - 1);
}

} // namespace ostrel
