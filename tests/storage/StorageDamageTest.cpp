#include "storage/FixedSizeFileStorage.h"
#include "storage/LogMessage.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrackIterator.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/pager/SuperBlock.h"
#include "storage/support/Frames.h"
#include "storage/support/SharedStorageFile.h"
#include "storage/util/IntegrityChecker.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using test::Frames;
using test::MemoryFile;
using test::at;

constexpr std::uint32_t PageSize = 8192;
constexpr std::uint32_t Pages = 60;

// A recorded storage image and where its tracks lie.
struct Image {
    std::vector<std::uint8_t> bytes;
    std::map<std::string, TrackListItem> tracks;

    std::uint64_t pageOffset(std::uint32_t page) const { return 4096 + std::uint64_t{page - 1} * PageSize; }
    void putBigEndian(std::uint64_t offset, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            bytes[offset + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
        }
    }
    // Page header fields are in the page byte order (the host's).
    void putPageWord(std::uint32_t page, std::uint32_t field, std::uint32_t value) {
        std::memcpy(bytes.data() + pageOffset(page) + field, &value, 4);
    }
    std::uint32_t pageWord(std::uint32_t page, std::uint32_t field) const {
        std::uint32_t value;
        std::memcpy(&value, bytes.data() + pageOffset(page) + field, 4);
        return value;
    }
};

const Image& recorded() {
    static const Image image = [] {
        MemoryFile memory(8192 + std::uint64_t{Pages} * PageSize);
        Frames frames;
        auto storage = memory.storage();
        storage->open("s", true, 2);
        StorageFormatOptions options;
        options.pageSize = PageSize;
        options.recorderType = RecorderType::Flac;
        storage->format(options);
        for (int i = 0; i < 300; ++i) {
            MediaElement frame = frames.video(0, 1 + i / 30, static_cast<std::uint16_t>(i % 30), at(i / 10), 100);
            storage->writeTimeline(frame, storage->writeMedia(frame));
        }
        storage->writeInfo("LastVideoMediaID", "300", true);
        Image result;
        for (const TrackListItem& item : storage->tracks()) {
            result.tracks[item.type().toString()] = item;
        }
        EXPECT_TRUE(storage->close(true));
        result.bytes = memory.file.bytes();
        return result;
    }();
    return image;
}

// Opens the damaged image: answers "false", "corrupted" or "open", never
// crashes; an open storage is then read through every track.
std::string openDamaged(const std::vector<std::uint8_t>& bytes, std::uint64_t size) {
    MemoryFile memory(size);
    if (size > 0) {
        std::memcpy(memory.file.bytes().data(), bytes.data(), std::min<std::uint64_t>(size, bytes.size()));
    }
    auto storage = memory.storage();
    try {
        if (!storage->open("damaged", true, 2)) {
            return "false";
        }
        for (const PageType& type : {PageType::Timeline, PageType::RecordingTable, PageType::Event}) {
            TrackIterator it(*storage, type);
            for (bool more = it.first(); more; more = it.next()) {
            }
        }
        MediaTrackIterator media(*storage, PageType::Media);
        for (bool more = media.first(); more; more = media.next()) {
            media.readPayload();
        }
        bool repaired = false;
        for (const LogMessage& message : storage->readLog()) {
            repaired = repaired || message.text == "[REPAIR] done";
        }
        storage->close(true);
        if (repaired) {
            // What the repair left passes the full check.
            IntegrityChecker checker(memory.file);
            return checker.run() ? "repaired" : "repaired but " + checker.findings().front().toString();
        }
        return "open";
    } catch (const VarnelException& e) {
        return e.code() == VarnelException::StorageCorrupted ? "corrupted" : "varnel " + std::to_string(e.code());
    }
}

TEST(StorageDamageTest, UndamagedImageOpens) {
    EXPECT_EQ(openDamaged(recorded().bytes, recorded().bytes.size()), "open");
}

struct Damage {
    const char* name;
    std::function<void(Image&)> apply;
    std::vector<std::string> accepted;
};

