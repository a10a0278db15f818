#pragma once

#include "storage/pager/IPageInitializer.h"

#include <cstdint>

namespace ostrel {

class IRecordable;

// Carries the rest of an item's payload into the page chained after the one
// holding its fixed part: the bytes go to the start of the item area and
// the new page's first item begins behind them.
class OverflowRemainingWriter : public IPageInitializer {
public:
    OverflowRemainingWriter(const IRecordable& item, std::uint32_t written, std::uint32_t remaining)
        : _item(item), _written(written), _remaining(remaining) {}

    void initialize(Page& page) override;

private:
    const IRecordable& _item;
    std::uint32_t _written;
    std::uint32_t _remaining;
};

} // namespace ostrel
