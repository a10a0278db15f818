#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteContainer.h"
#include "app/persistence/SiteStorage.h"
#include "app/persistence/StorageGroupFile.h"
#include "app/persistence/SystemLogger.h"
#include "app/scheduling/ArchivingSchedule.h"
#include "app/scheduling/ArchivingScheduler.h"
#include "app/scheduling/EventManager.h"
#include "app/scheduling/LogCodes.h"
#include "app/ui/CMainFrame.h"
#include "app/ui/CSiteListView.h"
#include "app/ui/CStorageDetailDialog.h"
#include "app/ui/CStorageGroupManagerDialog.h"
#include "app/ui/CStorageListCtrl.h"
#include "app/ui/CStorageSizeDialog.h"
#include "app/ui/CTidevaultDoc.h"
#include "app/ui/ControllerThread.h"
#include "app/ui/DialogHost.h"
#include "app/ui/FileChooserDialog.h"
#include "app/ui/FreeDiskSpace.h"
#include "app/ui/MessageBoxDialog.h"
#include "app/ui/PageHub.h"
#include "app/ui/ScheduledArchive.h"
#include "base/File.h"
#include "database/DataWarehouse.h"
#include "ostrel-sitesim/SiteServer.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <unistd.h>

using namespace ostrel;
using nlohmann::json;
using ostrel::testing::eventually;
using Manager = CStorageGroupManagerDialog;

namespace {

class StorageManagerTest : public ::testing::Test {
protected:
    // Runs on the controller thread and returns what `f` returns.
    template <typename F>
    auto onController(F f) {
        decltype(f()) result{};
        controller.send([&] { result = f(); });
        return result;
    }

    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("ostrel-storagemgr-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        warehouse.open((dir / "app.db").string());
        sites.load();
        logger.load();
        document.setView(&view);
        controller.setHandler(&frame);
        controller.start();
        controller.send([&] {
            view.create(Clock::system());
            document.loadSchedules();
        });
        ASSERT_TRUE(eventually([&] {
            return onController([&] { return document.schedulesLoaded() && !document.isLoading(); });
        }));
    }

    void TearDown() override {
        controller.send([&] { dialogs.closeAll(); });
        manager.reset();
        controller.stop();
        document.joinLoader();
        view.destroy();
        if (site) {
            site->stop();
        }
        sites.unload();
        logger.unload();
        warehouse.close();
        std::filesystem::remove_all(dir);
    }

    uint16_t startSite(SiteSettings settings = SiteSettings()) {
        site = std::make_unique<SiteServer>(std::move(settings));
        return site->start();
    }

    // A stopped site (period 03:00:00-03:00:01, so nothing starts it) with
    // `storages` files of 64 MB.
    int addSite(const std::string& name, int storages, bool always = false, uint16_t port = 1) {
        NewScheduleRequest r;
        r.siteId = UniqueID();
        r.name = name;
        r.address = "127.0.0.1";
        r.port = port;
        r.user = "admin";
        r.password = "admin";
        r.archiveFrom = RecordSite::ArchiveFromFirst;
        r.alwaysArchive = always;
        r.dailyStart = Time(3, 0, 0);
        r.dailyStop = Time(3, 0, 1);
        r.groupFilePath = (dir / (name + ".strgx")).string();
        for (int i = 1; i <= storages; ++i) {
            r.storagePaths.push_back((dir / (name + " " + std::to_string(i) + ".strg")).string());
        }
        r.storageSize = SiteStorage::storageBytes(0.064);
        const int handle = onController([&] { return document.newSchedule(r); });
        siteIds[handle] = r.siteId;
        return handle;
    }

    void openManager(int handle) {
        manager = onController([&] {
            return Manager::open({dialogs, document, scheduler, sites, logger, dir.string()}, handle, &view);
        });
    }

