#include "app/ui/ControllerThread.h"
#include "app/ui/DialogHost.h"
#include "app/ui/FileChooserDialog.h"
#include "app/ui/FreeDiskSpace.h"
#include "app/ui/MessageBoxDialog.h"
#include "app/ui/PageHub.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <unistd.h>

using namespace ostrel;
using nlohmann::json;

namespace {

class FileChooserTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("ostrel-chooser-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir / "Sub");
        std::filesystem::create_directories(dir / ".hidden");
        touch("a.strg");
        touch("B.STRG");
        touch("group.strgx");
        touch(".secret.strg");
        controller.start();
    }
    void TearDown() override {
        dialogs.closeAll();
        controller.stop();
        std::filesystem::remove_all(dir);
    }
    void touch(const std::string& name) { std::ofstream(dir / name) << "x"; }

    std::shared_ptr<FileChooserDialog> open(FileChooserDialog::Options options) {
        if (options.filter.empty()) {
            options.filter = "Storage File(*.strg)|*.strg||";
        }
        auto chooser = std::make_shared<FileChooserDialog>(
            dialogs, options, [this](const std::string& path) { chosen = path; }, [this] { cancelled = true; });
        dialogs.open(chooser);
        return chooser;
    }
    std::vector<std::string> names(const FileChooserDialog& chooser) {
        std::vector<std::string> out;
        for (const auto& e : chooser.entries()) {
            out.push_back(e.name);
        }
        return out;
    }
    // The text of the topmost message box, or "".
    std::string message() {
        std::string text;
        for (int id : dialogs.openIds()) {
            if (auto box = std::dynamic_pointer_cast<MessageBoxDialog>(dialogs.dialog(id))) {
                text = box->text();
            }
        }
        return text;
    }
    void answer(int button) {
        for (int id : dialogs.openIds()) {
            if (std::dynamic_pointer_cast<MessageBoxDialog>(dialogs.dialog(id))) {
                dialogs.call(id, "answer", {{"button", button}});
                return;
            }
        }
        FAIL() << "no message box";
    }
    void choose(FileChooserDialog& chooser, const std::string& name) {
        dialogs.call(chooser.id(), "choose", {{"name", name}});
    }

    static FileChooserDialog::Options options(const std::filesystem::path& initial, const std::string& extension = "",
                                              bool overwritePrompt = false, bool fileMustExist = false,
                                              const std::string& filter = "") {
        FileChooserDialog::Options o;
        o.initialPath = initial.string();
        o.defaultExtension = extension;
        o.overwritePrompt = overwritePrompt;
        o.fileMustExist = fileMustExist;
        o.filter = filter;
        return o;
    }

    std::filesystem::path dir;
    ControllerThread controller;
    PageHub hub{controller};
    DialogHost dialogs{hub};
    std::optional<std::string> chosen;
    bool cancelled = false;
};

} // namespace

TEST_F(FileChooserTest, ListsFoldersFirstThenTheFilesOfTheFilterWithoutHiddenOnes) {
    auto chooser = open(options(dir / "new.strg"));
    EXPECT_EQ(chooser->folder(), dir.string());
    EXPECT_EQ(chooser->name(), "new.strg");
    EXPECT_EQ(names(*chooser), (std::vector<std::string>{"Sub", "a.strg", "B.STRG"}));
    const json state = chooser->state();
    EXPECT_EQ(state["folder"], dir.string());
    EXPECT_EQ(state["parent"], dir.parent_path().string());
    EXPECT_EQ(state["filters"], json::array({"Storage File(*.strg)"}));
}

TEST_F(FileChooserTest, BrowsesIntoSubfoldersUpAndToAbsoluteFoldersButNotToMissingOnes) {
    auto chooser = open(options(dir));
    dialogs.call(chooser->id(), "browse", {{"folder", "Sub"}});
    EXPECT_EQ(chooser->folder(), (dir / "Sub").string());
    dialogs.call(chooser->id(), "browse", {{"folder", ".."}});
    EXPECT_EQ(chooser->folder(), dir.string());
    EXPECT_EQ(dialogs.call(chooser->id(), "browse", {{"folder", (dir / "gone").string()}}), json(false));
    EXPECT_EQ(message(), (dir / "gone").string() + "\nThe folder does not exist.");
    EXPECT_EQ(chooser->folder(), dir.string());
    EXPECT_THROW(dialogs.call(chooser->id(), "browse", {{"folder", 3}}), std::invalid_argument);
}

TEST_F(FileChooserTest, AnInitialFolderThatDoesNotExistStartsInTheNearestOneThatDoes) {
    auto chooser = open(options(dir / "x" / "y" / "Lobby.strgx"));
    EXPECT_EQ(chooser->folder(), dir.string());
    EXPECT_EQ(chooser->name(), "Lobby.strgx");
    // A path ending in "/" names a folder alone.
    auto folder = open(options((dir / "gone").string() + "/"));
    EXPECT_EQ(folder->folder(), dir.string());
    EXPECT_EQ(folder->name(), "");
}

TEST_F(FileChooserTest, TheDefaultExtensionIsAddedToANameWithoutOne) {
    auto chooser = open(options(dir, "strg"));
    choose(*chooser, "Lobby 01");
    ASSERT_TRUE(chosen);
    EXPECT_EQ(*chosen, (dir / "Lobby 01.strg").string());
    EXPECT_FALSE(chooser->isOpen());
    EXPECT_EQ(FileChooserDialog::pathFor("/f", "x.", "strg"), "/f/x.strg");
    EXPECT_EQ(FileChooserDialog::pathFor("/f", "x.dat", "strg"), "/f/x.dat");
    EXPECT_EQ(FileChooserDialog::pathFor("/f", ".x", "strg"), "/f/.x.strg");
}

