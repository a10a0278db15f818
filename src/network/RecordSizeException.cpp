#include "network/RecordSizeException.h"

namespace ostrel {

RecordSizeException::RecordSizeException(int code, std::size_t recordSize, std::string message,
                                         std::source_location where)
    : Exception("RecordSizeException", code, std::move(message), where), _recordSize(recordSize) {}

} // namespace ostrel
