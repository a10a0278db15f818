#pragma once

#include "base/DateTime.h"

#include <cstdint>
#include <string>

namespace ostrel {

// One message of a storage's own log, its pieces joined again.
struct LogMessage {
    std::uint32_t number = 0;
    DateTime time;
    int level = 0;
    std::string text;
};

} // namespace ostrel
