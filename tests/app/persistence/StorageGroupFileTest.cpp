// Storage group files: the writer's layout, what a reader accepts, paths that
// survive the round trip, and writes that never leave a torn file.
#include "app/persistence/StorageGroupFile.h"
#include "base/UniqueID.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

using namespace ostrel;
using namespace ostrel::testing;

namespace {

const UniqueID Site("0b4f7c52-2f5e-4b8e-9d0c-6a1f3e2d4c5b");
const UniqueID Member("9a1e2f3c-4b5d-4e6f-8a7b-1c2d3e4f5a6b");

class StorageGroupFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ostrel-groupfile-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/Lobby.strgx";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    void write(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    std::string read() const {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::vector<std::string> filesInDir() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    std::string dir;
    std::string path;
};

TEST_F(StorageGroupFileTest, TheWriterLaysOneMemberPerLineWithTabsInItsFixedOrder) {
    StorageGroupFile file;
    ASSERT_TRUE(file.create(path, Site));
    EXPECT_FALSE(file.isOpen());
    ASSERT_TRUE(file.load(path));
    ASSERT_TRUE(file.setLastStorageID(Member));
    ASSERT_TRUE(file.setLastRecordingSectionID(42));
    ASSERT_TRUE(file.addStorage("/data/Lobby 1.strg"));
    ASSERT_TRUE(file.addStorage("/data/Lobby 2.strg"));
    EXPECT_EQ(read(), "{\n"
                      "\t\"Magic\": \"StorageGroupFile\",\n"
                      "\t\"Version\": \"1\",\n"
                      "\t\"RepositoryID\": \"0b4f7c52-2f5e-4b8e-9d0c-6a1f3e2d4c5b\",\n"
                      "\t\"LastStorageID\": \"9a1e2f3c-4b5d-4e6f-8a7b-1c2d3e4f5a6b\",\n"
                      "\t\"LastRecordingSectionID\": \"42\",\n"
                      "\t\"StorageFiles\": [\n"
                      "\t\t\"/data/Lobby 1.strg\",\n"
                      "\t\t\"/data/Lobby 2.strg\"\n"
                      "\t]\n"
                      "}\n");
    // Nothing but the file itself is left behind by the writes.
    EXPECT_EQ(filesInDir(), std::vector<std::string>{"Lobby.strgx"});
}

TEST_F(StorageGroupFileTest, CreateRefusesAnExistingFileAndStartsWithARandomStorageID) {
    write("keep me");
    StorageGroupFile file;
    EXPECT_FALSE(file.create(path, Site));
    EXPECT_EQ(read(), "keep me");
    std::filesystem::remove(path);
    ASSERT_TRUE(file.create(path, Site));
    ASSERT_TRUE(file.load(path));
    EXPECT_EQ(file.repositoryID(), Site);
    EXPECT_EQ(file.version(), "1");
    EXPECT_EQ(file.lastRecordingSectionID(), 0u);
    EXPECT_FALSE(file.lastStorageID().isNil());
    EXPECT_EQ(file.count(), 0);
}

TEST_F(StorageGroupFileTest, PathsKeepTheirOrderAndTheirBackslashesAndQuotes) {
    const std::vector<std::string> paths = {"/z/last.strg", "C:\\Ostrel Storages\\Lobby 01.strg",
                                            "/q/\"quoted\" name.strg", "/u/Caf\xC3\xA9 \xE5\xA4\xA7.strg",
                                            "/a/first.strg"};
    {
        StorageGroupFile file;
        ASSERT_TRUE(file.create(path, Site));
        ASSERT_TRUE(file.load(path));
        for (const std::string& p : paths) {
            ASSERT_TRUE(file.addStorage(p));
        }
        file.saveAndClose();
    }
    EXPECT_NE(read().find("C:\\\\Ostrel Storages\\\\Lobby 01.strg"), std::string::npos);
    StorageGroupFile again;
    ASSERT_TRUE(again.load(path));
    EXPECT_EQ(again.storageFiles(), paths);
    EXPECT_TRUE(again.contains("/q/\"quoted\" name.strg"));
    EXPECT_FALSE(again.contains("/Q/\"quoted\" name.strg"));
    ASSERT_TRUE(again.removeStorage("/z/last.strg"));
    ASSERT_TRUE(again.removeStorage("/not/listed.strg"));
    StorageGroupFile third;
    ASSERT_TRUE(third.load(path));
    EXPECT_EQ(third.count(), 4);
    EXPECT_EQ(third.storageFiles().front(), paths[1]);
}

