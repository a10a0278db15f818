#pragma once

#include "base/Exception.h"

#include <source_location>

namespace ostrel {

// A session handle that names no connected session (never issued, or its
// session has disconnected since). The code is the handle.
class InvalidSessionHandleException : public Exception {
public:
    explicit InvalidSessionHandleException(int handle, std::source_location where = std::source_location::current());
};

} // namespace ostrel