    json call(const std::string& function, const json& args = json::object()) {
        return onController([&] { return dialogs.call(manager->id(), function, args).value_or(json()); });
    }
    void select(std::vector<int> rows) { call("select", {{"rows", rows}}); }
    Manager::Buttons buttons() {
        return onController([&] {
            manager->updateButtons();
            return manager->buttons();
        });
    }
    std::vector<std::vector<std::string>> rows() {
        return onController([&] {
            std::vector<std::vector<std::string>> out;
            for (const auto& row : manager->list().rows()) {
                out.push_back(row.cells);
            }
            return out;
        });
    }
    std::vector<std::string> statuses() {
        std::vector<std::string> out;
        for (const auto& row : rows()) {
            out.push_back(row[CStorageListCtrl::ColumnStatus]);
        }
        return out;
    }

    // The topmost open dialog of a kind, or null.
    template <typename T>
    std::shared_ptr<T> top() {
        return onController([&] {
            std::shared_ptr<T> found;
            for (int id : dialogs.openIds()) {
                if (auto d = std::dynamic_pointer_cast<T>(dialogs.dialog(id))) {
                    found = d;
                }
            }
            return found;
        });
    }
    std::string message() {
        auto box = top<MessageBoxDialog>();
        return box ? box->text() : std::string();
    }
    void answer(int button, bool checked = true) {
        auto box = top<MessageBoxDialog>();
        ASSERT_TRUE(box) << "no message box";
        onController([&] { return dialogs.call(box->id(), "answer", {{"button", button}, {"checked", checked}}).has_value(); });
    }
    void answerSize(const std::string& text) {
        auto size = top<CStorageSizeDialog>();
        ASSERT_TRUE(size) << "no size dialog";
        onController([&] { return dialogs.call(size->id(), "ok", {{"text", text}}).has_value(); });
    }
    void chooseFile(const std::string& name, const std::filesystem::path& folder) {
        auto chooser = top<FileChooserDialog>();
        ASSERT_TRUE(chooser) << "no file chooser";
        onController([&] {
            dialogs.call(chooser->id(), "browse", {{"folder", folder.string()}});
            return dialogs.call(chooser->id(), "choose", {{"name", name}}).has_value();
        });
    }
    std::vector<std::pair<int, std::string>> logged(int handle) {
        return onController([&] {
            std::vector<std::pair<int, std::string>> out;
            logger.query(Date(1970, 1, 1), Date(2100, 12, 31), siteIds.at(handle));
            for (const auto& [id, entry] : logger.entries()) {
                out.emplace_back(entry.code(), entry.text());
            }
            return out;
        });
    }
    int openCount() { return onController([&] { return static_cast<int>(dialogs.openCount()); }); }
    SiteStorage& storageOf(int handle) { return *scheduler.siteStorage(handle); }

    // A group file that lists `paths` (they need not exist) for `owner`.
    static void writeGroupFile(const std::string& path, const UniqueID& owner, const std::vector<std::string>& paths) {
        json files = json::array();
        for (const auto& p : paths) {
            files.push_back(p);
        }
        std::ofstream(path) << json{{"Magic", "StorageGroupFile"},
                                    {"Version", "1"},
                                    {"RepositoryID", owner.toString()},
                                    {"LastStorageID", UniqueID().toString()},
                                    {"LastRecordingSectionID", "0"},
                                    {"StorageFiles", files}}
                                   .dump();
    }
    static void sparseFile(const std::filesystem::path& path, uint64_t bytes) {
        std::ofstream(path).close();
        std::filesystem::resize_file(path, bytes);
    }

    std::filesystem::path dir;
    DataWarehouse warehouse;
    SiteContainer sites{warehouse};
    SystemLogger logger{warehouse};
    ArchivingScheduler scheduler;
    EventManager events{[&](int handle) { return scheduler.siteIdOf(handle); },
                        [&](const UniqueID& owner, int code, const std::string& text) { logger.error(owner, code, text); }};
    ControllerThread controller;
    PageHub pages{controller};
    DialogHost dialogs{pages};
    CTidevaultDoc document{controller, dialogs, scheduler, sites, logger};
    CSiteListView view{controller, pages, dialogs, document, scheduler, sites, logger, events};
    CMainFrame frame{dialogs, view, document, [] {}};
    std::unique_ptr<SiteServer> site;
    std::shared_ptr<Manager> manager;
    std::map<int, UniqueID> siteIds;
};

} // namespace

