#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteContainer.h"
#include "app/persistence/SystemLogger.h"
#include "app/scheduling/LogCodes.h"
#include "app/ui/CLogDialog.h"
#include "app/ui/ControllerThread.h"
#include "app/ui/DialogHost.h"
#include "app/ui/MessageBoxDialog.h"
#include "app/ui/PageHub.h"
#include "base/ManualClock.h"
#include "database/DataWarehouse.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using namespace ostrel;

namespace {

class LogDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("ostrel-log-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        warehouse.open((dir / "app.db").string());
        ASSERT_TRUE(sites.load());
        ASSERT_TRUE(logger.load());
        lobby = addSite("Lobby");
        gate = addSite("gate");
        annex = addSite("Annex");
        ASSERT_TRUE(sites.remove(*sites.findById(gate)));
    }

    void TearDown() override {
        dialogs.closeAll();
        sites.unload();
        logger.unload();
        warehouse.close();
        std::filesystem::remove_all(dir);
    }

    UniqueID addSite(const std::string& name) {
        RecordSite site{UniqueID()};
        site.setName(name);
        EXPECT_TRUE(sites.add(site));
        return site.id();
    }

    // `count` entries of `owner`, one a minute from `start`.
    void write(const UniqueID& owner, int count, const DateTime& start = DateTime(2024, 5, 1, 8, 0, 0)) {
        clock.set(start);
        for (int i = 0; i < count; ++i) {
            logger.log(owner, LogCode::StartArchiving, "entry " + std::to_string(i));
            clock.advanceSeconds(60);
        }
    }

    std::shared_ptr<CLogDialog> open() {
        auto dialog = std::make_shared<CLogDialog>(sites, logger, clock);
        dialog->initialize();
        dialogs.open(dialog);
        return dialog;
    }

    std::string openMessage() const {
        std::string text;
        for (int id : dialogs.openIds()) {
            if (auto box = std::dynamic_pointer_cast<MessageBoxDialog>(dialogs.dialog(id))) {
                text = box->text();
            }
        }
        return text;
    }

    // The buttons "<<", "<", ">", ">>" as enabled or not.
    static std::vector<bool> buttons(const CLogDialog& d) {
        return {d.firstEnabled(), d.previousEnabled(), d.nextEnabled(), d.lastEnabled()};
    }

    std::filesystem::path dir;
    DataWarehouse warehouse;
    ManualClock clock{DateTime(2024, 5, 1, 8, 0, 0)};
    SiteContainer sites{warehouse};
    SystemLogger logger{warehouse, SystemLogger::RowCap, clock};
    ControllerThread controller;
    PageHub pages{controller};
    DialogHost dialogs{pages};
    UniqueID lobby, gate, annex;
};

} // namespace

TEST_F(LogDialogTest, OpensOnEveryEntryOfEverySiteWithTheSitesAndTheDeletedOnesInTheCombo) {
    write(lobby, 2);
    write(gate, 1, DateTime(2024, 5, 1, 9, 0, 0));
    auto d = open();
    const nlohmann::json s = d->state();
    EXPECT_EQ(s["title"], "Log - Ostrel 1.0");
    EXPECT_EQ(s["sites"], (nlohmann::json{"(All Sites)", "Annex", "gate(deleted)", "Lobby"}));
    EXPECT_EQ(s["site"], 0);
    EXPECT_FALSE(s["fromChecked"].get<bool>());
    EXPECT_FALSE(s["fromEnabled"].get<bool>());
    EXPECT_EQ(s["from"], "2024/05/01"); // today
    ASSERT_EQ(d->rows().size(), 3u);
    // Newest first, every column as the list shows it.
    EXPECT_EQ(d->rows()[0].level, "Info");
    EXPECT_EQ(d->rows()[0].time, "2024/05/01 09:00:00");
    EXPECT_EQ(d->rows()[0].site, "gate(deleted)");
    EXPECT_EQ(d->rows()[0].message, "Start archiving : entry 0");
    EXPECT_EQ(d->rows()[1].time, "2024/05/01 08:01:00");
    EXPECT_EQ(d->rows()[2].site, "Lobby");
    EXPECT_EQ(s["columns"][1]["header"], "Level");
    EXPECT_EQ(s["columns"][4]["header"], "Message");
    EXPECT_EQ(openMessage(), ""); // no "No data found." at opening
}

