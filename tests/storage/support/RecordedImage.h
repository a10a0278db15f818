#pragma once

#include "storage/PagePosition.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ostrel {
class Storage;
}

namespace ostrel::test {

// A small storage recorded as the archiver records one (two video channels
// in groups of pictures, audio, text-in records and events), frames of
// varied sizes so that many of them run on into the next page, kept as the
// bytes of the closed file.
struct RecordedImage {
    static constexpr std::uint32_t PageSize = 8192;
    static constexpr std::uint32_t Pages = 170;

    // Records it once per process.
    static const RecordedImage& get();

    std::vector<std::uint8_t> bytes;
    // Per track type ("MDEA", "TIML", ...): its pages in chain order.
    std::map<std::string, std::vector<std::uint32_t>> chains;

    std::uint64_t pageOffset(std::uint32_t page) const { return 4096 + std::uint64_t{page - 1} * PageSize; }
};

// One frame as a reader finds it through the timeline.
struct StoredFrame {
    PagePosition element;  // where its timeline element is
    PagePosition position; // where the frame is
    std::vector<std::uint32_t> pages;  // every page its bytes lie in
    std::vector<std::uint8_t> bytes;   // its header and payload
};

// Every video and audio frame the storage's timeline leads to, by media ID.
std::map<std::uint64_t, StoredFrame> framesThroughTimeline(Storage& storage);

// The pages of each track in chain order, read through the storage.
std::map<std::string, std::vector<std::uint32_t>> trackChains(Storage& storage);

} // namespace ostrel::test