// ---- texts of the list --------------------------------------------------------------------------

TEST(StorageListTest, SizeAndPeriodTexts) {
    const std::pair<uint64_t, const char*> sizes[] = {{1500000000ULL, "1.5 GB"}, {999999999ULL, "999 MB"},
                                                      {1049000000ULL, "1.0 GB"}, {1050000000ULL, "1.1 GB"},
                                                      {0, "0 MB"},               {4000317440ULL, "4.0 GB"},
                                                      {123456789012ULL, "123.5 GB"}};
    for (const auto& [bytes, text] : sizes) {
        EXPECT_EQ(CStorageListCtrl::sizeText(bytes), text) << bytes;
    }
    EXPECT_EQ(CStorageListCtrl::periodText(Interval(DateTime(2024, 1, 2, 3, 4, 5), DateTime(2024, 11, 12, 13, 14, 15))),
              "2024/01/02 03:04:05 ~ 2024/11/12 13:14:15");
    EXPECT_EQ(CStorageListCtrl::periodText(Interval(DateTime(2024, 1, 2, 3, 4, 5), DateTime())), "-");
    EXPECT_EQ(CStorageListCtrl::fileName("/a/b/Lobby 01.strg"), "Lobby 01.strg");
    EXPECT_EQ(CStorageListCtrl::fileName("Lobby.strg"), "Lobby.strg");
}

TEST(StorageListTest, RowsCellsAndTips) {
    CStorageListCtrl list;
    StorageEntry good{"/s/good.strg", 0, 1500000000ULL, Interval(DateTime(2024, 1, 1, 10, 0, 0), DateTime(2024, 1, 1, 11, 0, 0)), StorageEntry::Good, ""};
    StorageEntry missing{"/s/missing.strg", 0, 0, Interval(), StorageEntry::NotFound, ""};
    StorageEntry unknown{"plain", 0, 0, Interval(), 9, ""};
    list.setEntries({{7, good}, {3, missing}, {12, unknown}});
    ASSERT_EQ(list.rowCount(), 3);
    // Entry-number order; the row's item data is the entry number.
    EXPECT_EQ(list.itemData(0), 3);
    EXPECT_EQ(list.rows()[0].cells, (std::vector<std::string>{"", "missing.strg", "-", "-", "Not Found"}));
    EXPECT_EQ(list.rows()[1].cells,
              (std::vector<std::string>{"", "good.strg", "1.5 GB", "2024/01/01 10:00:00 ~ 2024/01/01 11:00:00", "Good"}));
    EXPECT_EQ(list.rows()[2].cells[4], "Unknown");
    // Only the file name cell has a tip: the full path.
    EXPECT_EQ(list.tipAt(1, CStorageListCtrl::ColumnFilename), "/s/good.strg");
    EXPECT_EQ(list.tipAt(1, CStorageListCtrl::ColumnStatus), "");
    EXPECT_EQ(list.tipAt(-1, CStorageListCtrl::ColumnFilename), "");
    EXPECT_EQ(list.tipAt(3, CStorageListCtrl::ColumnFilename), "");
    EXPECT_EQ(CToolTipListCtrl::toolId(2, 1), 2001);
    EXPECT_TRUE(list.setSelection({2, 0, 0, 5}));
    EXPECT_EQ(list.selectedEntries(), (std::vector<int>{3, 12}));
    EXPECT_FALSE(list.setSelection({0, 2}));
}

// ---- the dialog ------------------------------------------------------------------------------------

