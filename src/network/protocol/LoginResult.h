#pragma once

#include <cstdint>

namespace ostrel {

// What a site answered to a login request. Only result code 1 is a success;
// the two values are handed up unchanged.
struct LoginResult {
    static constexpr uint8_t Success = 1;
    // The second value of a response that carries only the first.
    static constexpr uint32_t Absent = 0xFFFFFFFF;

    uint8_t code = 0; // 1 to 5; any other value reads as 0
    uint32_t first = 0;
    uint32_t second = Absent;

    bool succeeded() const { return code == Success; }
    static constexpr uint8_t codeOf(uint8_t raw) { return raw >= 1 && raw <= 5 ? raw : 0; }
};

} // namespace ostrel
