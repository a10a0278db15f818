// Fuzzes the page and item parsers of the storage: one page of a small
// recorded storage is replaced by the input, then the storage is opened and
// every track read.
//
// Input: byte 0 picks the page (a track page in link order, or the
// superblock); byte 1 holds flags; the rest is written over the page from its
// start (a short input changes only the page's beginning: its header and
// first items). Flags:
//   1  keep the page's identity (type, checksum, superblock checksum), so the
//      page is still taken as the track's own and its items are parsed;
//   2  keep its links and their checksums, so the walk reaches the pages behind it;
//   4  open read-only without correction (else writable, with recovery);
//   8  the image whose media track was overwritten (else a fresh recording);
//  16  the fresh recording cut short inside an overwrite step, its journal
//      still holding the transaction (when 8 is clear).
#include "fuzz/FuzzStorage.h"
#include "fuzz/FuzzTarget.h"

#include <algorithm>
#include <cstring>

namespace {

using ostrel::fuzz::ImagePageSize;
using ostrel::fuzz::StorageImage;

const StorageImage& image(unsigned flags) {
    static const StorageImage fresh = ostrel::fuzz::recordedImage(24, false);
    static const StorageImage wrapped = ostrel::fuzz::recordedImage(24, true);
    static const StorageImage torn = ostrel::fuzz::recordedImage(24, false, true);
    return (flags & 8) ? wrapped : (flags & 16) ? torn : fresh;
}

void restore(std::uint8_t* page, const std::uint8_t* original, std::size_t offset, std::size_t length) {
    std::memcpy(page + offset, original + offset, length);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return -1;
    }
    const unsigned flags = data[1];
    const StorageImage& base = image(flags);
    std::vector<std::uint8_t> bytes = base.bytes;
    const std::size_t choice = data[0] % (base.pages.size() + 1);
    const bool superBlock = choice == base.pages.size();
    const std::uint64_t offset = superBlock ? 0 : base.pageOffset(base.pages[choice].number);
    std::uint8_t* page = bytes.data() + offset;
    const std::uint8_t* original = base.bytes.data() + offset;
    std::memcpy(page, data + 2, std::min<std::size_t>(size - 2, ImagePageSize));
    if (!superBlock) {
        if (flags & 1) {
            restore(page, original, 0, 4);   // type
            restore(page, original, 60, 4);  // checksum
            restore(page, original, 76, 4);  // superblock checksum
        }
        if (flags & 2) {
            restore(page, original, 8, 8);   // previous, next
            restore(page, original, 64, 8);  // their checksums
        }
    } else if (flags & 1) {
        restore(page, original, 0, 20);      // magic and version
        restore(page, original, 52, 16);     // page size, count, byte order, first page offset
    }
    ostrel::fuzz::openAndReadAll(bytes.data(), bytes.size(),
                                 (flags & 4) ? ostrel::fuzz::OpenMode::ReadOnly : ostrel::fuzz::OpenMode::Recover);
    return 0;
}
