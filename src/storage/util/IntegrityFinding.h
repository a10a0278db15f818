#pragma once

#include <cstdint>
#include <string>

namespace ostrel {

// One thing the full integrity check found wrong in a storage file: where it
// is (page 0 for the superblock and the track list; the byte offset of the
// header field or item inside the page) and what is wrong with it.
struct IntegrityFinding {
    std::uint32_t page = 0;
    std::uint32_t offset = 0;
    // The four-character type of the track concerned, empty when none.
    std::string track;
    std::string problem;
    // The page itself cannot be trusted any more (its header, links or items
    // are damaged): a repair takes it out of use. Other findings are
    // consequences (references into lost data, leaked pages) that a repair
    // trims or gives back.
    bool damagesPage = false;

    // "page 43 offset 68: MDEA: ..." or, without a page, "TRACK: ...".
    std::string toString() const;
    // The finding as one JSON object.
    std::string toJson() const;
    // `text` as a JSON string literal.
    static std::string jsonString(const std::string& text);
};

} // namespace ostrel
