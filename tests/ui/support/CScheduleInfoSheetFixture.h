#pragma once

// The application's controller side as the info sheet and the reschedule
// dialog meet it: a database in a temporary folder, the sites, the log, a
// scheduler with the main view as its listener, the document, the dialogs
// and one page, plus simulated sites on ports the site page accepts.

#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteContainer.h"
#include "app/persistence/SiteStorage.h"
#include "app/persistence/SystemLogger.h"
#include "app/scheduling/ArchivingSchedule.h"
#include "app/scheduling/ArchivingScheduler.h"
#include "app/scheduling/EventManager.h"
#include "app/ui/CMainFrame.h"
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

#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace ostrel::testing {

class InfoDialogFixture : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("ostrel-info-" + std::to_string(::getpid()) + "-" +
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
    }

    void TearDown() override {
        controller.send([&] { dialogs.closeAll(); });
        controller.stop();
        document.joinLoader();
        view.destroy();
        for (auto& server : servers) {
            server->stop();
        }
        sites.unload();
        logger.unload();
        warehouse.close();
        std::filesystem::remove_all(dir);
    }

    // Runs on the controller thread and returns what `f` returns.
    template <typename F>
    auto onController(F f) {
        decltype(f()) result{};
        controller.send([&] { result = f(); });
        return result;
    }

    // A simulated site listening on a port between 1501 and 32001 (the site
    // page refuses the others).
    uint16_t startSite() {
        const int base = 2000 + static_cast<int>((::getpid() * 37 + servers.size() * 101) % 28000);
        for (int i = 0; i < 200; ++i) {
            SiteSettings settings;
            settings.port = static_cast<uint16_t>(base + (i * 131) % 29000);
            if (settings.port < 1501 || settings.port > 32001) {
                continue;
            }
            auto server = std::make_unique<SiteServer>(settings);
            try {
                const uint16_t port = server->start();
                servers.push_back(std::move(server));
                return port;
            } catch (const Exception&) {
            }
        }
        ADD_FAILURE() << "no free port between 1501 and 32001";
        return 0;
    }

    // A site of the document with one small storage; archiving always (and so
    // started at once) unless `always` is false, then its period is 03:00:00
    // to 03:00:01 and it stays stopped.
    int addSite(const std::string& name, uint16_t port, bool always = true, const std::string& password = "admin") {
        NewScheduleRequest r;
        r.siteId = UniqueID();
        r.name = name;
        r.address = "127.0.0.1";
        r.port = port;
        r.user = "admin";
        r.password = password;
        r.archiveFrom = RecordSite::ArchiveFromFirst;
        r.alwaysArchive = always;
        r.dailyStart = Time(3, 0, 0);
        r.dailyStop = Time(3, 0, 1);
        r.groupFilePath = (dir / (name + ".strgx")).string();
        r.storagePaths.push_back((dir / (name + " 1.strg")).string());
        r.storageSize = SiteStorage::storageBytes(0.064);
        return onController([&] { return document.newSchedule(r); });
    }

    RecordSite siteCopy(int handle) {
        return onController([&] {
            RecordSite* s = sites.findByHandle(handle);
            return s ? *s : RecordSite(UniqueID::nil());
        });
    }

    int siteStatus(int handle) {
        return onController([&] {
            RecordSite* s = sites.findByHandle(handle);
            return s ? s->status() : -1;
        });
    }

    struct Logged {
        int level;
        int code;
        std::string text;
    };
    std::vector<Logged> logged(const UniqueID& owner) {
        return onController([&] {
            std::vector<Logged> entries;
            logger.query(Date(1970, 1, 1), Date(2100, 12, 31), owner);
            for (const auto& [id, entry] : logger.entries()) {
                entries.push_back({entry.level(), entry.code(), entry.text()});
            }
            return entries;
        });
    }

    // The text of the newest open message box ("" when none is open).
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

    // Answers the newest open message box.
    void answer(int button) {
        controller.send([&] {
            for (int id : dialogs.openIds()) {
                if (std::dynamic_pointer_cast<MessageBoxDialog>(dialogs.dialog(id))) {
                    dialogs.call(id, "answer", {{"button", button}});
                    return;
                }
            }
        });
    }

    // Every call the page got so far, encoded.
    std::vector<std::string> pageEvents() {
        std::vector<std::string> events, all;
        while (page->take(events, std::chrono::milliseconds(0)) == PageChannel::Take::Events) {
            all.insert(all.end(), events.begin(), events.end());
        }
        return all;
    }

    std::filesystem::path dir;
    DataWarehouse warehouse;
    SiteContainer sites{warehouse};
    SystemLogger logger{warehouse};
    ArchivingScheduler scheduler;
    EventManager events{[&](int handle) { return scheduler.siteIdOf(handle); },
                        [&](const UniqueID& owner, int code, const std::string& text) {
                            logger.error(owner, code, text);
                        }};
    ControllerThread controller;
    PageHub pages{controller};
    DialogHost dialogs{pages};
    CTidevaultDoc document{controller, dialogs, scheduler, sites, logger};
    CSiteListView view{controller, pages, dialogs, document, scheduler, sites, logger, events};
    CMainFrame frame{dialogs, view, document, [] {}};
    std::shared_ptr<PageChannel> page;
    std::vector<std::unique_ptr<SiteServer>> servers;
};

} // namespace ostrel::testing