TEST_F(StorageManagerTest, OpensOnTheChosenSiteWithItsStoragesAndTheComboSortedByName) {
    const int zulu = addSite("Zulu", 1);
    const int alpha = addSite("Alpha", 2);
    openManager(alpha);
    const json state = onController([&] { return manager->state(); });
    EXPECT_EQ(state["title"], "Storage Manager");
    EXPECT_EQ(state["sites"][0]["name"], "Alpha");
    EXPECT_EQ(state["sites"][1]["name"], "Zulu");
    EXPECT_EQ(state["sites"][1]["handle"], zulu);
    EXPECT_EQ(state["current"], alpha);
    EXPECT_EQ(state["groupFile"], (dir / "Alpha.strgx").string());
    EXPECT_EQ(state["list"]["columns"][1]["header"], "Filename");
    EXPECT_EQ(state["list"]["columns"][1]["width"], 180);
    EXPECT_EQ(rows().size(), 2u);
    EXPECT_EQ(rows()[0][1], "Alpha 1.strg");
    EXPECT_EQ(rows()[0][2], "64 MB");
    EXPECT_EQ(call("tip", {{"row", 1}, {"column", 1}}), (dir / "Alpha 2.strg").string());
    call("selectSite", {{"handle", zulu}});
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_TRUE(onController([&] {
        try {
            dialogs.call(manager->id(), "selectSite", {{"handle", 77}});
        } catch (const std::invalid_argument&) {
            return true;
        }
        return false;
    }));
}

TEST_F(StorageManagerTest, WithoutASiteEveryButtonIsDisabledAndStartShown) {
    addSite("Lobby", 1);
    openManager(-1);
    const Manager::Buttons b = buttons();
    EXPECT_FALSE(b.create || b.add || b.remove || b.format || b.detail || b.pauseShown || b.startEnabled);
    EXPECT_TRUE(b.startShown);
    // A disabled button does nothing whatever the page sends.
    EXPECT_EQ(call("create"), json(false));
    EXPECT_EQ(openCount(), 1);
}

TEST_F(StorageManagerTest, ButtonsFollowTheSelectionAndTheEntriesStatus) {
    const int handle = addSite("Lobby", 3);
    std::filesystem::remove(dir / "Lobby 2.strg");
    std::filesystem::create_directory(dir / "Lobby 3.strg.dir");
    // An entry the storage cannot open: a folder where a file should be.
    onController([&] { return storageOf(handle).addStorage((dir / "Lobby 3.strg.dir").string()); });
    onController([&] { return storageOf(handle).reopen(); });
    openManager(handle);
    EXPECT_EQ(statuses(), (std::vector<std::string>{"Good", "Not Found", "Good", "Open Error"}));

    Manager::Buttons b = buttons();
    EXPECT_TRUE(b.create && b.add && b.startShown && b.startEnabled);
    EXPECT_FALSE(b.remove || b.format || b.detail || b.pauseShown);
    select({0});
    b = buttons();
    EXPECT_TRUE(b.remove && b.format && b.detail);
    // Two rows: no detail.
    select({0, 2});
    b = buttons();
    EXPECT_TRUE(b.remove && b.format);
    EXPECT_FALSE(b.detail);
    // An Open Error row: no format; a Not Found one neither, and no detail.
    select({3});
    b = buttons();
    EXPECT_TRUE(b.remove);
    EXPECT_FALSE(b.format || b.detail);
    select({1});
    b = buttons();
    EXPECT_FALSE(b.format || b.detail);
}

TEST_F(StorageManagerTest, ANotArchivableSiteCannotBeStartedAndAForeignGroupFileDisablesEverything) {
    const int empty = addSite("Empty", 0);
    openManager(empty);
    Manager::Buttons b = buttons();
    EXPECT_TRUE(b.create && b.add);
    EXPECT_FALSE(b.startEnabled); // "No storage to archive"
    controller.send([&] { dialogs.closeAll(); });

    const int foreign = addSite("Foreign", 1);
    controller.send([&] {
        storageOf(foreign).close();
        writeGroupFile((dir / "Foreign.strgx").string(), UniqueID(), {});
        storageOf(foreign).open((dir / "Foreign.strgx").string());
        sites.findByHandle(foreign)->checkArchivable();
    });
    openManager(foreign);
    b = buttons();
    EXPECT_FALSE(b.create || b.add || b.remove || b.format || b.detail || b.pauseShown || b.startEnabled);
    EXPECT_TRUE(b.startShown);
}

