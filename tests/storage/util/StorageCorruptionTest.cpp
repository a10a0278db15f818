// Seeded random damage of small valid storage files: every damaged file,
// opened in every mode, opens consistent or is refused ("Storage corrupted"
// or false); it never crashes, hangs or writes outside the file.

#include "storage/FixedSizeFileStorage.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrackIterator.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/support/Frames.h"
#include "storage/support/RecordingStorageFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using test::Frames;
using test::RecordingStorageFile;
using test::at;

constexpr std::uint32_t PageSize = 8192;
constexpr std::uint32_t Pages = 24;
constexpr std::uint64_t FileSize = 8192 + std::uint64_t{Pages} * PageSize;

// A file handle that refuses (and counts) writes outside the file.
class BoundedFile final : public IStorageFile {
public:
    BoundedFile(RecordingStorageFile& file, bool writable, std::size_t& outside)
        : _file(file), _writable(writable), _outside(outside) {}
    std::size_t readAt(void* buffer, std::uint64_t offset, std::size_t length) override {
        return _file.readAt(buffer, offset, length);
    }
    std::size_t writeAt(const void* buffer, std::uint64_t offset, std::size_t length) override {
        if (!_writable) {
            throw SystemException(EBADF, "write on a read-only handle");
        }
        if (offset + length > _file.size()) {
            ++_outside;
            throw SystemException(EINVAL, "write outside the file");
        }
        return _file.writeAt(buffer, offset, length);
    }
    void flush() override {}
    std::uint64_t size() const override { return _file.size(); }
    std::uint32_t sectorSize() const override { return _file.sectorSize(); }
    bool isWritable() const override { return _writable; }
    const std::string& path() const override { return _file.path(); }
    int handle() const override { return -1; }

private:
    RecordingStorageFile& _file;
    bool _writable;
    std::size_t& _outside;
};

std::vector<std::uint8_t> validImage(int frames) {
    RecordingStorageFile file(FileSize);
    std::size_t outside = 0;
    auto storage = std::make_unique<FixedSizeFileStorage>(
        [&](const std::string&, bool writable) -> std::unique_ptr<IStorageFile> {
            return std::make_unique<BoundedFile>(file, writable, outside);
        });
    storage->open("v.strg", true, 2);
    StorageFormatOptions options;
    options.pageSize = PageSize;
    options.recorderType = RecorderType::Flac;
    storage->format(options);
    Frames source;
    for (int i = 0; i < frames; ++i) {
        MediaElement frame = source.video(i % 2, static_cast<std::uint32_t>(i / 4 + 1), static_cast<std::uint16_t>(i % 4),
                                          at(i), 600 + (i * 811) % 3000, static_cast<std::uint32_t>(i));
        storage->writeTimeline(frame, storage->writeMedia(frame));
    }
    storage->close(true);
    return file.bytes();
}

void mutate(std::vector<std::uint8_t>& image, std::mt19937& random, std::uint64_t& size) {
    const int kind = static_cast<int>(random() % 5);
    auto page = [&] { return 4096 + std::uint64_t{random() % Pages} * PageSize; };
    switch (kind) {
    case 0: // bit flips, many of them in page headers and the superblock
        for (int i = 0, n = 1 + static_cast<int>(random() % 8); i < n; ++i) {
            const std::uint64_t at = random() % 2 ? page() + random() % 128 : random() % image.size();
            image[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
        }
        break;
    case 1: { // a zeroed sector
        const std::uint64_t at = (random() % (image.size() / 512)) * 512;
        std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(at), 512, 0);
        break;
    }
    case 2: { // two pages swapped
        const std::uint64_t a = page();
        const std::uint64_t b = page();
        for (std::uint32_t i = 0; i < PageSize && a != b; ++i) std::swap(image[a + i], image[b + i]);
        break;
    }
    case 3: // truncation
        size = std::max<std::uint64_t>(512, (random() % image.size()) / 512 * 512);
        break;
    default: { // a header word replaced by a random value
        const std::uint64_t at = page() + (random() % 32) * 4;
        const std::uint32_t value = static_cast<std::uint32_t>(random());
        std::memcpy(image.data() + at, &value, 4);
        break;
    }
    }
}

// Opens the damaged file; answers "open", "false" or "corrupted", and reads
// every track of an open storage.
std::string openDamaged(const std::vector<std::uint8_t>& image, std::uint64_t size, int mode, bool readOnly,
                        std::size_t& outside) {
    RecordingStorageFile file(size);
    std::memcpy(file.bytes().data(), image.data(), std::min<std::uint64_t>(size, image.size()));
    auto storage = std::make_unique<FixedSizeFileStorage>(
        [&](const std::string&, bool writable) -> std::unique_ptr<IStorageFile> {
            return std::make_unique<BoundedFile>(file, writable && !readOnly, outside);
        },
        readOnly ? FixedSizeFileStorage::Access::ReadOnly : FixedSizeFileStorage::Access::ReadWrite);
    try {
        if (!storage->open("d.strg", !readOnly, mode)) {
            return "false";
        }
    } catch (const VarnelException& e) {
        if (e.code() == VarnelException::StorageCorrupted) {
            return "corrupted";
        }
        return "varnel " + e.toString();
    } catch (const Exception& e) {
        return "exception " + e.toString();
    }
    // Only the ends of the tracks are checked at open: damage inside a track
    // is refused by the readers when they reach it.
    try {
        TrackIterator timeline(*storage, PageType::Timeline);
        MediaTrackIterator media(*storage, PageType::Media);
        for (bool more = timeline.first(); more; more = timeline.next()) {
            TimelineElement element;
            timeline.read(element);
        }
        for (bool more = media.first(); more; more = media.next()) {
            media.readPayload();
        }
        storage->close(!readOnly);
        return "open";
    } catch (const VarnelException& e) {
        return "open";
    } catch (const SystemException& e) {
        return "system " + e.toString();
    } catch (const AssertionFailException& e) {
        return "assertion " + e.toString();
    } catch (const Exception& e) {
        return "exception " + e.toString();
    }
}

TEST(StorageCorruptionTest, DamagedFilesOpenConsistentOrAreRefused) {
    const std::vector<std::vector<std::uint8_t>> images = {validImage(12), validImage(60)};
    int rounds = 1500;
    if (const char* env = std::getenv("OSTREL_CORRUPTION_ROUNDS")) {
        rounds = std::atoi(env);
    }
    std::mt19937 random(42);
    std::map<std::string, int> outcomes;
    std::size_t outside = 0;
    for (int round = 0; round < rounds; ++round) {
        std::vector<std::uint8_t> image = images[round % images.size()];
        std::uint64_t size = image.size();
        for (int k = 0, n = 1 + static_cast<int>(random() % 3); k < n; ++k) {
            mutate(image, random, size);
        }
        for (int mode : {0, 1, 2}) {
            for (bool readOnly : {false, true}) {
                const std::string outcome = openDamaged(image, size, mode, readOnly, outside);
                ++outcomes[outcome.substr(0, 60)];
                EXPECT_TRUE(outcome == "open" || outcome == "false" || outcome == "corrupted")
                    << "round " << round << " mode " << mode << (readOnly ? " read-only: " : ": ") << outcome;
            }
        }
    }
    EXPECT_EQ(outside, 0u);
    for (const auto& [outcome, count] : outcomes) {
        std::printf("%6d %s\n", count, outcome.c_str());
    }
}

} // namespace
} // namespace ostrel
