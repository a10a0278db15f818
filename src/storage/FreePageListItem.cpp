#include "storage/FreePageListItem.h"

#include "storage/pager/Buffer.h"

namespace ostrel {

void FreePageListItem::encode(std::uint8_t* out, ByteOrder order) const {
    Buffer b(out, 8, order);
    b.putU32(0, _first);
    b.putU32(4, _last);
}

void FreePageListItem::decode(const std::uint8_t* in, ByteOrder order) {
    const Buffer b(const_cast<std::uint8_t*>(in), 8, order);
    _first = b.getU32(0);
    _last = b.getU32(4);
}

} // namespace ostrel