TEST_F(StorageManagerTest, LimitsAreCheckedBeforeAnyChooserOpens) {
    std::vector<std::string> paths;
    for (int i = 0; i < 99; ++i) {
        paths.push_back((dir / ("gone " + std::to_string(i) + ".strg")).string());
    }
    const int full = addSite("Full", 0);
    controller.send([&] {
        storageOf(full).close();
        writeGroupFile((dir / "Full.strgx").string(), siteIds[full], paths);
        storageOf(full).open((dir / "Full.strgx").string());
    });
    openManager(full);
    for (const char* button : {"create", "add"}) {
        EXPECT_EQ(call(button), json(true));
        EXPECT_EQ(message(), Manager::SiteLimitText);
        EXPECT_FALSE(top<CStorageSizeDialog>());
        EXPECT_FALSE(top<FileChooserDialog>());
        answer(Answer::OK);
    }
    controller.send([&] { dialogs.closeAll(); });

    // 99 + 9 x 100 more listed by schedules of their own: 999, then 1000 with one more file.
    for (int s = 0; s < 9; ++s) {
        const UniqueID id;
        std::vector<std::string> many;
        for (int i = 0; i < 100; ++i) {
            many.push_back((dir / ("other " + std::to_string(s) + "-" + std::to_string(i) + ".strg")).string());
        }
        const std::string group = (dir / ("other" + std::to_string(s) + ".strgx")).string();
        writeGroupFile(group, id, many);
        const int h = scheduler.createSchedule(id, "127.0.0.1", 1, "admin", "admin", false);
        scheduler.siteStorage(h)->open(group);
    }
    const int few = addSite("Few", 1);
    ASSERT_EQ(scheduler.totalStorageCount(), 1000);
    openManager(few);
    EXPECT_EQ(call("create"), json(true));
    EXPECT_EQ(message(), Manager::TotalLimitText);
    EXPECT_FALSE(top<CStorageSizeDialog>());
}

TEST_F(StorageManagerTest, CreateChecksTheSizeOnTheServerThenMakesAndFormatsTheFile) {
    const int handle = addSite("Lobby", 1);
    openManager(handle);
    call("create");
    auto size = top<CStorageSizeDialog>();
    ASSERT_TRUE(size);
    EXPECT_EQ(size->state()["text"], "4");
    EXPECT_EQ(size->state()["title"], "Enter Storage File Size");
    // Below 0.5 GB, and texts the page filter would not have let through.
    for (const char* text : {"0.4", "abc", "-5", "", "1e9", "0.49"}) {
        answerSize(text);
        EXPECT_EQ(message(), "The size must be larger than 0.5 GB.") << text;
        answer(Answer::OK);
        EXPECT_TRUE(size->isOpen());
    }
    EXPECT_EQ(size->state()["focus"], 6); // the whole text selected again each time
    answerSize("99999999999999999999");
    EXPECT_EQ(message(), "The size is too large.");
    answer(Answer::OK);
    // More than the disk holds: refused after the path is known, naming the mount point.
    answerSize("9000000000");
    chooseFile("huge", dir);
    const auto space = FreeDiskSpace::of(dir.string());
    ASSERT_TRUE(space);
    EXPECT_EQ(message(), "There is not enough space on " + space->mountPoint + ". Please check the disk.");
    answer(Answer::OK);
    EXPECT_FALSE(File::exists((dir / "huge.strg").string()));

    // 0.4997 GB rounds up to 500,170,752 bytes and passes.
    call("create");
    answerSize("0.4997");
    EXPECT_FALSE(top<CStorageSizeDialog>());
    chooseFile("Lobby new", dir);
    const std::string path = (dir / "Lobby new.strg").string();
    ASSERT_TRUE(File::exists(path));
    EXPECT_EQ(File::size(path), 500170752);
    EXPECT_TRUE(Manager::storageBelongsTo(path, siteIds[handle]));
    EXPECT_EQ(statuses(), (std::vector<std::string>{"Good", "Good"}));
    EXPECT_EQ(rows()[1][2], "500 MB");
    EXPECT_EQ(logged(handle).back(), std::make_pair(LogCode::StorageCreated, path));
    EXPECT_EQ(onController([&] { return sites.findByHandle(handle)->storageCapacity(); }),
              storageOf(handle).capacityBytes());
}

