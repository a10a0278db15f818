#include "base/Exception.h"
#include "storage/BadTrack.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/IStorageGroupListener.h"
#include "storage/IStorageListener.h"
#include "storage/StorageGroup.h"
#include "storage/MediaElement.h"
#include "storage/Recorder.h"
#include "storage/support/RecordedImage.h"
#include "storage/support/StorageFixture.h"
#include "storage/util/IntegrityChecker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace ostrel {
namespace {

using test::at;
using test::StorageFixture;

constexpr std::uint32_t Pages = 48;
constexpr std::uint32_t PageSize = 8192;

std::uint64_t pageOffset(std::uint32_t page) { return 4096 + std::uint64_t{page - 1} * PageSize; }

void record(StorageFixture& f, Recorder& recorder, int from, int count) {
    for (int i = from; i < from + count; ++i) {
        MediaElement frame = f.frames.video(0, static_cast<std::uint32_t>(i / 10 + 1), static_cast<std::uint16_t>(i % 10),
                                            at(i / 10), 150 + static_cast<std::uint32_t>((i * 331) % 300),
                                            static_cast<std::uint32_t>(i));
        recorder.writeFrame(frame);
    }
}

std::string findings(const IntegrityChecker& checker) {
    std::string text;
    for (const IntegrityFinding& finding : checker.findings()) text += finding.toString() + "\n";
    return text;
}

// Hears what a storage tells about the damage it takes out of use.
struct DamageListener final : IStorageListener {
    void usageChanged(Storage&, std::uint64_t, std::uint64_t) override {}
    void formattingBegins(Storage&) override {}
    void formattingEnded(Storage&) override {}
    void sectionChanged(Storage&, std::uint32_t) override {}
    void damageFound(Storage&, const std::string& report) override { reports.push_back(report); }
    std::vector<std::string> reports;
};

// Hears what a group tells about damage its members took out of use.
struct GroupDamageListener final : IStorageGroupListener {
    void recordingStorageChanging(StorageGroup&) override {}
    void recordingStorageChanged(StorageGroup&) override {}
    void storageDamaged(StorageGroup&, Storage&, const std::string& report) override { reports.push_back(report); }
    std::vector<std::string> reports;
};

struct Case {
    const char* name;
    const char* track;
    // Whether the page itself goes onto the bad-page track (else only the
    // link kept in the page before it was damaged, and that page is freed).
    bool quarantined;
    // Applied to the page in the middle of the track.
    void (*damage)(std::vector<std::uint8_t>& bytes, std::uint32_t page);
};

// A storage that overwrites its oldest data meets a damaged page in the
// middle of a track: the overwrite takes the page out of use, logs it and
// goes on recording through the damaged region and around the ring again;
// the file then passes the full check and reopens.
TEST(DamagedOverwriteTest, RecordingGoesOnThroughADamagedPage) {
    const Case cases[] = {
        {"flipped next checksum of a media page", "MDEA", false,
         [](std::vector<std::uint8_t>& bytes, std::uint32_t page) { bytes[pageOffset(page) + 68] ^= 0x04; }},
        {"zeroed header of a media page", "MDEA", true,
         [](std::vector<std::uint8_t>& bytes, std::uint32_t page) { std::memset(bytes.data() + pageOffset(page), 0, 512); }},
        {"zeroed timeline page", "TIML", true,
         [](std::vector<std::uint8_t>& bytes, std::uint32_t page) {
             std::memset(bytes.data() + pageOffset(page), 0, PageSize);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StorageFixture f(Pages, PageSize);
        Recorder recorder;
        recorder.open(*f.storage);
        // Enough to wrap around the ring once, so the tracks start mid-file.
        record(f, recorder, 0, 1600);
        recorder.close();
        const auto chains = test::trackChains(*f.storage);
        const std::vector<std::uint32_t>& chain = chains.at(c.track);
        ASSERT_GE(chain.size(), 3u);
        const std::uint32_t damaged = chain[chain.size() / 2];
        f.storage->close(true);
        c.damage(f.memory.file.bytes(), damaged);
        f.storage = f.memory.storage();
        ASSERT_TRUE(f.storage->open("fixture.strg", true, 2));
        if (!f.storage->repairReport().empty()) {
            // A group the repaired storage joins tells its listeners.
            StorageGroup group;
            GroupDamageListener heard;
            group.addGroupListener(&heard);
            group.addStorage(*f.storage);
            ASSERT_EQ(heard.reports.size(), 1u);
            EXPECT_EQ(heard.reports[0].rfind("repaired at its open; ", 0), 0u) << heard.reports[0];
            EXPECT_NE(heard.reports[0].find(std::to_string(damaged)), std::string::npos) << heard.reports[0];
            f.storage->removeListener(&group);
        }
        DamageListener listener;
        f.storage->addListener(&listener);
        recorder.open(*f.storage);
        try {
            record(f, recorder, 1600, 3000);
        } catch (const Exception& e) {
            std::string log;
            for (const std::string& line : f.logTexts()) log += line + "\n";
            FAIL() << e.toString() << "\n" << log;
        }
        recorder.close();
        f.storage->removeListener(&listener);
        if (c.quarantined) {
            const std::vector<std::uint32_t> bad = f.storage->badTrack().pages();
            EXPECT_NE(std::find(bad.begin(), bad.end(), damaged), bad.end()) << c.name;
            // Whoever listens hears of it: from the open's repair or from the overwrite.
            const std::string page = "page " + std::to_string(damaged) + " ";
            bool told = false;
            for (const std::string& line : f.storage->repairReport()) told = told || line.find(std::to_string(damaged)) != std::string::npos;
            for (const std::string& report : listener.reports) told = told || report.find(page) != std::string::npos;
            EXPECT_TRUE(told) << "repair report: " << f.storage->repairReport().size() << " lines, "
                              << listener.reports.size() << " damage reports";
        } else {
            EXPECT_TRUE(f.logged("[QUARANTINE] ")) << c.name;
        }
        ASSERT_TRUE(f.storage->close(true));
        IntegrityChecker checker(f.memory.file);
        EXPECT_TRUE(checker.run()) << findings(checker);
        f.storage = f.memory.storage();
        EXPECT_TRUE(f.storage->open("fixture.strg", true, 2));
    }
}

} // namespace
} // namespace ostrel
