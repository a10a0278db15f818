#include "storage/pager/FreePageListPage.h"

#include "storage/FreePageList.h"
#include "storage/FreePageListItem.h"
#include "storage/VarnelException.h"

#include <string>
#include <vector>

namespace ostrel {

int FreePageListPage::find(std::uint32_t number) const {
    const std::uint32_t count = itemCount();
    FreePageListItem item;
    for (std::uint32_t i = 0; i < count; ++i) {
        at(i, item);
        if (item.holds(number)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool FreePageListPage::isAnyListed(std::uint32_t first, std::uint32_t last) const {
    const std::uint32_t count = itemCount();
    FreePageListItem item;
    for (std::uint32_t i = 0; i < count; ++i) {
        at(i, item);
        if (item.overlaps(first, last)) {
            return true;
        }
    }
    return false;
}

bool FreePageListPage::isAllListed(std::uint32_t first, std::uint32_t last) const {
    if (last < first) {
        return false;
    }
    std::uint64_t covered = 0;
    const std::uint32_t count = itemCount();
    FreePageListItem item;
    for (std::uint32_t i = 0; i < count; ++i) {
        at(i, item);
        if (item.overlaps(first, last)) {
            covered += std::uint64_t{std::min(item.last(), last)} - std::max(item.first(), first) + 1;
        }
    }
    return covered >= std::uint64_t{last} - first + 1;
}

bool FreePageListPage::compact() {
    FreePageList list;
    list.load(*this, 0xFFFFFFFF);
    const std::uint32_t before = itemCount();
    list.coalesce();
    if (list.intervalCount() >= before) {
        return false;
    }
    reset();
    for (const FreePageListItem& item : list.intervals()) {
        pushBack(item);
    }
    return true;
}

void FreePageListPage::requireRoom() {
    if (!isFull() || compact()) {
        return;
    }
    throw VarnelException(VarnelException::NotEnoughSpace,
                          "free-page list page " + std::to_string(pageNumber()) + " holds no more intervals");
}

void FreePageListPage::addInterval(std::uint32_t first, std::uint32_t last, unsigned mergeMode) {
    const std::uint32_t count = itemCount();
    FreePageListItem item;
    if (mergeMode != NoMerge) {
        for (std::uint32_t i = 0; i < count; ++i) {
            at(i, item);
            if ((mergeMode & MergeBelow) && last != 0xFFFFFFFF && item.first() == last + 1) {
                item.setFirst(first);
                replace(i, item);
                return;
            }
            if ((mergeMode & MergeAbove) && item.last() + 1 == first) {
                item.setLast(last);
                replace(i, item);
                return;
            }
        }
    }
    requireRoom();
    pushBack(FreePageListItem(first, last));
}

void FreePageListPage::remove(std::uint32_t number) {
    int index = find(number);
    if (index < 0) {
        return;
    }
    FreePageListItem item;
    at(static_cast<std::uint32_t>(index), item);
    if (item.first() != item.last() && number != item.first() && number != item.last() && isFull()) {
        // The split needs one more slot.
        requireRoom();
        index = find(number);
        at(static_cast<std::uint32_t>(index), item);
    }
    const auto i = static_cast<std::uint32_t>(index);
    const std::uint32_t count = itemCount();
    if (item.first() == item.last()) {
        if (i == 0) {
            popFront();
        } else if (i == count - 1) {
            popBack();
        } else {
            std::vector<FreePageListItem> others;
            others.reserve(count - 1);
            for (std::uint32_t k = 0; k < count; ++k) {
                if (k != i) {
                    FreePageListItem other;
                    at(k, other);
                    others.push_back(other);
                }
            }
            reset();
            for (const FreePageListItem& other : others) {
                pushBack(other);
            }
        }
    } else if (number == item.first()) {
        item.setFirst(number + 1);
        replace(i, item);
    } else if (number == item.last()) {
        item.setLast(number - 1);
        replace(i, item);
    } else {
        const FreePageListItem upper(number + 1, item.last());
        item.setLast(number - 1);
        replace(i, item);
        pushBack(upper);
    }
}

} // namespace ostrel
