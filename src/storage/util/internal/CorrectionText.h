#pragma once

#include <string>

namespace ostrel {

// printf-style formatting of the lines the correction writes into the
// storage's log.
class CorrectionText {
public:
    [[gnu::format(printf, 1, 2)]] static std::string format(const char* pattern, ...);
};

} // namespace ostrel
