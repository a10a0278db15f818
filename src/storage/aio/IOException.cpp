#include "storage/aio/IOException.h"

#include <cinttypes>
#include <cstdio>

namespace ostrel {
namespace {

std::string requestText(int handle, std::uint64_t offset, std::uint32_t length) {
    char text[96];
    std::snprintf(text, sizeof text, "handle %d, offset %" PRIu64 ", length %" PRIu32, handle, offset,
                  length);
    return text;
}

} // namespace

IOException::IOException(int error, int handle, std::uint64_t offset, std::uint32_t length,
                         std::source_location where)
    : SystemException(error, requestText(handle, offset, length), where),
      _handle(handle),
      _offset(offset),
      _length(length) {}

} // namespace ostrel
