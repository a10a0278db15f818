#include "storage/FixedSizeFileStorage.h"
#include "storage/support/RecordedImage.h"
#include "storage/support/SharedStorageFile.h"
#include "storage/util/IntegrityChecker.h"
#include "storage/util/RecordingTableVerifier.h"
#include "storage/util/StorageRepairer.h"
#include "storage/VarnelException.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using test::MemoryFile;
using test::RecordedImage;

constexpr std::uint32_t PageSize = RecordedImage::PageSize;

// The sanitizer build runs every test some thirty times slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool Sanitized = true;
#else
constexpr bool Sanitized = false;
#endif

std::uint32_t word(const std::vector<std::uint8_t>& bytes, std::uint64_t at) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
}

// Offsets of the items (frames: their headers) of a page of the image.
std::vector<std::uint32_t> itemOffsets(const std::vector<std::uint8_t>& bytes, std::uint32_t page, bool media) {
    const std::uint64_t base = RecordedImage::get().pageOffset(page);
    const std::uint32_t count = word(bytes, base + 20);
    std::uint32_t offset = word(bytes, base + 24);
    const std::uint32_t itemSize = word(bytes, base + 16);
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t i = 0; i < count && offset + 64 <= PageSize; ++i) {
        offsets.push_back(offset);
        offset += media ? 64 + word(bytes, base + offset + 12) + word(bytes, base + offset + 52) : itemSize;
    }
    return offsets;
}

struct Damage {
    std::string name;
    std::function<void(std::vector<std::uint8_t>&, std::uint32_t page, bool media)> apply;
};

std::vector<Damage> damages() {
    std::vector<Damage> list;
    const std::pair<const char*, std::uint32_t> fields[] = {
        {"type", 0},           {"previous", 8},         {"next", 12},          {"item size", 16},
        {"item count", 20},    {"first offset", 24},    {"last offset", 28},   {"first ID", 32},
        {"last ID", 40},       {"channel mask", 48},    {"checksum", 60},      {"previous checksum", 64},
        {"next checksum", 68}, {"super checksum", 76}};
    for (const auto& [name, field] : fields) {
        const std::uint32_t at = field;
        list.push_back({std::string("bit flip in ") + name, [at](std::vector<std::uint8_t>& bytes, std::uint32_t page, bool) {
                            const std::uint64_t base = RecordedImage::get().pageOffset(page) + at;
                            std::uint8_t bit = 1;
                            if (at == 48) {
                                // Take a channel away: a mask with one more channel than its
                                // items is what a trimmed first page legitimately keeps.
                                const std::uint32_t mask = word(bytes, base);
                                bit = static_cast<std::uint8_t>(mask == 0 ? 1 : (mask & ~(mask - 1)));
                            }
                            bytes[base] ^= bit;
                        }});
    }
    list.push_back({"zeroed header sector", [](std::vector<std::uint8_t>& bytes, std::uint32_t page, bool) {
                        std::memset(bytes.data() + RecordedImage::get().pageOffset(page), 0, 512);
                    }});
    list.push_back({"zeroed sector of the last item", [](std::vector<std::uint8_t>& bytes, std::uint32_t page, bool media) {
                        const std::vector<std::uint32_t> items = itemOffsets(bytes, page, media);
                        const std::uint32_t at = items.empty() ? 0 : items.back() / 512 * 512;
                        std::memset(bytes.data() + RecordedImage::get().pageOffset(page) + at, 0, 512);
                    }});
    list.push_back({"garbage in an item", [](std::vector<std::uint8_t>& bytes, std::uint32_t page, bool media) {
                        const std::vector<std::uint32_t> items = itemOffsets(bytes, page, media);
                        const std::uint32_t at = items.empty() ? 128 : items[items.size() / 2];
                        std::mt19937 random(page);
                        for (std::uint32_t i = 0; i < 64; ++i) {
                            bytes[RecordedImage::get().pageOffset(page) + at + i] = static_cast<std::uint8_t>(random());
                        }
                    }});
    list.push_back({"zeroed page", [](std::vector<std::uint8_t>& bytes, std::uint32_t page, bool) {
                        std::memset(bytes.data() + RecordedImage::get().pageOffset(page), 0, PageSize);
                    }});
    return list;
}

