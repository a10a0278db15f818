#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace ostrel {

// MD5 (RFC 1321) of the concatenation of byte ranges; used for the login
// digest of password and key.
class Md5 {
public:
    using Digest = std::array<uint8_t, 16>;

    static Digest compute(std::initializer_list<std::span<const uint8_t>> parts);
};

} // namespace ostrel
