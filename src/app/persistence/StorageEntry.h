#pragma once

#include "base/Interval.h"

#include <cstdint>
#include <string>

namespace ostrel {

// One storage file listed in a site's storage group file, as the site storage
// judged it.
struct StorageEntry {
    // Status values; statusText gives what the storage manager shows.
    static constexpr int Unknown = 0;
    static constexpr int Good = 1;
    static constexpr int NotFormatted = 2;
    static constexpr int NotFound = 3;
    static constexpr int OpenError = 4;

    std::string path;
    uint64_t usedBytes = 0;
    uint64_t fileSize = 0;
    // The recorded interval of the storage (unset ends when it holds nothing).
    Interval recorded;
    int status = Unknown;
    // Why the file could not be used, when an error said so (else empty).
    std::string error;

    // "Unknown", "Good", "Not Formatted", "Not Found", "Open Error"; "" for
    // any other value.
    static const char* statusText(int status);
};

} // namespace ostrel
