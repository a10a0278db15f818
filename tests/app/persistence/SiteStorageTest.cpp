// A site's storage: judging the files its group file lists, refusing another
// site's group, changing the set of files, and the names and sizes the
// wizard proposes.
#include "app/persistence/SiteStorage.h"
#include "app/persistence/StorageGroupFile.h"
#include "base/File.h"
#include "base/UniqueID.h"
#include "storage/FixedSizeFileStorage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace ostrel;

namespace {

constexpr uint32_t PageSize = 8192;
constexpr uint64_t SmallStorage = 8192 + 64 * PageSize;

class SiteStorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ostrel-sitestorage-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        groupPath = dir + "/Lobby.strgx";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string storage(const std::string& name, const UniqueID& repository) {
        const std::string path = dir + "/" + name;
        std::string error;
        EXPECT_TRUE(SiteStorage::createStorageFile(path, SmallStorage, repository, &error, PageSize)) << error;
        return path;
    }
    void groupFile(const UniqueID& repository, const std::vector<std::string>& paths) {
        StorageGroupFile file;
        ASSERT_TRUE(file.create(groupPath, repository));
        ASSERT_TRUE(file.load(groupPath));
        for (const std::string& path : paths) {
            file.addStorage(path);
        }
        file.saveAndClose();
    }
    std::string read(const std::string& path) const {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    const UniqueID site{"0b4f7c52-2f5e-4b8e-9d0c-6a1f3e2d4c5b"};
    const UniqueID other{"9a1e2f3c-4b5d-4e6f-8a7b-1c2d3e4f5a6b"};
    std::string dir;
    std::string groupPath;
};

TEST_F(SiteStorageTest, EveryListedFileIsJudgedAndOnlyTheGoodOnesJoinTheGroup) {
    const std::string good = storage("Lobby 1.strg", site);
    const std::string foreign = storage("Lobby 2.strg", other);
    const std::string unformatted = dir + "/Lobby 3.strg";
    File::create(unformatted, static_cast<int64_t>(SmallStorage));
    const std::string missing = dir + "/Lobby 4.strg";
    groupFile(site, {good, foreign, unformatted, missing, good});

    SiteStorage storage(nullptr, site);
    ASSERT_TRUE(storage.open(groupPath));
    EXPECT_TRUE(storage.isOpen());
    EXPECT_TRUE(storage.groupFileExists());
    EXPECT_EQ(storage.storageCount(), 5);
    std::map<int, StorageEntry> entries;
    storage.entries(entries);
    ASSERT_EQ(entries.size(), 5u);
    std::vector<std::string> statuses;
    for (const auto& [number, entry] : entries) {
        statuses.push_back(StorageEntry::statusText(entry.status));
    }
    // The same file listed twice cannot be opened a second time.
    EXPECT_EQ(statuses, (std::vector<std::string>{"Good", "Not Formatted", "Not Formatted", "Not Found", "Open Error"}));
    EXPECT_EQ(entries.begin()->second.fileSize, SmallStorage);
    EXPECT_NE(storage.openedStorage(entries.begin()->first), nullptr);
    EXPECT_EQ(storage.openedStorage(std::next(entries.begin())->first), nullptr);
    EXPECT_EQ(storage.capacityBytes(), SmallStorage);
    EXPECT_GT(storage.usedBytes(), 0u); // the free-page list, journal and log pages
    EXPECT_LT(storage.usedBytes(), storage.capacityBytes());
    EXPECT_EQ(storage.storageGroup().recordStorages().size(), 1u);
    EXPECT_FALSE(storage.recordedInterval().from().isSet());
    // The recording member is remembered in the group file.
    StorageGroupFile file;
    ASSERT_TRUE(file.load(groupPath));
    EXPECT_EQ(file.lastStorageID(), storage.storageGroup().current()->storageID());
    storage.close();
    EXPECT_FALSE(storage.isOpen());
}

TEST_F(SiteStorageTest, AGroupFileOfAnotherSiteIsRefusedAndLeftAsItIs) {
    const std::string path = storage("Lobby 1.strg", other);
    groupFile(other, {path});
    const std::string before = read(groupPath);
    SiteStorage storage(nullptr, site);
    EXPECT_FALSE(storage.open(groupPath));
    EXPECT_FALSE(storage.isOpen());
    EXPECT_EQ(storage.groupFile().repositoryID(), other); // what the site's checks read
    storage.close();
    EXPECT_EQ(read(groupPath), before);
}

TEST_F(SiteStorageTest, AMissingOrBrokenGroupFileDoesNotOpen) {
    SiteStorage storage(nullptr, site);
    EXPECT_FALSE(storage.open(groupPath));
    EXPECT_FALSE(storage.groupFileExists());
    std::ofstream(groupPath) << "{\"Magic\": \"Something else\"}";
    EXPECT_FALSE(storage.open(groupPath));
    EXPECT_TRUE(storage.groupFileExists());
    std::filesystem::remove(groupPath);
    groupFile(site, {dir + "/none.strg"});
    EXPECT_FALSE(storage.open(groupPath)); // no good storage
    EXPECT_FALSE(storage.isOpen());
}

TEST_F(SiteStorageTest, AddingRemovingAndFormattingChangeTheGroupFileAndReopen) {
    const std::string first = storage("Lobby 1.strg", site);
    const std::string second = storage("Lobby 2.strg", other);
    groupFile(site, {first});
    SiteStorage storage(nullptr, site);
    ASSERT_TRUE(storage.open(groupPath));
    EXPECT_TRUE(storage.addStorage(second));
    EXPECT_TRUE(storage.containsPath(second));
    std::map<int, StorageEntry> entries;
    storage.entries(entries);
    ASSERT_EQ(entries.size(), 2u);
    const int secondNumber = std::next(entries.begin())->first;
    EXPECT_EQ(entries.at(secondNumber).status, StorageEntry::NotFormatted);

    ASSERT_TRUE(storage.formatStorages({secondNumber}, PageSize));
    storage.entries(entries);
    ASSERT_EQ(entries.size(), 2u);
    for (const auto& [number, entry] : entries) {
        EXPECT_EQ(entry.status, StorageEntry::Good) << entry.path;
    }
    EXPECT_EQ(storage.capacityBytes(), 2 * SmallStorage);
    EXPECT_EQ(storage.storageGroup().recordStorages().size() + storage.storageGroup().emptyStorages().size(), 2u);

    EXPECT_TRUE(storage.removeStorage(first));
    EXPECT_FALSE(storage.containsPath(first));
    storage.entries(entries);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.begin()->second.path, second);
    EXPECT_FALSE(storage.removeStorages({entries.begin()->first})); // nothing left to record into
    StorageGroupFile file;
    ASSERT_TRUE(file.load(groupPath));
    EXPECT_EQ(file.count(), 0);
}