TEST_F(StorageGroupFileTest, OnlyAValidGroupFileLoads) {
    const std::string site = Site.toString();
    struct Case {
        const char* name;
        std::string text;
        bool loads;
        uint32_t section;
    };
    const Case cases[] = {
        {"any layout and order",
         R"({"StorageFiles":["/a.strg"],"LastRecordingSectionID":"17","RepositoryID":")" + site +
             R"(","Version":"1","Magic":"StorageGroupFile"})",
         true, 17},
        {"leading digits", R"({"Magic":"StorageGroupFile","Version":"1","RepositoryID":")" + site +
                               R"(","LastRecordingSectionID":"12abc"})",
         true, 12},
        {"no digits", R"({"Magic":"StorageGroupFile","Version":"1","RepositoryID":")" + site +
                          R"(","LastRecordingSectionID":"x"})",
         true, 0},
        {"wrong magic", R"({"Magic":"StorageGroup","Version":"1","RepositoryID":")" + site +
                            R"(","LastRecordingSectionID":"1"})",
         false, 0},
        {"no version", R"({"Magic":"StorageGroupFile","RepositoryID":")" + site + R"(","LastRecordingSectionID":"1"})",
         false, 0},
        {"empty section", R"({"Magic":"StorageGroupFile","Version":"1","RepositoryID":")" + site +
                              R"(","LastRecordingSectionID":""})",
         false, 0},
        {"no repository", R"({"Magic":"StorageGroupFile","Version":"1","LastRecordingSectionID":"1"})", false, 0},
        {"not an identifier",
         R"({"Magic":"StorageGroupFile","Version":"1","RepositoryID":"lobby","LastRecordingSectionID":"1"})", false,
         0},
        {"an array", R"(["StorageGroupFile"])", false, 0},
        {"cut short", R"({"Magic":"StorageGroupFile","Version":"1",)", false, 0},
        {"empty", "", false, 0},
    };
    for (const Case& c : cases) {
        write(c.text);
        StorageGroupFile file;
        EXPECT_EQ(file.load(path), c.loads) << c.name;
        EXPECT_EQ(file.isOpen(), c.loads) << c.name;
        if (c.loads) {
            EXPECT_EQ(file.repositoryID(), Site) << c.name;
            EXPECT_EQ(file.lastRecordingSectionID(), c.section) << c.name;
            EXPECT_TRUE(file.lastStorageID().isNil()) << c.name;
        }
    }
    StorageGroupFile file;
    EXPECT_FALSE(file.load(dir + "/missing.strgx"));
    EXPECT_FALSE(file.load(dir)); // a folder
}

TEST_F(StorageGroupFileTest, WritersOnTwoThreadsNeverTearTheFile) {
    StorageGroupFile file;
    ASSERT_TRUE(file.create(path, Site));
    ASSERT_TRUE(file.load(path));
    FunctionThread sections([&] {
        for (uint32_t section = 1; section <= 200; ++section) {
            file.setLastRecordingSectionID(section);
        }
    });
    sections.start();
    for (int i = 0; i < 50; ++i) {
        file.addStorage("/data/file " + std::to_string(i) + ".strg");
        // Whatever moment a reader picks, it finds a whole file.
        StorageGroupFile reader;
        ASSERT_TRUE(reader.load(path)) << i;
    }
    sections.join();
    StorageGroupFile reader;
    ASSERT_TRUE(reader.load(path));
    EXPECT_EQ(reader.count(), 50);
    EXPECT_EQ(reader.lastRecordingSectionID(), 200u);
    EXPECT_EQ(filesInDir(), std::vector<std::string>{"Lobby.strgx"});
}

TEST_F(StorageGroupFileTest, AGroupKeptInMemoryWritesNothing) {
    StorageGroupFile file;
    file.openInMemory(Site, {"/a.strg", "/b.strg"});
    EXPECT_TRUE(file.isOpen());
    EXPECT_TRUE(file.addStorage("/c.strg"));
    EXPECT_TRUE(file.setLastRecordingSectionID(3));
    EXPECT_EQ(file.count(), 3);
    EXPECT_TRUE(filesInDir().empty());
}

} // namespace