TEST_F(StorageManagerTest, CreateNeverReplacesAnExistingFileNorListsAPathTwice) {
    const int handle = addSite("Lobby", 1);
    const UniqueID other;
    const std::string foreign = (dir / "other site.strg").string();
    ASSERT_TRUE(SiteStorage::createStorageFile(foreign, SiteStorage::storageBytes(0.064), other));
    openManager(handle);
    call("create");
    answerSize("0.5");
    chooseFile("other site", dir);
    EXPECT_EQ(message(), "Cannot create the file : " + foreign + " already exists.");
    answer(Answer::OK);
    EXPECT_TRUE(Manager::storageBelongsTo(foreign, other));
    EXPECT_EQ(rows().size(), 1u);

    call("create");
    answerSize("0.5");
    chooseFile("Lobby 1", dir);
    EXPECT_EQ(message(), "The storage already exists on the list. Remove it and try again.");
    answer(Answer::OK);
    EXPECT_EQ(File::size((dir / "Lobby 1.strg").string()), static_cast<int64_t>(SiteStorage::storageBytes(0.064)));
}

TEST_F(StorageManagerTest, AddTakesExistingFilesOfHalfAGigabyteOrMore) {
    const int handle = addSite("Lobby", 1);
    sparseFile(dir / "small.strg", 499999999);
    sparseFile(dir / "exact.strg", 500000000);
    openManager(handle);
    const std::pair<const char*, std::string> refusals[] = {
        {"small", "The storage file must be larger than 0.5 GB."},
        {"missing", "File not exists."},
        {"Lobby 1", "The storage already exists on the list. Remove it and try again."}};
    for (const auto& [name, text] : refusals) {
        call("add");
        chooseFile(name, dir);
        EXPECT_EQ(message(), text) << name;
        answer(Answer::OK);
    }
    EXPECT_EQ(rows().size(), 1u);
    call("add");
    chooseFile("exact", dir);
    // Not formatted for this site: listed, not used, and not formatted by adding it.
    EXPECT_EQ(statuses(), (std::vector<std::string>{"Good", "Not Formatted"}));
    EXPECT_EQ(logged(handle).back(), std::make_pair(LogCode::StorageAdded, (dir / "exact.strg").string()));
}

TEST_F(StorageManagerTest, RemoveDeletesOnlyTheSitesOwnFilesAndNeverTriesAMissingOne) {
    const int handle = addSite("Lobby", 3);
    const std::string own = (dir / "Lobby 1.strg").string();
    const std::string missing = (dir / "Lobby 2.strg").string();
    std::filesystem::remove(missing);
    const std::string foreign = (dir / "foreign.strg").string();
    ASSERT_TRUE(SiteStorage::createStorageFile(foreign, 500170752, UniqueID()));
    controller.send([&] {
        storageOf(handle).addStorage(foreign);
        storageOf(handle).reopen();
    });
    openManager(handle);
    ASSERT_EQ(statuses(), (std::vector<std::string>{"Good", "Not Found", "Good", "Not Formatted"}));
    select({0, 1, 3});
    call("remove");
    EXPECT_EQ(message(), "Do you really want to remove the storage from storage group?");
    answer(Answer::No);
    EXPECT_EQ(rows().size(), 4u);
    call("remove");
    answer(Answer::Yes, true);
    // The foreign file is out of the group but stays on disk, and the user hears of it.
    EXPECT_EQ(message(), "Cannot remove a storage file : \n" + foreign);
    answer(Answer::OK);
    EXPECT_EQ(message(), "");
    EXPECT_FALSE(File::exists(own));
    EXPECT_TRUE(File::exists(foreign));
    EXPECT_TRUE(File::exists((dir / "Lobby 3.strg").string()));
    EXPECT_EQ(statuses(), (std::vector<std::string>{"Good"}));
    EXPECT_EQ(storageOf(handle).storageCount(), 1);
    const auto entries = logged(handle);
    ASSERT_GE(entries.size(), 3u);
    EXPECT_EQ(entries[entries.size() - 3], std::make_pair(LogCode::StorageRemoved, own));
    EXPECT_EQ(entries[entries.size() - 2], std::make_pair(LogCode::StorageRemoved, missing));
    EXPECT_EQ(entries[entries.size() - 1], std::make_pair(LogCode::StorageRemoved, foreign));
}

