#pragma once

#include "base/Exception.h"

#include <source_location>

namespace ostrel {

// A packet could not be queued whole: the send queue lacks room for it, or
// its connection is already gone. Nothing of it was sent.
class SendQueueOverflowException : public Exception {
public:
    explicit SendQueueOverflowException(std::source_location where = std::source_location::current());
};

} // namespace ostrel