TEST_F(LogDialogTest, AHundredEntriesMakeOnePageAndAHundredAndOneMakeTwo) {
    write(lobby, 100);
    auto d = open();
    EXPECT_EQ(d->pageLabel(), "1 / 1");
    EXPECT_EQ(d->rows().size(), 100u);
    EXPECT_EQ(buttons(*d), (std::vector<bool>{false, false, false, false}));

    write(lobby, 1, DateTime(2024, 5, 1, 7, 0, 0)); // the oldest by time, the newest by row
    d->search(0);
    EXPECT_EQ(d->pageLabel(), "1 / 2");
    EXPECT_EQ(d->rows().size(), 100u);
    EXPECT_EQ(d->rows()[0].time, "2024/05/01 07:00:00"); // newest first means last written first
    EXPECT_EQ(buttons(*d), (std::vector<bool>{false, false, true, true}));

    d->lastPage();
    EXPECT_EQ(d->pageLabel(), "2 / 2");
    ASSERT_EQ(d->rows().size(), 1u);
    EXPECT_EQ(d->rows()[0].message, "Start archiving : entry 0"); // the single oldest entry
    EXPECT_EQ(d->rows()[0].time, "2024/05/01 08:00:00");
    EXPECT_EQ(buttons(*d), (std::vector<bool>{true, true, false, false}));
    d->nextPage(); // nothing after the last page
    EXPECT_EQ(d->pageLabel(), "2 / 2");

    d->previousPage();
    EXPECT_EQ(d->pageLabel(), "1 / 2");
    EXPECT_EQ(d->rows().size(), 100u);
    EXPECT_EQ(buttons(*d), (std::vector<bool>{false, false, true, true}));
    d->previousPage(); // nothing before the first
    EXPECT_EQ(d->pageLabel(), "1 / 2");
    d->nextPage();
    EXPECT_EQ(d->pageLabel(), "2 / 2");
    d->firstPage();
    EXPECT_EQ(d->pageLabel(), "1 / 2");
}

TEST_F(LogDialogTest, PagingThroughThreePagesAsThePageDoes) {
    write(annex, 205);
    auto d = open();
    const int id = d->id();
    EXPECT_EQ(d->pageLabel(), "1 / 3");
    dialogs.call(id, "next", {});
    EXPECT_EQ(d->state()["page"], "2 / 3");
    EXPECT_EQ(d->rows().front().message, "Start archiving : entry 104");
    EXPECT_EQ(d->rows().back().message, "Start archiving : entry 5");
    EXPECT_EQ(buttons(*d), (std::vector<bool>{true, true, true, true}));
    dialogs.call(id, "last", {});
    EXPECT_EQ(d->state()["page"], "3 / 3");
    EXPECT_EQ(d->rows().size(), 5u);
    EXPECT_EQ(d->rows().back().message, "Start archiving : entry 0");
    dialogs.call(id, "previous", {});
    EXPECT_EQ(d->state()["page"], "2 / 3");
    dialogs.call(id, "first", {});
    EXPECT_EQ(d->rows().front().message, "Start archiving : entry 204");
}

TEST_F(LogDialogTest, AnEmptyResultShowsNoRowsOneEmptyPageAndSaysSoAfterSearch) {
    auto d = open();
    EXPECT_TRUE(d->rows().empty());
    EXPECT_EQ(d->pageLabel(), "1 / 1");
    EXPECT_EQ(buttons(*d), (std::vector<bool>{false, false, false, false}));
    EXPECT_EQ(openMessage(), "");
    d->lastPage(); // nothing to show
    EXPECT_EQ(d->pageLabel(), "1 / 1");
    dialogs.call(d->id(), "search", {});
    EXPECT_EQ(openMessage(), "No data found.");
    EXPECT_EQ(d->pageLabel(), "1 / 1");
}