TEST_F(StorageManagerTest, RemoveWithTheBoxClearedKeepsTheFiles) {
    const int handle = addSite("Lobby", 2);
    openManager(handle);
    select({1});
    call("remove");
    answer(Answer::Yes, false);
    EXPECT_TRUE(File::exists((dir / "Lobby 2.strg").string()));
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_EQ(message(), "");
}

TEST_F(StorageManagerTest, FormatAfterTheQuestionMakesAnAddedFileTheSites) {
    const int handle = addSite("Lobby", 1);
    const std::string foreign = (dir / "foreign.strg").string();
    ASSERT_TRUE(SiteStorage::createStorageFile(foreign, SiteStorage::storageBytes(0.064), UniqueID()));
    controller.send([&] { storageOf(handle).addStorage(foreign); });
    openManager(handle);
    select({1});
    call("format");
    EXPECT_EQ(message(), "Do you want to format storages? You will not able to restore any more.");
    answer(Answer::No);
    EXPECT_EQ(statuses()[1], "Not Formatted");
    select({1});
    call("format");
    answer(Answer::Yes);
    EXPECT_EQ(statuses(), (std::vector<std::string>{"Good", "Good"}));
    EXPECT_TRUE(Manager::storageBelongsTo(foreign, siteIds[handle]));
    EXPECT_EQ(logged(handle).back(), std::make_pair(LogCode::StorageFormatted, foreign));
}

TEST_F(StorageManagerTest, NothingChangesTheGroupUntilTheStopHasCompleted) {
    const int handle = addSite("Lobby", 2);
    openManager(handle);
    select({1});
    // The stop is asked but its report has not come back (it is queued behind this task).
    const std::string text = onController([&] {
        document.stop(handle);
        manager->updateButtons();
        const bool disabled = !manager->buttons().remove && !manager->buttons().format && !manager->buttons().create;
        manager->remove(); // as if the click had come in before the buttons changed
        const int box = dialogs.openIds().back();
        dialogs.call(box, "answer", {{"button", Answer::Yes}, {"checked", true}});
        std::string shown;
        for (int id : dialogs.openIds()) {
            if (auto b = std::dynamic_pointer_cast<MessageBoxDialog>(dialogs.dialog(id))) {
                shown = b->text();
            }
        }
        return disabled ? shown : std::string("buttons were enabled");
    });
    EXPECT_EQ(text, "Please stop archiving before delete the schedule.");
    EXPECT_TRUE(File::exists((dir / "Lobby 2.strg").string()));
    EXPECT_EQ(storageOf(handle).storageCount(), 2);
}

TEST_F(StorageManagerTest, APendingRestartIsCancelledBeforeTheGroupChanges) {
    const int handle = addSite("Lobby", 2);
    controller.send([&] {
        document.setAlways(handle); // in its period, but not started
        // A failure whose stop has completed: a restart is due after its delay.
        document.onArchivingEnded(handle, false);
        document.onScheduleFinished(handle);
    });
    ASSERT_EQ(onController([&] { return document.pendingCommand(handle); }), ScheduledArchive::Restart);
    openManager(handle);
    select({1});
    call("format");
    answer(Answer::Yes);
    EXPECT_EQ(onController([&] { return document.pendingCommand(handle); }), Actor::NoCommand);
}

