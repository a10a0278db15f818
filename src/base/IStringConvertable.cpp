#include "base/IStringConvertable.h"

#include "base/FormatableBuffer.h"

namespace ostrel {

std::string IStringConvertable::toString() const {
    FormatableBuffer<2048> buffer;
    toString(buffer);
    return buffer.str();
}

} // namespace ostrel
