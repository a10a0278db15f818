#pragma once

#include "storage/FixedPageItem.h"

#include <cstdint>

namespace ostrel {

// One page number the storage stopped using (4 bytes, page byte order).
class BadElement : public FixedPageItem {
public:
    BadElement() = default;
    explicit BadElement(std::uint32_t page) : _page(page) {}

    std::uint32_t pageNumber() const { return _page; }

    int size() const override { return 4; }
    void encode(std::uint8_t* out, ByteOrder order) const override;
    void decode(const std::uint8_t* in, ByteOrder order) override;

private:
    std::uint32_t _page = 0;
};

} // namespace ostrel
