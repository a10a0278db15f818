#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteContainer.h"
#include "app/persistence/SiteStorage.h"
#include "app/persistence/StorageGroupFile.h"
#include "app/persistence/SystemLogger.h"
#include "app/scheduling/ArchivingScheduler.h"
#include "app/scheduling/ArchivingEvent.h"
#include "app/scheduling/EventManager.h"
#include "app/scheduling/LogCodes.h"
#include "app/ui/CMainFrame.h"
#include "app/ui/CSiteListView.h"
#include "app/ui/CTidevaultDoc.h"
#include "app/ui/ControllerThread.h"
#include "app/ui/DialogHost.h"
#include "app/ui/MessageBoxDialog.h"
#include "app/ui/PageHub.h"
#include "base/File.h"
#include "database/DataWarehouse.h"
#include "ostrel-sitesim/SiteServer.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace ostrel;
using ostrel::testing::eventually;

namespace {

class DocumentTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("ostrel-doc-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        warehouse.open((dir / "app.db").string());
        sites.load();
        logger.load();
        document.setView(&view);
        controller.setHandler(&frame);
        controller.start();
        page = pages.connect();
        controller.send([&] {
            view.create(Clock::system());
            document.loadSchedules();
        });
        ASSERT_TRUE(eventually([&] {
            bool loaded = false;
            controller.send([&] { loaded = document.schedulesLoaded() && !document.isLoading(); });
            return loaded;
        }));
        port = site.start();
    }

    void TearDown() override {
        controller.stop();
        document.joinLoader();
        view.destroy();
        site.stop();
        sites.unload();
        logger.unload();
        warehouse.close();
        std::filesystem::remove_all(dir);
    }

    NewScheduleRequest request(const std::string& name, int storages = 1) {
        NewScheduleRequest r;
        r.siteId = UniqueID();
        r.name = name;
        r.address = "127.0.0.1";
        r.port = port;
        r.user = "admin";
        r.password = "admin";
        r.archiveFrom = RecordSite::ArchiveFromFirst;
        r.groupFilePath = (dir / (name + ".strgx")).string();
        for (int i = 1; i <= storages; ++i) {
            r.storagePaths.push_back((dir / (name + " " + std::to_string(i) + ".strg")).string());
        }
        r.storageSize = SiteStorage::storageBytes(0.064);
        return r;
    }

    // Runs on the controller thread and returns what `f` returns.
    template <typename F>
    auto onController(F f) {
        decltype(f()) result{};
        controller.send([&] { result = f(); });
        return result;
    }

    int siteStatus(int handle) {
        return onController([&] {
            RecordSite* s = sites.findByHandle(handle);
            return s ? s->status() : -1;
        });
    }

    std::vector<int> loggedCodes(const UniqueID& owner) {
        return onController([&] {
            std::vector<int> codes;
            logger.query(Date(1970, 1, 1), Date(2100, 12, 31), owner);
            for (const auto& [id, entry] : logger.entries()) {
                codes.push_back(entry.code());
            }
            return codes;
        });
    }

    std::vector<std::string> pageCalls() {
        std::vector<std::string> events, calls;
        while (page->take(events, std::chrono::milliseconds(0)) == PageChannel::Take::Events) {
            for (const auto& e : events) {
                calls.push_back(nlohmann::json::parse(e)["fn"]);
            }
        }
        return calls;
    }

    std::string openMessage() {
        return onController([&] {
            std::string text;
            for (int id : dialogs.openIds()) {
                if (auto box = std::dynamic_pointer_cast<MessageBoxDialog>(dialogs.dialog(id))) {
                    text = box->text();
                }
            }
            return text;
        });
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
    std::shared_ptr<PageChannel> page;
    SiteServer site{SiteSettings()};
    uint16_t port = 0;
};

} // namespace

TEST_F(DocumentTest, NewScheduleCreatesTheGroupAndTheSiteAddsItsRowAndStartsIt) {
    const NewScheduleRequest r = request("Lobby", 2);
    const int handle = onController([&] { return document.newSchedule(r); });
    ASSERT_GE(handle, 0);
    EXPECT_TRUE(File::exists(r.groupFilePath));
    EXPECT_TRUE(File::exists(r.storagePaths[1]));
    EXPECT_TRUE(onController([&] { return document.hasScheduledArchive(handle); }));
    const auto calls = pageCalls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "schedule.addSchedule"), calls.end());
    ASSERT_TRUE(eventually([&] { return siteStatus(handle) == RecordSite::StatusArchiving; }));
    EXPECT_TRUE(onController([&] { return sites.findByHandle(handle)->archiving(); }));
    auto codes = loggedCodes(r.siteId);
    ASSERT_GE(codes.size(), 2u);
    EXPECT_EQ(codes[0], LogCode::ScheduleAdded);
    EXPECT_EQ(codes[1], LogCode::StartArchiving);

    controller.send([&] { document.stop(handle); });
    ASSERT_TRUE(eventually([&] { return siteStatus(handle) == RecordSite::StatusStopped; }));
    EXPECT_FALSE(onController([&] { return document.isStopPending(handle); }));
    codes = loggedCodes(r.siteId);
    EXPECT_EQ(codes.back(), LogCode::ArchivingStopped);
}

