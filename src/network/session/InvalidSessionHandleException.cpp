#include "network/session/InvalidSessionHandleException.h"

namespace ostrel {

InvalidSessionHandleException::InvalidSessionHandleException(int handle, std::source_location where)
    : Exception("InvalidSessionHandleException", handle, "Invalid session handle " + std::to_string(handle) + ".",
                where) {}

} // namespace ostrel