TEST_F(FileChooserTest, NamesThatWouldLeaveTheFolderAreRefused) {
    auto chooser = open(options(dir, "strg"));
    for (const std::string& name : {std::string("."), std::string(".."), std::string("../evil"),
                                   std::string("a/b"), std::string("/etc/passwd"), std::string("tab\there"),
                                   std::string("nl\n"), std::string(1, '\x7f'), std::string(300, 'n')}) {
        choose(*chooser, name);
        EXPECT_FALSE(chosen) << name;
        EXPECT_TRUE(chooser->isOpen());
        EXPECT_EQ(message(), name + "\nThe file name is not valid.") << name;
        answer(Answer::OK);
    }
    choose(*chooser, "");
    EXPECT_EQ(message(), "Please type a file name.");
}

TEST_F(FileChooserTest, TypingAFolderNameOpensThatFolder) {
    auto chooser = open(options(dir, "strg"));
    choose(*chooser, "Sub");
    EXPECT_FALSE(chosen);
    EXPECT_EQ(chooser->folder(), (dir / "Sub").string());
}

TEST_F(FileChooserTest, AFolderRemovedWhileOpenIsReportedNotChosen) {
    auto chooser = open(options(dir / "Sub", "strg"));
    std::filesystem::remove_all(dir / "Sub");
    choose(*chooser, "late");
    EXPECT_FALSE(chosen);
    EXPECT_EQ(message(), (dir / "Sub").string() + "\nThe folder does not exist.");
}

TEST_F(FileChooserTest, AnExistingFileIsChosenOnlyAfterTheReplaceQuestionWhenAsked) {
    auto chooser = open(options(dir, "strg", true));
    choose(*chooser, "a");
    EXPECT_FALSE(chosen);
    EXPECT_EQ(message(), (dir / "a.strg").string() + " already exists.\nDo you want to replace it?");
    answer(Answer::No);
    EXPECT_FALSE(chosen);
    EXPECT_TRUE(chooser->isOpen());
    choose(*chooser, "a");
    answer(Answer::Yes);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(*chosen, (dir / "a.strg").string());
}

TEST_F(FileChooserTest, AnOpenChooserWantsAnExistingFile) {
    auto chooser = open(options(dir, "strg", false, true));
    choose(*chooser, "missing");
    EXPECT_EQ(message(), (dir / "missing.strg").string() + "\nFile not found.");
    answer(Answer::OK);
    choose(*chooser, "a.strg");
    ASSERT_TRUE(chosen);
}

TEST_F(FileChooserTest, CancelRunsOnlyTheCancelContinuation) {
    auto chooser = open(options(dir));
    dialogs.call(chooser->id(), "cancel", json::object());
    EXPECT_TRUE(cancelled);
    EXPECT_FALSE(chosen);
    EXPECT_FALSE(chooser->isOpen());
}

TEST_F(FileChooserTest, AnotherFilterListsItsOwnFiles) {
    auto chooser = open(options(dir, "", false, false, "Storage Group File(*.strgx)|*.strgx|All Files(*.*)|*.*||"));
    EXPECT_EQ(names(*chooser), (std::vector<std::string>{"Sub", "group.strgx"}));
    dialogs.call(chooser->id(), "filter", {{"index", 1}});
    EXPECT_EQ(names(*chooser), (std::vector<std::string>{"Sub", "a.strg", "B.STRG", "group.strgx"}));
    EXPECT_THROW(dialogs.call(chooser->id(), "filter", {{"index", 2}}), std::invalid_argument);
}

TEST(FileChooserFilterTest, ParsesLabelPatternPairs) {
    const auto filters = FileChooserDialog::parseFilter("Storage File(*.strg)|*.strg|Both|*.strg;*.strgx||");
    ASSERT_EQ(filters.size(), 2u);
    EXPECT_EQ(filters[0].label, "Storage File(*.strg)");
    EXPECT_EQ(filters[1].patterns, (std::vector<std::string>{"*.strg", "*.strgx"}));
    EXPECT_TRUE(FileChooserDialog::matches("X.STRG", filters[0].patterns));
    EXPECT_FALSE(FileChooserDialog::matches("x.strgx", filters[0].patterns));
}

TEST(FreeDiskSpaceTest, AsksTheNearestExistingFolderAndNamesItsMountPoint) {
    const std::filesystem::path tmp = std::filesystem::temp_directory_path();
    const auto space = FreeDiskSpace::of((tmp / "no such folder" / "deeper" / "x.strg").string());
    ASSERT_TRUE(space);
    EXPECT_TRUE(std::filesystem::equivalent(space->folder, tmp));
    EXPECT_GT(space->bytes, 0u);
    EXPECT_FALSE(space->mountPoint.empty());
    EXPECT_EQ(space->mountPoint.front(), '/');
    EXPECT_EQ(FreeDiskSpace::mountPointOf("/"), "/");
    EXPECT_EQ(FreeDiskSpace::mountPointOf("/proc/self"), "/proc");
    EXPECT_EQ((FreeDiskSpace{0, "/data", "/data/x"}).notEnoughText(), "There is not enough space on /data. Please check the disk.");
    EXPECT_EQ(FreeDiskSpace::nearestExistingFolder("relative/missing/file"),
              std::filesystem::current_path().string());
}