TEST_F(LogDialogTest, FromAndToOfTheSameDayShowThatDaysEntriesOnly) {
    write(lobby, 3, DateTime(2024, 4, 30, 23, 58, 0));  // 23:58, 23:59 on the 30th, 00:00 on the 1st
    write(lobby, 2, DateTime(2024, 5, 1, 23, 59, 0));   // 23:59 on the 1st, 00:00 on the 2nd
    write(annex, 1, DateTime(2024, 5, 1, 12, 0, 0));
    auto d = open();
    EXPECT_EQ(d->entryCount(), 6u);
    dialogs.call(d->id(), "edit", {{"fromChecked", true}, {"from", "2024/05/01"}, {"toChecked", true}, {"to", "2024/05/01"}});
    EXPECT_TRUE(d->state()["fromEnabled"].get<bool>());
    EXPECT_TRUE(d->state()["toEnabled"].get<bool>());
    dialogs.call(d->id(), "search", {});
    ASSERT_EQ(d->rows().size(), 3u);
    // Newest written first.
    EXPECT_EQ(d->rows()[0].time, "2024/05/01 12:00:00");
    EXPECT_EQ(d->rows()[1].time, "2024/05/01 23:59:00");
    EXPECT_EQ(d->rows()[2].time, "2024/05/01 00:00:00");
    // Only "From": that day and everything after it.
    dialogs.call(d->id(), "edit", {{"toChecked", false}});
    dialogs.call(d->id(), "search", {});
    EXPECT_EQ(d->rows().size(), 4u);
    // A range that holds nothing.
    dialogs.call(d->id(), "edit", {{"from", "2024/05/03"}});
    dialogs.call(d->id(), "search", {});
    EXPECT_TRUE(d->rows().empty());
    EXPECT_EQ(openMessage(), "No data found.");
}

TEST_F(LogDialogTest, TheSiteComboNarrowsToOneSiteDeletedOnesIncluded) {
    write(lobby, 2);
    write(gate, 3, DateTime(2024, 5, 1, 10, 0, 0));
    write(annex, 1, DateTime(2024, 5, 1, 11, 0, 0));
    auto d = open();
    EXPECT_EQ(d->entryCount(), 6u);
    dialogs.call(d->id(), "edit", {{"site", 2}}); // "gate(deleted)"
    dialogs.call(d->id(), "search", {});
    ASSERT_EQ(d->rows().size(), 3u);
    for (const auto& row : d->rows()) {
        EXPECT_EQ(row.site, "gate(deleted)");
    }
    dialogs.call(d->id(), "edit", {{"site", 0}});
    dialogs.call(d->id(), "search", {});
    EXPECT_EQ(d->rows().size(), 6u);
}

TEST_F(LogDialogTest, MessagesAndSitesAreWrittenAsTheListShowsThem) {
    logger.log(lobby, LogCode::StorageAdded, "/srv/ostrel/Lobby 01.strg");
    logger.error(lobby, LogCode::ConnectionRefused);
    logger.log(UniqueID(), LogCode::ScheduleAdded); // a site nobody knows
    logger.write(7, lobby, 99, "odd");
    auto d = open();
    ASSERT_EQ(d->rows().size(), 4u);
    EXPECT_EQ(d->rows()[0].level, "");
    EXPECT_EQ(d->rows()[0].message, " : odd");
    EXPECT_EQ(d->rows()[1].site, "(unknown site)");
    EXPECT_EQ(d->rows()[1].message, "Schedule added");
    EXPECT_EQ(d->rows()[2].level, "Error");
    EXPECT_EQ(d->rows()[2].message, logCodeText(LogCode::ConnectionRefused));
    EXPECT_EQ(d->rows()[3].message, "Storage added : /srv/ostrel/Lobby 01.strg");
    EXPECT_EQ(d->rows()[3].level, "Info");
}

TEST_F(LogDialogTest, ValuesThePageCannotSendAreRefused) {
    auto d = open();
    for (const nlohmann::json& args : {nlohmann::json{{"from", "2024/13/01"}}, nlohmann::json{{"to", "yesterday"}},
                                       nlohmann::json{{"from", "2024/05/01 10:00:00"}},
                                       nlohmann::json{{"site", 4}}, nlohmann::json{{"site", -1}},
                                       nlohmann::json{{"fromChecked", 1}}, nlohmann::json{{"owner", "x"}}}) {
        EXPECT_THROW(d->call("edit", args), std::invalid_argument) << args.dump();
    }
    EXPECT_EQ(d->state()["site"], 0);
    EXPECT_EQ(d->state()["from"], "2024/05/01");
}