TEST_F(SiteStorageTest, ANewGroupIsCreatedWithItsFilesAndOpens) {
    const std::vector<std::pair<std::string, uint64_t>> files = {
        {dir + "/" + SiteStorage::storageFileName("Lobby", 1, 2), SmallStorage},
        {dir + "/" + SiteStorage::storageFileName("Lobby", 2, 2), SmallStorage}};
    std::ofstream(groupPath) << "an old group file";
    std::string error;
    ASSERT_TRUE(SiteStorage::createGroup(groupPath, site, files, &error, PageSize)) << error;
    SiteStorage storage(nullptr, site);
    ASSERT_TRUE(storage.open(groupPath));
    EXPECT_EQ(storage.storageCount(), 2);
    EXPECT_EQ(storage.capacityBytes(), 2 * SmallStorage);

    // A file that is already there stops the creation and nothing made is left.
    storage.close();
    const std::string other = dir + "/Other.strgx";
    EXPECT_FALSE(SiteStorage::createGroup(other, site, {{dir + "/new.strg", SmallStorage}, files[0]}, &error, PageSize));
    EXPECT_NE(error.find(files[0].first), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(other));
    EXPECT_FALSE(std::filesystem::exists(dir + "/new.strg"));
    EXPECT_TRUE(std::filesystem::exists(files[0].first));
}

TEST(SiteStorageNamesTest, SizesRoundUpPastWholeBlocksAndNamesCarryPaddedNumbers) {
    EXPECT_EQ(SiteStorage::storageBytes(1.0), 1000341504u);
    EXPECT_EQ(SiteStorage::storageBytes(0.5), 500170752u);
    EXPECT_EQ(SiteStorage::storageBytes(1.0) % 524288, 0u);
    EXPECT_EQ(SiteStorage::storageBytes(524288.0 / 1e9), 2u * 524288u); // already a multiple: one block more
    EXPECT_EQ(SiteStorage::groupFileName("Lobby"), "Lobby.strgx");
    EXPECT_EQ(SiteStorage::storageFileName("Lobby", 1, 12), "Lobby 01.strg");
    EXPECT_EQ(SiteStorage::storageFileName("Lobby", 12, 12), "Lobby 12.strg");
    EXPECT_EQ(SiteStorage::storageFileName("Lobby", 3, 9), "Lobby 3.strg");
    EXPECT_EQ(SiteStorage::storageFileName("Gate", 7, 100), "Gate 007.strg");
    EXPECT_GT(SiteStorage::freeDiskSpace("/tmp"), 0u);
    EXPECT_EQ(SiteStorage::freeDiskSpace("/no/such/folder"), 0u);
}

} // namespace
