#pragma once

#include "storage/FixedSizeFileStorage.h"
#include "storage/support/Frames.h"
#include "storage/support/SharedStorageFile.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ostrel::test {

// A formatted in-memory storage of small pages, so that chaining, splitting
// and overwriting happen within a few frames.
struct StorageFixture {
    explicit StorageFixture(std::uint32_t pages = 40, std::uint32_t pageSize = 8192);

    // Closes (flushing) and opens the storage again over the same bytes.
    void reopen();
    // Writes a video frame (media, then timeline); answers its timeline position.
    PagePosition record(const MediaElement& frame);
    std::vector<std::string> logTexts() const;
    bool logged(const std::string& start) const;

    std::uint32_t pageSize;
    MemoryFile memory;
    Frames frames;
    std::unique_ptr<FixedSizeFileStorage> storage;
};

StorageFormatOptions smallPageOptions(std::uint32_t pageSize = 8192);

} // namespace ostrel::test
