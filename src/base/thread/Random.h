#pragma once

#include <cstdint>

namespace ostrel {

// The process-wide source of 32-bit random numbers from the kernel's
// cryptographic random generator.
class Random {
public:
    static Random& instance();

    // One random number. Throws SystemException when the kernel refuses.
    std::uint32_t next();

    Random(const Random&) = delete;
    Random& operator=(const Random&) = delete;

private:
    Random() = default;
};

} // namespace ostrel
