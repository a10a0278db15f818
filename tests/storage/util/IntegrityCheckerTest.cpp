#include "storage/support/RecordedImage.h"
#include "storage/support/SharedStorageFile.h"
#include "storage/util/IntegrityChecker.h"
#include "storage/util/StorageRepairer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace ostrel {
namespace {

using test::MemoryFile;
using test::RecordedImage;

std::uint64_t imageSize() { return 8192 + std::uint64_t{RecordedImage::Pages} * RecordedImage::PageSize; }

struct Damaged {
    Damaged() : memory(imageSize()) { memory.file.bytes() = RecordedImage::get().bytes; }
    void put(std::uint32_t page, std::uint32_t field, std::uint32_t value) {
        std::memcpy(memory.file.bytes().data() + RecordedImage::get().pageOffset(page) + field, &value, 4);
    }
    std::uint32_t get(std::uint32_t page, std::uint32_t field) {
        std::uint32_t value;
        std::memcpy(&value, memory.file.bytes().data() + RecordedImage::get().pageOffset(page) + field, 4);
        return value;
    }
    MemoryFile memory;
};

std::string all(const IntegrityChecker& checker) {
    std::string text;
    for (const IntegrityFinding& finding : checker.findings()) {
        text += finding.toString() + "\n";
    }
    return text;
}

// The damage a user met: one flipped bit in a link checksum in the middle of
// the media track, which the open-time check never looks at.
TEST(IntegrityCheckerTest, AFlippedLinkChecksumInTheMiddleNamesItsPageAndField) {
    const auto& media = RecordedImage::get().chains.at("MDEA");
    const std::uint32_t page = media[media.size() / 2];
    Damaged file;
    file.put(page, 68, file.get(page, 68) ^ 0x10);
    IntegrityChecker checker(file.memory.file);
    EXPECT_FALSE(checker.run());
    ASSERT_EQ(checker.findingCount(), 1u) << all(checker);
    const IntegrityFinding& finding = checker.findings().front();
    EXPECT_EQ(finding.page, page);
    EXPECT_EQ(finding.offset, 68u);
    EXPECT_EQ(finding.track, "MDEA");
    EXPECT_TRUE(finding.damagesPage);
    EXPECT_EQ(checker.damagedPages(), std::set<std::uint32_t>{page});
    EXPECT_EQ(finding.toString().rfind("page " + std::to_string(page) + " offset 68: MDEA: ", 0), 0u);
}

TEST(IntegrityCheckerTest, DamageInsideFramesAndElementsIsFound) {
    const auto& chains = RecordedImage::get().chains;
    {
        // A frame's size: the frames after it no longer start where the header says.
        const std::uint32_t page = chains.at("MDEA")[3];
        Damaged file;
        const std::uint32_t first = file.get(page, 24);
        file.put(page, first + 12, file.get(page, first + 12) + 8);
        IntegrityChecker checker(file.memory.file);
        EXPECT_FALSE(checker.run());
        EXPECT_EQ(checker.damagedPages(), std::set<std::uint32_t>{page}) << all(checker);
    }
    {
        // A timeline element's position: it names no frame any more.
        const std::uint32_t page = chains.at("TIML")[1];
        Damaged file;
        const std::uint32_t element = file.get(page, 24) + 64 * 5;
        file.put(page, element + 36, file.get(page, element + 36) + 64);
        IntegrityChecker checker(file.memory.file);
        EXPECT_FALSE(checker.run());
        EXPECT_TRUE(checker.hasDanglingReferences()) << all(checker);
        ASSERT_FALSE(checker.findings().empty());
        EXPECT_EQ(checker.findings().front().page, page);
        EXPECT_EQ(checker.findings().front().offset, element);
    }
}

TEST(IntegrityCheckerTest, PagesNeitherFreeNorUsedAreFoundAndGivenBack) {
    const std::uint32_t freeList = RecordedImage::get().chains.at("FREE").front();
    Damaged file;
    // The free list forgets its intervals.
    file.put(freeList, 20, 0);
    file.put(freeList, 28, file.get(freeList, 24));
    IntegrityChecker checker(file.memory.file);
    EXPECT_FALSE(checker.run());
    EXPECT_FALSE(checker.leakedPages().empty());
    EXPECT_TRUE(checker.damagedPages().empty()) << all(checker);
    EXPECT_NE(all(checker).find("neither free nor part of a track (leaked)"), std::string::npos) << all(checker);
    StorageRepairer repairer(file.memory.file);
    ASSERT_TRUE(repairer.run()) << repairer.problem();
    EXPECT_TRUE(repairer.quarantined().empty());
    IntegrityChecker after(file.memory.file);
    EXPECT_TRUE(after.run()) << all(after);
}

TEST(IntegrityCheckerTest, ProgressRunsUpToTheBytesInUse) {
    Damaged file;
    IntegrityChecker checker(file.memory.file);
    std::uint64_t lastDone = 0;
    std::uint64_t lastTotal = 0;
    int calls = 0;
    EXPECT_TRUE(checker.run([&](std::uint64_t done, std::uint64_t total) {
        EXPECT_GE(done, lastDone);
        EXPECT_LE(done, total);
        lastDone = done;
        lastTotal = total;
        ++calls;
    }));
    EXPECT_GT(calls, 20);
    EXPECT_EQ(checker.bytesRead(), lastDone);
    EXPECT_GE(lastDone, lastTotal - 4096);
}

TEST(IntegrityCheckerTest, AFileWithoutAStorageIsOneFinding) {
    MemoryFile memory(imageSize());
    IntegrityChecker checker(memory.file);
    EXPECT_FALSE(checker.run());
    EXPECT_FALSE(checker.hasSuperBlock());
    ASSERT_EQ(checker.findingCount(), 1u);
    EXPECT_EQ(checker.findings().front().page, 0u);
    StorageRepairer repairer(memory.file);
    EXPECT_FALSE(repairer.run());
    EXPECT_FALSE(repairer.problem().empty());
}

} // namespace
} // namespace ostrel