TEST_F(StorageManagerTest, WhileArchivingOnlyPauseWorksAndTheButtonsComeBackWhenTheStopIsReported) {
    const uint16_t port = startSite();
    const int handle = addSite("Lobby", 1, true, port);
    ASSERT_TRUE(eventually([&] {
        return onController([&] { return sites.findByHandle(handle)->status() == RecordSite::StatusArchiving; });
    }));
    openManager(handle);
    select({0});
    Manager::Buttons b = buttons();
    EXPECT_TRUE(b.pauseShown && b.pauseEnabled);
    EXPECT_FALSE(b.startShown || b.create || b.add || b.remove || b.format || b.detail);
    EXPECT_EQ(call("remove"), json(false));
    EXPECT_EQ(call("pause"), json(true));
    // Until the schedule reports the end of its stop the storages stay out of reach,
    // then the buttons come back by themselves.
    ASSERT_TRUE(eventually([&] {
        const Manager::Buttons now = buttons();
        return now.create && now.startShown && now.startEnabled && !now.pauseShown;
    }));
    EXPECT_FALSE(onController([&] { return document.isStopPending(handle); }));
    EXPECT_EQ(call("start"), json(true));
    ASSERT_TRUE(eventually([&] { return buttons().pauseShown; }));
    controller.send([&] { document.stop(handle); });
    ASSERT_TRUE(eventually([&] { return !onController([&] { return document.isStopPending(handle); }); }));
}

TEST_F(StorageManagerTest, DetailShowsUsageAndTheCoalescedRecordedIntervals) {
    SiteSettings settings;
    settings.recording.sections = {
        {1, DateTime(2024, 1, 1, 10, 0, 0), DateTime(2024, 1, 1, 10, 0, 9)},
        // 3 seconds after the first: shown together with it.
        {2, DateTime(2024, 1, 1, 10, 0, 13), DateTime(2024, 1, 1, 10, 0, 19)},
        {3, DateTime(2024, 1, 1, 10, 1, 0), DateTime(2024, 1, 1, 10, 1, 9)},
    };
    const uint16_t port = startSite(settings);
    const int handle = addSite("Lobby", 1, true, port);
    ASSERT_TRUE(eventually(
        [&] {
            ArchivingSchedule* schedule = scheduler.schedule(handle);
            const Interval recorded = schedule ? schedule->recordedInterval() : Interval();
            return recorded.to().isSet() && !(recorded.to() < DateTime(2024, 1, 1, 10, 1, 9));
        },
        std::chrono::seconds(60)));
    controller.send([&] { document.stop(handle); });
    ASSERT_TRUE(eventually([&] { return !onController([&] { return document.isStopPending(handle); }); }));
    openManager(handle);
    select({0});
    ASSERT_TRUE(buttons().detail);
    call("detail");
    auto detail = top<CStorageDetailDialog>();
    ASSERT_TRUE(detail);
    EXPECT_EQ(detail->path(), (dir / "Lobby 1.strg").string());
    EXPECT_TRUE(std::regex_match(detail->usage(), std::regex(R"(\d+ MB / 64 MB)"))) << detail->usage();
    const json state = detail->state();
    EXPECT_EQ(state["title"], "Storage Detail");
    EXPECT_EQ(state["list"]["columns"][1]["header"], "Recording Interval");
    const auto& intervals = detail->intervals();
    ASSERT_EQ(intervals.size(), 2u);
    EXPECT_EQ(intervals[0].from(), DateTime(2024, 1, 1, 10, 0, 0));
    EXPECT_FALSE(intervals[0].to() < DateTime(2024, 1, 1, 10, 0, 19));
    EXPECT_EQ(intervals[1].from(), DateTime(2024, 1, 1, 10, 1, 0));
    EXPECT_EQ(state["list"]["rows"][1]["cells"][1], CStorageListCtrl::periodText(intervals[1]));
    onController([&] { return dialogs.call(detail->id(), "ok", json::object()).has_value(); });
    EXPECT_FALSE(detail->isOpen());
}

TEST_F(StorageManagerTest, AClosedManagerHearsNoMoreReports) {
    const int handle = addSite("Lobby", 1);
    bool closed = false;
    manager = onController([&] {
        return Manager::open({dialogs, document, scheduler, sites, logger, dir.string()}, handle, &view,
                             [&] { closed = true; });
    });
    call("close");
    EXPECT_TRUE(closed);
    EXPECT_FALSE(manager->isOpen());
    std::weak_ptr<Manager> weak = manager;
    manager.reset();
    EXPECT_TRUE(weak.expired());
    // A report passed on after the dialog is gone reaches nothing (ASan would see it).
    controller.send([&] { view.handleMessage(Message{Msg::ScheduleStopped, handle, 0}); });
}
