#include "storage/FreePageList.h"

#include "base/Trace.h"
#include "storage/VarnelException.h"
#include "storage/pager/FreePageListPage.h"

#include <algorithm>
#include <string>

namespace ostrel {

void FreePageList::clear() {
    _intervals.clear();
    _freeCount = 0;
    _changed = true;
}

bool FreePageList::contains(std::uint32_t first, std::uint32_t last) const {
    return std::any_of(_intervals.begin(), _intervals.end(),
                       [&](const FreePageListItem& item) { return item.overlaps(first, last); });
}

bool FreePageList::add(std::uint32_t first, std::uint32_t last) {
    if (first == 0 || last == 0 || last < first || last > _pageCount || contains(first, last)) {
        return false;
    }
    bool extended = false;
    for (FreePageListItem& item : _intervals) {
        if (last != 0xFFFFFFFF && item.first() == last + 1) {
            item.setFirst(first);
            extended = true;
            break;
        }
        if (item.last() == first - 1) {
            item.setLast(last);
            extended = true;
            break;
        }
    }
    if (!extended) {
        _intervals.emplace_back(first, last);
    }
    _changed = true;
    _freeCount += std::uint64_t{last} - first + 1;
    return true;
}

std::uint32_t FreePageList::take() {
    if (_intervals.empty()) {
        return 0;
    }
    FreePageListItem& item = _intervals.front();
    const std::uint32_t number = item.first();
    if (item.first() == item.last()) {
        _intervals.erase(_intervals.begin());
    } else {
        item.setFirst(number + 1);
    }
    _changed = true;
    --_freeCount;
    return number;
}

bool FreePageList::remove(std::uint32_t number) {
    auto it = std::find_if(_intervals.begin(), _intervals.end(),
                           [number](const FreePageListItem& item) { return item.holds(number); });
    if (it == _intervals.end()) {
        return false;
    }
    if (it->first() == it->last()) {
        _intervals.erase(it);
    } else if (number == it->first()) {
        it->setFirst(number + 1);
    } else if (number == it->last()) {
        it->setLast(number - 1);
    } else {
        const FreePageListItem upper(number + 1, it->last());
        it->setLast(number - 1);
        _intervals.push_back(upper);
    }
    _changed = true;
    --_freeCount;
    return true;
}

bool FreePageList::coalesce() {
    bool merged = false;
    std::vector<FreePageListItem> result;
    std::vector<FreePageListItem> rest = _intervals;
    std::size_t head = 0;
    while (head < rest.size()) {
        const FreePageListItem taken = rest[head++];
        bool absorbed = false;
        for (std::size_t i = head; i < rest.size(); ++i) {
            FreePageListItem& item = rest[i];
            if (taken.last() != 0xFFFFFFFF && item.first() == taken.last() + 1) {
                item.setFirst(taken.first());
                absorbed = true;
                break;
            }
            if (item.last() + 1 == taken.first()) {
                item.setLast(taken.last());
                absorbed = true;
                break;
            }
        }
        if (absorbed) {
            merged = true;
        } else {
            result.push_back(taken);
        }
    }
    if (merged) {
        _changed = true;
    }
    _intervals = std::move(result);
    return merged;
}

void FreePageList::sort() {
    std::stable_sort(_intervals.begin(), _intervals.end(), [](const FreePageListItem& a, const FreePageListItem& b) {
        if (a.pageCount() != b.pageCount()) {
            return a.pageCount() < b.pageCount();
        }
        return a.first() < b.first();
    });
    _changed = true;
}

void FreePageList::load(const FreePageListPage& page, std::uint32_t pageCount) {
    _intervals.clear();
    _freeCount = 0;
    _pageCount = pageCount;
    const std::uint32_t count = page.itemCount();
    for (std::uint32_t i = 0; i < count; ++i) {
        FreePageListItem item;
        page.at(i, item);
        if (!add(item.first(), item.last())) {
            trace("FreePageList::load() dropped interval %u~%u of page %u\n", item.first(), item.last(),
                  page.pageNumber());
        }
    }
    _changed = false;
}

void FreePageList::store(FreePageListPage& page) {
    if (_intervals.size() > page.slots()) {
        coalesce();
    }
    if (_intervals.size() > page.slots()) {
        throw VarnelException(VarnelException::NotEnoughSpace,
                              std::to_string(_intervals.size()) + " free intervals do not fit the free-page list of " +
                                  std::to_string(page.slots()));
    }
    page.reset();
    for (const FreePageListItem& item : _intervals) {
        page.pushBack(item);
    }
    page.saveDirty();
    _changed = false;
}

} // namespace ostrel