struct Target {
    std::string track;
    std::uint32_t page;
};

std::vector<Target> targets() {
    std::vector<Target> list;
    for (const char* track : {"MDEA", "TIML", "EVNT", "TEXT", "RTBL"}) {
        const auto chain = RecordedImage::get().chains.find(track);
        if (chain == RecordedImage::get().chains.end() || chain->second.empty()) {
            ADD_FAILURE() << "the recorded image has no " << track << " track";
            continue;
        }
        const std::vector<std::uint32_t>& pages = chain->second;
        std::vector<std::uint32_t> picked{pages.front(), pages[pages.size() / 2], pages.back()};
        picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
        for (std::uint32_t page : picked) {
            list.push_back({track, page});
        }
    }
    return list;
}

std::uint64_t imageSize() { return 8192 + std::uint64_t{RecordedImage::Pages} * PageSize; }

TEST(StorageRepairerTest, TheRecordedImageHasSeveralPagesPerBigTrackAndPassesTheCheck) {
    const RecordedImage& image = RecordedImage::get();
    EXPECT_GE(image.chains.at("MDEA").size(), 20u);
    EXPECT_GE(image.chains.at("TIML").size(), 3u);
    MemoryFile memory(imageSize());
    memory.file.bytes() = image.bytes;
    IntegrityChecker checker(memory.file);
    EXPECT_TRUE(checker.run()) << (checker.findings().empty() ? "" : checker.findings().front().toString());
    StorageRepairer repairer(memory.file);
    EXPECT_TRUE(repairer.run());
    EXPECT_FALSE(repairer.hadFindings());
    EXPECT_EQ(memory.file.bytes(), image.bytes);
}

// Each kind of damage at the start, middle and end of each track: the check
// finds it; after the repair the check passes, the recording table
// describes the timeline, and every frame whose bytes lie on undamaged pages
// reads back unchanged through the timeline.
TEST(StorageRepairerTest, EveryKindOfDamageIsFoundAndRepairedWithoutLosingUndamagedFrames) {
    const RecordedImage& image = RecordedImage::get();
    std::map<std::uint64_t, test::StoredFrame> original;
    {
        MemoryFile memory(imageSize());
        memory.file.bytes() = image.bytes;
        auto storage = memory.storage(FixedSizeFileStorage::Access::ReadOnly);
        ASSERT_TRUE(storage->open("image", false, Storage::CheckOnly));
        original = test::framesThroughTimeline(*storage);
        storage->close(false);
    }
    ASSERT_GT(original.size(), 300u);
    const std::vector<Damage> kinds = damages();
    for (const Target& target : targets()) {
        for (std::size_t k = 0; k < kinds.size(); ++k) {
            const Damage& damage = kinds[k];
            if (Sanitized && (k + target.page) % 3 != 0) {
                continue;  // A third of the table, turn by turn, where every access is checked.
            }
            const std::string what = damage.name + " on " + target.track + " page " + std::to_string(target.page);
            SCOPED_TRACE(what);
            MemoryFile memory(imageSize());
            memory.file.bytes() = image.bytes;
            damage.apply(memory.file.bytes(), target.page, target.track == "MDEA");
            if (memory.file.bytes() == image.bytes) {
                continue;  // Nothing changed (the field already held what the damage writes).
            }
            IntegrityChecker checker(memory.file);
            EXPECT_FALSE(checker.run());
            StorageRepairer repairer(memory.file);
            ASSERT_TRUE(repairer.run()) << repairer.problem();
            IntegrityChecker after(memory.file);
            EXPECT_TRUE(after.run()) << (after.findings().empty() ? "" : after.findings().front().toString());
            for (std::uint32_t page : repairer.quarantined()) {
                EXPECT_EQ(page, target.page) << "an undamaged page was taken out";
            }
            auto storage = memory.storage(FixedSizeFileStorage::Access::ReadOnly);
            ASSERT_TRUE(storage->open("image", false, Storage::CheckOnly));
            RecordingTableVerifier verifier(*storage);
            EXPECT_TRUE(verifier.verify(RecordingTableVerifier::Depth::Full)) << verifier.problem();
            const auto repaired = test::framesThroughTimeline(*storage);
            storage->close(false);
            std::size_t lost = 0;
            for (const auto& [id, frame] : original) {
                // A frame whose timeline element was on the damaged page is
                // indexed again: only frames whose own bytes were there go.
                const bool onDamage = std::find(frame.pages.begin(), frame.pages.end(), target.page) != frame.pages.end();
                const auto found = repaired.find(id);
                if (found == repaired.end()) {
                    ++lost;
                    EXPECT_TRUE(onDamage) << "frame " << id << " on undamaged pages was lost";
                } else {
                    EXPECT_EQ(found->second.bytes, frame.bytes) << "frame " << id;
                }
            }
            if (lost > 0) {
                EXPECT_FALSE(repairer.lost().empty()) << "frames were lost without saying so";
            }
        }
    }
}

