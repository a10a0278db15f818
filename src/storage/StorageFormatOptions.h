#pragma once

#include "base/BitMask32.h"
#include "base/UniqueID.h"
#include "storage/RecorderType.h"

#include <cstdint>
#include <map>
#include <string>

namespace ostrel {

// The superblock's flags word: stored as given, no bit is interpreted.
using SuperBlockFlags = BitMask32;

// What a format writes into a new storage.
struct StorageFormatOptions {
    static constexpr std::uint32_t DefaultPageSize = 524288;

    UniqueID repositoryID = UniqueID::nil();
    std::uint32_t pageSize = DefaultPageSize;
    // At most 31 characters are kept.
    std::string description;
    RecorderType recorderType;
    SuperBlockFlags flags;
    // Written into the info track after the format, in key order.
    std::map<std::string, std::string> infoEntries;
};

} // namespace ostrel