// Damage a storage took out of use is logged, and the site goes on archiving
// (any other storage event fails it).
TEST_F(DocumentTest, DamageTakenOutOfUseIsLoggedAndTheSiteKeepsArchiving) {
    const NewScheduleRequest r = request("Lobby", 1);
    const int handle = onController([&] { return document.newSchedule(r); });
    ASSERT_GE(handle, 0);
    ASSERT_TRUE(eventually([&] { return siteStatus(handle) == RecordSite::StatusArchiving; }));
    events.post(ArchivingEvent{handle, ArchivingEvent::StorageDamaged, 0, r.storagePaths[0] + ": MDEA page 9 damaged"});
    ASSERT_TRUE(eventually([&] {
        const auto codes = loggedCodes(r.siteId);
        return std::find(codes.begin(), codes.end(), LogCode::RecordingStorageBad) != codes.end();
    })) << ::testing::PrintToString(loggedCodes(r.siteId)) << " status " << siteStatus(handle);
    // The view has handled the event once a message posted after it has run.
    controller.send([] {});
    EXPECT_EQ(siteStatus(handle), RecordSite::StatusArchiving);
    EXPECT_TRUE(onController([&] { return sites.findByHandle(handle)->archiving(); }));
}

TEST_F(DocumentTest, AStorageGroupThatCannotBeCreatedDeletesTheScheduleMadeForIt) {
    NewScheduleRequest r = request("Nowhere");
    r.groupFilePath = (dir / "missing folder" / "Nowhere.strgx").string();
    EXPECT_EQ(onController([&] { return document.newSchedule(r); }), -1);
    EXPECT_EQ(scheduler.schedule(0), nullptr);
    EXPECT_EQ(scheduler.totalStorageCount(), 0);
    EXPECT_EQ(openMessage(), "Cannot create storage group");
    EXPECT_TRUE(onController([&] { return sites.sites(false).empty(); }));
}

TEST_F(DocumentTest, AStartWaitsUntilThePendingStopHasCompleted) {
    const int handle = onController([&] { return document.newSchedule(request("Gate")); });
    ASSERT_TRUE(eventually([&] { return siteStatus(handle) == RecordSite::StatusArchiving; }));
    controller.send([&] {
        document.stop(handle);
        document.start(handle, true);
        // The schedule is still finishing: the start waits for its end.
        EXPECT_TRUE(document.isStopPending(handle));
        EXPECT_FALSE(sites.findByHandle(handle)->archiving());
    });
    ASSERT_TRUE(eventually([&] {
        return onController([&] { return !document.isStopPending(handle) && sites.findByHandle(handle)->archiving(); });
    }));
    ASSERT_TRUE(eventually([&] { return siteStatus(handle) == RecordSite::StatusArchiving; }));
}

TEST_F(DocumentTest, DeletingAnArchivingSiteIsRefusedAndAStoppedOneKeepsItsFilesWhenAsked) {
    const NewScheduleRequest r = request("Annex");
    const int handle = onController([&] { return document.newSchedule(r); });
    ASSERT_TRUE(eventually([&] { return siteStatus(handle) == RecordSite::StatusArchiving; }));
    auto answerDelete = [&](bool deleteFiles) {
        controller.send([&] {
            document.confirmDelete(handle);
            const int id = dialogs.openIds().back();
            dialogs.call(id, "answer", {{"button", Answer::Yes}, {"checked", deleteFiles}});
        });
    };
    answerDelete(true);
    EXPECT_EQ(openMessage(), "Please stop archiving before delete the schedule.");
    EXPECT_NE(onController([&] { return sites.findByHandle(handle); }), nullptr);
    controller.send([&] { dialogs.closeAll(); document.stop(handle); });
    ASSERT_TRUE(eventually([&] { return !onController([&] { return document.isStopPending(handle); }); }));
    page = pages.connect(); // a fresh page: the archiving above may have filled the first one's queue
    answerDelete(false);
    EXPECT_EQ(onController([&] { return sites.findByHandle(handle); }), nullptr);
    EXPECT_EQ(scheduler.schedule(handle), nullptr);
    EXPECT_TRUE(File::exists(r.storagePaths[0]));
    EXPECT_EQ(loggedCodes(r.siteId).back(), LogCode::ScheduleDeleted);
    const auto calls = pageCalls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "schedule.deleteSchedule"), calls.end());
}

TEST_F(DocumentTest, DeletingStorageFilesRemovesOnlyTheSitesOwn) {
    const UniqueID siteId;
    const UniqueID otherId;
    const std::string group = (dir / "own.strgx").string();
    const std::string own = (dir / "own 1.strg").string();
    const std::string foreign = (dir / "foreign.strg").string();
    ASSERT_TRUE(SiteStorage::createGroup(group, siteId, {{own, SiteStorage::storageBytes(0.064)}}));
    ASSERT_TRUE(SiteStorage::createStorageFile(foreign, SiteStorage::storageBytes(0.064), otherId));
    {
        StorageGroupFile file;
        ASSERT_TRUE(file.load(group));
        file.addStorage(foreign);
        file.saveAndClose();
    }
    controller.send([&] { document.deleteStorageFiles(group, siteId); });
    EXPECT_FALSE(File::exists(own));
    EXPECT_TRUE(File::exists(foreign));
    EXPECT_FALSE(File::exists(group));
}

TEST_F(DocumentTest, RowArgumentsFollowThePagesConventions) {
    RecordSite site{UniqueID()};
    site.setName("O'Brien\\Lab");
    site.setSchedule(nullptr, 4);
    site.setStorageUsage(1500000000ull, 4000000000ull);
    site.setStatus(RecordSite::StatusStopped);
    const auto args = CSiteListView::rowArguments(site);
    EXPECT_EQ(args[0], 4);
    EXPECT_EQ(args[1], "O'Brien\\Lab");
    EXPECT_EQ(args[4], 1500);
    EXPECT_EQ(args[5], 4000);
    EXPECT_EQ(args[8], "");
    const int statuses[][2] = {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 4}, {9, 2}};
    for (const auto& s : statuses) {
        EXPECT_EQ(CSiteListView::pageStatus(s[0]), s[1]);
    }
}
