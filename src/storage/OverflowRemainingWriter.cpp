#include "storage/OverflowRemainingWriter.h"

#include "storage/IRecordable.h"
#include "storage/pager/Page.h"

namespace ostrel {

void OverflowRemainingWriter::initialize(Page& page) {
    auto& buffer = page.buffer();
    buffer.setPosition(Page::IndexData);
    _item.writePayload(buffer, _written, _remaining);
    page.setFirstItemOffset(static_cast<std::uint32_t>(buffer.position()));
}

} // namespace ostrel