TEST(StorageDamageTest, DamagedFilesOpenFalseOrRaiseStorageCorrupted) {
    const std::vector<Damage> cases = {
        {"zero-filled", [](Image& i) { std::fill(i.bytes.begin(), i.bytes.end(), 0); }, {"false"}},
        {"foreign bytes", [](Image& i) { for (std::size_t k = 0; k < i.bytes.size(); ++k) i.bytes[k] = static_cast<std::uint8_t>(k * 7 + 3); }, {"false"}},
        {"wrong magic", [](Image& i) { i.bytes[0] = 'X'; }, {"false"}},
        {"version 5", [](Image& i) { i.putBigEndian(16, 5); }, {"false"}},
        {"page size 6144", [](Image& i) { i.putBigEndian(52, 6144); }, {"false"}},
        {"page size 0", [](Image& i) { i.putBigEndian(52, 0); }, {"false"}},
        {"page count past the file", [](Image& i) { i.putBigEndian(56, Pages * 4); }, {"false"}},
        {"track count past the list", [](Image& i) { i.putBigEndian(520, 5000); }, {"false"}},
        // Damage at the end of a track is mended by the correction at open (the
        // last consistent page takes its place); damage the correction cannot
        // mend (a broken link inside a chain, a journal or free-list page that
        // is not what the track list says) is repaired: the damaged page
        // leaves its track and the storage opens, whole by the full check.
        {"timeline last page of another type",
         [](Image& i) { i.putPageWord(i.tracks["TIML"].lastPage(), 0, 0x4E554C4C); }, {"open"}},
        {"media last page with a wrong checksum",
         [](Image& i) { i.putPageWord(i.tracks["MDEA"].lastPage(), 60, 12345); }, {"open"}},
        {"media item count past the page end",
         [](Image& i) { i.putPageWord(i.tracks["MDEA"].lastPage(), 20, 0x7FFFFFFF); }, {"open"}},
        {"timeline last item offset past the page",
         [](Image& i) { i.putPageWord(i.tracks["TIML"].lastPage(), 28, PageSize + 64); }, {"open"}},
        {"broken link between timeline pages",
         [](Image& i) { i.putPageWord(i.tracks["TIML"].firstPage(), 68, 777); }, {"repaired"}},
        {"broken link between media pages",
         [](Image& i) {
             const std::uint32_t first = i.tracks["MDEA"].firstPage();
             i.putPageWord(i.pageWord(first, 12), 60, 4242);
         },
         {"repaired"}},
        {"journal page of another type", [](Image& i) { i.putPageWord(2, 0, 0x4E554C4C); }, {"repaired"}},
        {"free-list page with a wrong checksum", [](Image& i) { i.putPageWord(1, 60, 99); }, {"repaired"}},
        {"a frame larger than two pages",
         [](Image& i) {
             const std::uint32_t page = i.tracks["MDEA"].firstPage();
             const std::uint32_t offset = i.pageWord(page, 24);
             i.putPageWord(page, offset + 12, 0x40000000);
         },
         {"corrupted"}},
    };
    for (const Damage& damage : cases) {
        Image image = recorded();
        damage.apply(image);
        const std::string result = openDamaged(image.bytes, image.bytes.size());
        EXPECT_NE(std::find(damage.accepted.begin(), damage.accepted.end(), result), damage.accepted.end())
            << damage.name << ": " << result;
    }
}

TEST(StorageDamageTest, TruncatedFilesAreRefused) {
    const Image& image = recorded();
    for (const std::uint64_t size : {std::uint64_t{0}, std::uint64_t{100}, std::uint64_t{4096},
                                     image.bytes.size() / 2, image.bytes.size() - PageSize}) {
        const std::string result = openDamaged(image.bytes, size);
        EXPECT_TRUE(result == "false" || result == "corrupted") << size << ": " << result;
    }
}

TEST(StorageDamageTest, DamagedGeometryCanBeFormattedAgain) {
    Image image = recorded();
    image.putBigEndian(56, Pages * 4);
    MemoryFile memory(image.bytes.size());
    memory.file.bytes() = image.bytes;
    auto storage = memory.storage();
    EXPECT_FALSE(storage->open("s", true, 2));
    StorageFormatOptions options;
    options.pageSize = PageSize;
    storage->format(options);
    EXPECT_EQ(storage->pageCount(), Pages);
}

} // namespace
} // namespace ostrel