// Damage of many kinds at random places: the check, the repair and the
// storage never crash or hang, a file the repair accepts passes the check,
// and a storage whose damage lies in data pages only always opens (its open
// repairs what its correction cannot mend).
TEST(StorageRepairerTest, RandomDamageIsRepairedOrRefusedNeverLeftHalfMended) {
    const RecordedImage& image = RecordedImage::get();
    const std::vector<Damage> kinds = damages();
    std::set<std::uint32_t> dataPages;
    for (const char* track : {"MDEA", "TIML", "EVNT", "TEXT", "RTBL"}) {
        const auto chain = image.chains.find(track);
        if (chain != image.chains.end()) dataPages.insert(chain->second.begin(), chain->second.end());
    }
    const int seeds = Sanitized ? 30 : 150;
    for (int seed = 0; seed < seeds; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(static_cast<std::uint32_t>(seed));
        MemoryFile memory(imageSize());
        memory.file.bytes() = image.bytes;
        const int hits = 1 + static_cast<int>(random() % 3);
        bool dataOnly = true;
        for (int i = 0; i < hits; ++i) {
            const std::uint32_t page = 1 + random() % RecordedImage::Pages;
            dataOnly = dataOnly && dataPages.count(page) != 0;
            if (random() % 4 == 0) {
                // Random bytes anywhere in the page.
                const std::uint32_t at = random() % (PageSize - 16);
                for (int b = 0; b < 16; ++b) {
                    memory.file.bytes()[image.pageOffset(page) + at + b] = static_cast<std::uint8_t>(random());
                }
            } else {
                kinds[random() % kinds.size()].apply(memory.file.bytes(), page, false);
            }
        }
        {
            // The storage's own open on a copy.
            MemoryFile copy(imageSize());
            copy.file.bytes() = memory.file.bytes();
            auto storage = copy.storage();
            bool opened = false;
            try {
                opened = storage->open("image", true, Storage::CorrectionAndRecovery);
            } catch (const VarnelException& e) {
                EXPECT_FALSE(dataOnly) << e.toString();
            }
            if (dataOnly) {
                EXPECT_TRUE(opened);
            }
            if (opened) {
                try {
                    // A reader refuses a damaged page it meets as corrupted.
                    test::framesThroughTimeline(*storage);
                } catch (const VarnelException& e) {
                    EXPECT_EQ(e.code(), VarnelException::StorageCorrupted);
                }
                storage->close(true);
            }
        }
        IntegrityChecker checker(memory.file);
        checker.run();
        StorageRepairer repairer(memory.file);
        if (repairer.run()) {
            IntegrityChecker after(memory.file);
            EXPECT_TRUE(after.run()) << (after.findings().empty() ? "" : after.findings().front().toString());
            auto storage = memory.storage();
            EXPECT_TRUE(storage->open("image", true, Storage::CorrectionAndRecovery));
            storage->close(true);
        }
    }
}

} // namespace
} // namespace ostrel
