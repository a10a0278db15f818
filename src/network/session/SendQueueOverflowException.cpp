#include "network/session/SendQueueOverflowException.h"

namespace ostrel {

SendQueueOverflowException::SendQueueOverflowException(std::source_location where)
    : Exception("SendQueueOverflowException", 0, std::string("Send queue overflow."), where) {}

} // namespace ostrel
