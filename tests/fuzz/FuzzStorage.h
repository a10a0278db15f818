#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Helpers of the storage fuzz targets and of the corpus generator: small
// recorded storage images in memory, and the walk that opens an image and
// reads every track of it the way the application and the tools do.
namespace ostrel::fuzz {

// Page size of the images: the smallest a storage takes, so that a whole
// file stays small enough to mutate.
constexpr std::uint32_t ImagePageSize = 4096;

// A storage file image with the pages of each of its tracks in link order.
struct StorageImage {
    std::vector<std::uint8_t> bytes;
    std::uint32_t firstPageOffset = 0;
    // One entry per track page (the free-page list and the journal included):
    // the page number and the page type's four characters.
    struct TrackPage {
        std::uint32_t number;
        char type[5];
    };
    std::vector<TrackPage> pages;

    std::uint64_t pageOffset(std::uint32_t number) const {
        return firstPageOffset + std::uint64_t{number - 1} * ImagePageSize;
    }
};

// A storage of `pages` pages recorded in memory: video on two channels with
// frames that span pages, audio, text-in runs, events, info entries, two
// recording sections and the storage log. `overwrite` records on until the
// oldest media pages were overwritten, so the tracks no longer begin at their
// first pages. `torn` stops the file's writes two writes into one more
// overwrite step, as a power loss would: the image holds that transaction's
// journal, which the next open rolls back. Page checksums and identifiers are
// random: two calls give images of the same shape, not the same bytes.
StorageImage recordedImage(std::uint32_t pages, bool overwrite, bool torn = false);

// How an image is opened.
enum class OpenMode {
    // Read-only, no correction: what `check --quick` and a reader do.
    ReadOnly,
    // Writable with correction and recovery, closed with a flush afterwards:
    // what the application does. The file it leaves is then walked again
    // read-only.
    Recover,
};

// Opens the image (`size` bytes, also the file size) and walks every track,
// reading each item, each frame's payload, the log, the info entries and the
// recording table. Damage may refuse the open or raise VarnelException; every
// other exception, a crash or a sanitizer report is a fault. The bytes are
// copied: the caller's stay as they were. Answers whether the storage opened.
bool openAndReadAll(const std::uint8_t* data, std::size_t size, OpenMode mode);

} // namespace ostrel::fuzz
