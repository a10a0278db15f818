#include "storage/util/RepairJournal.h"

#include "base/Exception.h"
#include "base/File.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/StorageFormatOptions.h"
#include "storage/VarnelException.h"
#include "storage/aio/DirectStorageFile.h"
#include "storage/support/RecordedImage.h"
#include "storage/support/SharedStorageFile.h"
#include "storage/support/TempDirectory.h"
#include "storage/util/IntegrityChecker.h"
#include "storage/util/StorageRepairer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <optional>
#include <sys/stat.h>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using test::MemoryFile;
using test::RecordedImage;
using test::TempDirectory;

std::uint64_t imageSize() { return 8192 + std::uint64_t{RecordedImage::Pages} * RecordedImage::PageSize; }

// The recorded image with one media page in the middle of its chain zeroed,
// which the repair mends by taking the page out and relinking around it.
std::vector<std::uint8_t> damagedImage() {
    const RecordedImage& image = RecordedImage::get();
    std::vector<std::uint8_t> bytes = image.bytes;
    const std::vector<std::uint32_t>& media = image.chains.at("MDEA");
    const std::uint64_t at = image.pageOffset(media[media.size() / 2]);
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(at),
              bytes.begin() + static_cast<std::ptrdiff_t>(at + RecordedImage::PageSize), 0);
    return bytes;
}

std::vector<char> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeAll(const std::string& path, const std::vector<char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool passesCheck(IStorageFile& file) {
    IntegrityChecker checker(file);
    const bool ok = checker.run();
    if (!ok && !checker.findings().empty()) {
        ADD_FAILURE() << checker.findings().front().toString();
    }
    return ok;
}

// A storage file that stands for a disk losing power: every write after the
// first `survive` ones fails and changes nothing.
class CrashingFile final : public IStorageFile {
public:
    CrashingFile(IStorageFile& file, std::optional<std::size_t> survive) : _file(file), _survive(survive) {}
    std::size_t readAt(void* buffer, std::uint64_t offset, std::size_t length) override {
        return _file.readAt(buffer, offset, length);
    }
    std::size_t writeAt(const void* buffer, std::uint64_t offset, std::size_t length) override {
        crashPoint();
        return _file.writeAt(buffer, offset, length);
    }
    std::size_t writeDeferred(const WritePiece* pieces, std::size_t count, std::uint64_t offset) override {
        crashPoint();
        return _file.writeDeferred(pieces, count, offset);
    }
    void flush() override { _file.flush(); }
    std::uint64_t size() const override { return _file.size(); }
    std::uint32_t sectorSize() const override { return _file.sectorSize(); }
    bool isWritable() const override { return true; }
    const std::string& path() const override { return _file.path(); }
    int handle() const override { return _file.handle(); }
    std::size_t writes() const { return _writes; }

private:
    void crashPoint() {
        if (_survive && _writes >= *_survive) {
            throw SystemException(EIO, "power lost");
        }
        ++_writes;
    }
    IStorageFile& _file;
    std::optional<std::size_t> _survive;
    std::size_t _writes = 0;
};

// Power lost after each of the repair's writes to the storage in turn: the
// side file is complete every time, and finishing from it gives a storage the
// full check passes and a second repair finds nothing to do in.
TEST(RepairJournalTest, APowerLossAtAnyWriteOfTheRepairIsFinishedFromTheSideFile) {
    TempDirectory dir;
    const std::string journal = dir.file("image.repair");
    std::size_t total = 0;
    {
        MemoryFile memory(imageSize());
        memory.file.bytes() = damagedImage();
        CrashingFile file(memory.file, std::nullopt);
        StorageRepairer repairer(file, journal);
        ASSERT_TRUE(repairer.run()) << repairer.problem();
        EXPECT_FALSE(File::exists(journal)) << "the side file outlived a finished repair";
        total = file.writes();
        ASSERT_GE(total, 1u);
        EXPECT_TRUE(passesCheck(memory.file));
    }
    for (std::size_t survive = 0; survive < total; ++survive) {
        SCOPED_TRACE("power lost after write " + std::to_string(survive));
        MemoryFile memory(imageSize());
        memory.file.bytes() = damagedImage();
        {
            CrashingFile file(memory.file, survive);
            StorageRepairer repairer(file, journal);
            EXPECT_FALSE(repairer.run());
            EXPECT_NE(repairer.problem().find("the next open for writing finishes it"), std::string::npos)
                << repairer.problem();
        }
        ASSERT_TRUE(File::exists(journal));
        EXPECT_TRUE(RepairJournal(journal).replay(memory.file));
        EXPECT_FALSE(File::exists(journal));
        EXPECT_TRUE(passesCheck(memory.file));
        StorageRepairer again(memory.file, journal);
        EXPECT_TRUE(again.run()) << again.problem();
        EXPECT_FALSE(again.hadFindings());
    }
}

// Power lost while the side file itself was written (cut short or torn at
// any point): nothing of the repair had reached the storage, so the side
// file is dropped and the storage stays exactly as it was.
TEST(RepairJournalTest, ASideFileCutShortOrTornIsDroppedAndTheStorageLeftAlone) {
    TempDirectory dir;
    const std::string journal = dir.file("image.repair");
    const std::vector<std::uint8_t> damaged = damagedImage();
    {
        MemoryFile memory(imageSize());
        memory.file.bytes() = damaged;
        CrashingFile file(memory.file, 0);
        StorageRepairer repairer(file, journal);
        EXPECT_FALSE(repairer.run());
        EXPECT_EQ(memory.file.bytes(), damaged);
    }
    const std::vector<char> complete = readAll(journal);
    ASSERT_GT(complete.size(), 100u);
    struct Case {
        const char* name;
        std::vector<char> bytes;
    };
    std::vector<Case> cases;
    for (std::size_t cut : {std::size_t{0}, std::size_t{7}, std::size_t{48}, complete.size() / 2, complete.size() - 1}) {
        cases.push_back({"cut short", std::vector<char>(complete.begin(), complete.begin() + static_cast<std::ptrdiff_t>(cut))});
    }
    for (std::size_t at : {std::size_t{20}, complete.size() / 3, complete.size() - 5}) {
        Case torn{"torn", complete};
        torn.bytes[at] = static_cast<char>(torn.bytes[at] ^ 0x40);
        cases.push_back(torn);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(c.bytes.size()));
        writeAll(journal, c.bytes);
        MemoryFile memory(imageSize());
        memory.file.bytes() = damaged;
        EXPECT_FALSE(RepairJournal(journal).replay(memory.file));
        EXPECT_FALSE(File::exists(journal));
        EXPECT_EQ(memory.file.bytes(), damaged);
    }
}

