#pragma once

#include <cstdint>

namespace ostrel {

class IStorageFile;

// One I/O request: a whole-sector transfer between a sector-aligned buffer and
// a storage file.
struct AIOControlBlock {
    enum Operation : std::uint32_t { None = 0, Read = 1, Write = 2 };

    IStorageFile* file = nullptr;
    Operation operation = None;
    void* buffer = nullptr;
    std::uint64_t offset = ~std::uint64_t{0};
    std::uint32_t length = 0;
};

} // namespace ostrel
