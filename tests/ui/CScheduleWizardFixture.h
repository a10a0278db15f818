#pragma once

// The schedule wizard's tests: the application's controller thread, document,
// view and dialog host over a database of their own, a simulated site, and
// the wizard opened as the "New Schedule" command opens it. Every call goes
// through the dialog host as the page's would.

#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteContainer.h"
#include "app/persistence/SiteStorage.h"
#include "app/persistence/StorageGroupFile.h"
#include "app/persistence/SystemLogger.h"
#include "app/scheduling/ArchivingScheduler.h"
#include "app/scheduling/EventManager.h"
#include "app/ui/CArchivingSchedulePage.h"
#include "app/ui/CMainFrame.h"
#include "app/ui/CQuickStoragePage.h"
#include "app/ui/CScheduleWizard.h"
#include "app/ui/CScheduleWizardWorker.h"
#include "app/ui/CSchedulePage.h"
#include "app/ui/CSitePage.h"
#include "app/ui/CSiteListView.h"
#include "app/ui/CTidevaultDoc.h"
#include "app/ui/ControllerThread.h"
#include "app/ui/DialogHost.h"
#include "app/ui/MessageBoxDialog.h"
#include "app/ui/PageHub.h"
#include "base/Exception.h"
#include "database/DataWarehouse.h"
#include "ostrel-sitesim/SiteServer.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <unistd.h>

namespace ostrel::testing {

class ScheduleWizardTest : public ::testing::Test {
protected:
    using json = nlohmann::json;

    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("ostrel-wizard-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        storages = dir / "Ostrel Storages";
        std::filesystem::create_directories(storages);
        warehouse.open((dir / "app.db").string());
        sites.load();
        logger.load();
        document.setView(&view);
        document.setStoragesFolder(storages.string() + "/");
        controller.setHandler(&frame);
        controller.start();
        controller.send([&] {
            view.create(Clock::system());
            document.loadSchedules();
        });
        ASSERT_TRUE(eventually([&] {
            bool loaded = false;
            controller.send([&] { loaded = document.schedulesLoaded() && !document.isLoading(); });
            return loaded;
        }));
        site = startSite(SiteSettings());
        port = site->port();
    }

    // A simulated site on a free loopback port within the wizard's port range
    // (1501 to 32001; the system's own choice lies above it).
    static std::unique_ptr<SiteServer> startSite(SiteSettings settings) {
        static int attempt = 0;
        for (int i = 0; i < 200; ++i, ++attempt) {
            settings.port = static_cast<uint16_t>(20000 + (::getpid() * 37 + attempt * 101) % 12000);
            auto server = std::make_unique<SiteServer>(settings);
            try {
                server->start();
                return server;
            } catch (const Exception&) {
                // taken: the next one
            }
        }
        ADD_FAILURE() << "no free port for a simulated site";
        return std::make_unique<SiteServer>(SiteSettings());
    }

    void TearDown() override {
        controller.send([&] { dialogs.closeAll(); });
        wizard.reset();
        controller.stop();
        document.joinLoader();
        view.destroy();
        site->stop();
        // The wizards' threads end on their own once their wizard has gone.
        EXPECT_TRUE(eventually([] { return CScheduleWizardWorker::runningThreads() == 0; }));
        sites.unload();
        logger.unload();
        warehouse.close();
        std::filesystem::remove_all(dir);
    }

    // Opens the wizard as the toolbar's "New Schedule" does.
    void openWizard() {
        controller.send([&] {
            const auto before = dialogs.openIds();
            document.onCommand(Command::NewSchedule, -1);
            for (int id : dialogs.openIds()) {
                if (std::find(before.begin(), before.end(), id) == before.end()) {
                    wizardId = id;
                    wizard = std::dynamic_pointer_cast<CScheduleWizard>(dialogs.dialog(id));
                }
            }
        });
        ASSERT_TRUE(wizard);
    }

    // Runs on the controller thread and returns what `f` returns.
    template <typename F>
    auto onController(F f) {
        decltype(f()) result{};
        controller.send([&] { result = f(); });
        return result;
    }

    // A call of the page: {page: the page shown, values}.
    json call(const std::string& function, const json& values = json::object()) {
        return onController([&] {
            auto result = dialogs.call(wizardId, function, {{"page", wizard->pageIndex()}, {"values", values}});
            return result ? *result : json("closed");
        });
    }
    json state() {
        return onController([&] { return wizard->state(); });
    }
    int pageIndex() {
        return onController([&] { return wizard->pageIndex(); });
    }
    bool wizardOpen() {
        return onController([&] { return dialogs.isOpen(wizardId); });
    }

    // The text of the newest message box, "" when none is open.
    std::string message() {
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
    // Answers the newest message box; false when none is open.
    bool answer(int button) {
        return onController([&] {
            int last = -1;
            for (int id : dialogs.openIds()) {
                if (std::dynamic_pointer_cast<MessageBoxDialog>(dialogs.dialog(id))) {
                    last = id;
                }
            }
            return last >= 0 && dialogs.call(last, "answer", {{"button", button}}).has_value();
        });
    }
    // Every open message box's text, oldest first, each answered with OK / No.
    std::vector<std::string> dismissAll() {
        std::vector<std::string> texts;
        for (std::string text = message(); !text.empty(); text = message()) {
            texts.push_back(text);
            controller.send([&] {
                for (int id : dialogs.openIds()) {
                    if (auto box = std::dynamic_pointer_cast<MessageBoxDialog>(dialogs.dialog(id))) {
                        box->cancel();
                        break;
                    }
                }
            });
        }
        return texts;
    }

    // Page 1 filled in for the simulated site, then Next.
    void passSitePage(const std::string& name = "Lobby", const std::string& password = "admin") {
        call("change", {{"name", name}, {"address", "127.0.0.1"}, {"port", std::to_string(port)}, {"user", "admin"},
                        {"password", password}});
        call("next");
        ASSERT_EQ(message(), "");
        ASSERT_EQ(pageIndex(), 1);
    }
    // Pages 1 to 3 with their defaults (archive always from the first data).
    void goToStoragePage(const std::string& name = "Lobby") {
        passSitePage(name);
        call("next");
        call("next");
        ASSERT_EQ(pageIndex(), 3);
    }

    // A site kept in the container with a group of its own (one small storage).
    UniqueID addSite(const std::string& name, const std::filesystem::path& groupFile,
                     const std::vector<std::string>& storageFiles = {}) {
        const UniqueID id;
        std::vector<std::pair<std::string, uint64_t>> files;
        for (const auto& path : storageFiles) {
            files.emplace_back(path, SiteStorage::storageBytes(0.064));
        }
        std::filesystem::create_directories(groupFile.parent_path());
        std::string error;
        EXPECT_TRUE(SiteStorage::createGroup(groupFile.string(), id, files, &error)) << error;
        RecordSite record(id);
        record.setName(name);
        record.setConnection("127.0.0.1", port, "admin", "admin");
        record.setStorageGroupFile(groupFile.string());
        EXPECT_TRUE(onController([&] { return sites.add(record); }));
        return id;
    }

    static std::string slurp(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    std::filesystem::path dir;
    std::filesystem::path storages;
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
    uint16_t port = 0;
    int wizardId = -1;
    std::shared_ptr<CScheduleWizard> wizard;
};

} // namespace ostrel::testing
