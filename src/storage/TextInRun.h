#pragma once

#include "base/DateTime.h"
#include "storage/PagePosition.h"

#include <cstdint>

namespace ostrel {

// A run of text-in records: from its first record to the record (or stop
// record) that ends it.
struct TextInRun {
    DateTime from;
    DateTime to;
    PagePosition first;
    PagePosition last;
    std::uint64_t firstMediaID = 0;
    std::uint64_t lastMediaID = 0;
    std::uint32_t sectionID = 0;
};

} // namespace ostrel
