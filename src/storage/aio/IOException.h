#pragma once

#include "base/Exception.h"

#include <cstdint>
#include <source_location>

namespace ostrel {

// A failed transfer on a storage file: the system error plus the descriptor,
// the file offset and the length of the request that failed.
class IOException : public SystemException {
public:
    IOException(int error, int handle, std::uint64_t offset, std::uint32_t length,
                std::source_location where = std::source_location::current());

    int handle() const { return _handle; }
    std::uint64_t offset() const { return _offset; }
    std::uint32_t offsetLow() const { return static_cast<std::uint32_t>(_offset); }
    std::uint32_t offsetHigh() const { return static_cast<std::uint32_t>(_offset >> 32); }
    std::uint32_t length() const { return _length; }

private:
    int _handle;
    std::uint64_t _offset;
    std::uint32_t _length;
};

} // namespace ostrel