// A side file left beside a storage that was since formatted anew describes
// another storage: it is never applied to the new one.
TEST(RepairJournalTest, ASideFileOfAnotherStorageIsNeverApplied) {
    TempDirectory dir;
    const std::string journal = dir.file("image.repair");
    {
        MemoryFile memory(imageSize());
        memory.file.bytes() = damagedImage();
        CrashingFile file(memory.file, 0);
        StorageRepairer repairer(file, journal);
        EXPECT_FALSE(repairer.run());
    }
    ASSERT_TRUE(File::exists(journal));
    MemoryFile memory(imageSize());
    memory.file.bytes() = damagedImage();
    {
        auto storage = memory.storage();
        storage->open("image", true, Storage::CorrectionAndRecovery);
        StorageFormatOptions options;
        options.pageSize = RecordedImage::PageSize;
        storage->format(options);
        ASSERT_TRUE(storage->close(true));
    }
    const std::vector<std::uint8_t> formatted = memory.file.bytes();
    EXPECT_FALSE(RepairJournal(journal).replay(memory.file));
    EXPECT_FALSE(File::exists(journal));
    EXPECT_EQ(memory.file.bytes(), formatted);
}

// On a disk: the side file sits beside the storage, and the storage's own
// open for writing finishes the repair (and says so in its log).
TEST(RepairJournalTest, TheStoragesOpenForWritingFinishesAnInterruptedRepairOnDisk) {
    TempDirectory dir;
    const std::string path = dir.file("a.strg");
    const std::vector<std::uint8_t> damaged = damagedImage();
    writeAll(path, std::vector<char>(damaged.begin(), damaged.end()));
    {
        DirectStorageFile disk(path, DirectStorageFile::Mode::ReadWrite);
        ASSERT_EQ(RepairJournal::pathFor(disk), path + ".repair");
        CrashingFile file(disk, 1);
        StorageRepairer repairer(file);
        EXPECT_FALSE(repairer.run());
    }
    ASSERT_TRUE(File::exists(path + ".repair"));
    {
        FixedSizeFileStorage storage;
        ASSERT_TRUE(storage.open(path, true, Storage::CorrectionAndRecovery));
        EXPECT_FALSE(File::exists(path + ".repair"));
        bool said = false;
        for (const LogMessage& message : storage.readLog()) {
            said = said || message.text.find("an interrupted repair was finished") != std::string::npos;
        }
        EXPECT_TRUE(said);
        EXPECT_TRUE(storage.close(true));
    }
    {
        DirectStorageFile disk(path, DirectStorageFile::Mode::ReadOnly);
        EXPECT_TRUE(passesCheck(disk));
    }
}

// A side file that cannot be read keeps the storage closed with the reason,
// rather than opening a half repaired file or calling it unformatted.
TEST(RepairJournalTest, AnOpenThatCannotFinishTheRepairFailsWithTheReason) {
    TempDirectory dir;
    const std::string path = dir.file("a.strg");
    const std::vector<std::uint8_t> image = RecordedImage::get().bytes;
    writeAll(path, std::vector<char>(image.begin(), image.end()));
    ASSERT_EQ(::mkdir((path + ".repair").c_str(), 0700), 0);
    FixedSizeFileStorage storage;
    try {
        storage.open(path, true, Storage::CorrectionAndRecovery);
        ADD_FAILURE() << "the open did not fail with its reason";
    } catch (const VarnelException& e) {
        EXPECT_NE(e.messageText().find("an interrupted repair could not be finished from " + path + ".repair"),
                  std::string::npos)
            << e.messageText();
    }
    EXPECT_FALSE(storage.isValid());
}

} // namespace
} // namespace ostrel
