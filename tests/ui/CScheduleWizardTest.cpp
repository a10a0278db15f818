// The schedule wizard's pages 1 to 3 and page 2's "Load" against a simulated site.

#include "CScheduleWizardFixture.h"

#include "app/scheduling/LogCodes.h"

using namespace ostrel;
using namespace ostrel::testing;
using json = nlohmann::json;

namespace {
const std::string PortText = "Playback port must be between 1501 ~ 32001.";
const std::string ForbiddenText = "Name must not contain such characters : \\ / : * ? \" < > |";
} // namespace

TEST_F(ScheduleWizardTest, OpensOnPageOneWithItsDefaultsAndOnlyOnce) {
    openWizard();
    const json s = state();
    EXPECT_EQ(s["title"], "Schedule Wizard : 1. Site");
    EXPECT_EQ(s["site"]["name"], "New Site");
    EXPECT_EQ(s["site"]["port"], "10102");
    EXPECT_EQ(s["site"]["users"], json({"Administrator", "Admin", "User"}));
    EXPECT_FALSE(s["site"].contains("password"));
    EXPECT_FALSE(s["back"]);
    EXPECT_FALSE(s["next"]) << "the address and the user are empty";
    EXPECT_EQ(s["schedule"]["choice"], 1);
    EXPECT_EQ(s["archiving"]["always"], true);
    EXPECT_EQ(s["archiving"]["start"], "00:00:00");
    EXPECT_EQ(s["archiving"]["stop"], "23:59:59");
    EXPECT_EQ(s["archiving"]["overwrite"], true);
    EXPECT_EQ(s["storage"]["size"], "4");
    EXPECT_EQ(s["storage"]["count"], "1");
    EXPECT_EQ(s["storage"]["auto"], true);

    call("change", {{"address", "10.0.0.1"}, {"user", "Admin"}});
    EXPECT_TRUE(state()["next"]);
    call("change", {{"port", ""}});
    EXPECT_FALSE(state()["next"]);

    // A second "New Schedule" while it is open opens nothing.
    const auto open = onController([&] { return dialogs.openCount(); });
    controller.send([&] { document.onCommand(Command::NewSchedule, -1); });
    EXPECT_EQ(onController([&] { return dialogs.openCount(); }), open);
}

TEST_F(ScheduleWizardTest, RefusesNamesThatCouldLeaveTheirFolderWithTheirMessages) {
    openWizard();
    call("change", {{"address", "127.0.0.1"}, {"user", "admin"}});
    const std::vector<std::pair<std::string, std::string>> cases{
        {"Lobby/East", ForbiddenText}, {"a\\b", ForbiddenText}, {"a:b", ForbiddenText}, {"a*b", ForbiddenText},
        {"a?b", ForbiddenText},        {"a\"b", ForbiddenText}, {"a<b", ForbiddenText}, {"a>b", ForbiddenText},
        {"a|b", ForbiddenText},        {".", CSitePage::DotNameText}, {"..", CSitePage::DotNameText},
        {"a\tb", CSitePage::ControlCharacterText}, {std::string("a\x7f"), CSitePage::ControlCharacterText},
    };
    for (const auto& [name, text] : cases) {
        call("change", {{"name", name}, {"port", "1500"}}); // the name is checked before the port
        call("next");
        EXPECT_EQ(message(), text) << name;
        EXPECT_TRUE(answer(Answer::OK));
        EXPECT_EQ(pageIndex(), 0) << name;
        EXPECT_EQ(state()["focus"]["field"], "name");
    }
    call("change", {{"name", "...Lobby.."}, {"port", "1501"}});
    call("next");
    EXPECT_EQ(message(), "");
    EXPECT_EQ(pageIndex(), 1);
}

TEST_F(ScheduleWizardTest, PortsOutsideTheRangeAreRefusedAndTheirTextSelected) {
    openWizard();
    call("change", {{"address", "127.0.0.1"}, {"user", "admin"}});
    for (const std::string port : {"1500", "32002", "0", "99999", "15x0", "-1"}) {
        call("change", {{"port", port}});
        call("next");
        EXPECT_EQ(message(), PortText) << port;
        EXPECT_TRUE(answer(Answer::OK));
        EXPECT_EQ(pageIndex(), 0);
        const json focus = state()["focus"];
        EXPECT_EQ(focus["field"], "port");
        EXPECT_EQ(focus["select"], true);
    }
    for (const std::string port : {"1501", "32001"}) {
        call("change", {{"port", port}});
        call("next");
        EXPECT_EQ(message(), "") << port;
        EXPECT_EQ(pageIndex(), 1) << port;
        EXPECT_EQ(onController([&] { return wizard->request().port; }), std::stoi(port));
        call("back");
    }
}

TEST_F(ScheduleWizardTest, AsksAboutASiteOfTheSameNameBeforeTheAddressIsChecked) {
    addSite("Lobby", dir / "other" / "Lobby.strgx");
    openWizard();
    call("change", {{"name", "Lobby"}, {"address", "bad address"}, {"port", "1500"}, {"user", "admin"}});
    call("next");
    EXPECT_EQ(message(), CSitePage::DuplicateNameText);
    EXPECT_TRUE(answer(Answer::No));
    EXPECT_EQ(message(), "");
    EXPECT_EQ(pageIndex(), 0);

    call("next");
    EXPECT_TRUE(answer(Answer::Yes));
    EXPECT_EQ(message(), PortText);
    EXPECT_TRUE(answer(Answer::OK));
    call("change", {{"port", "2000"}});
    call("next");
    EXPECT_TRUE(answer(Answer::Yes));
    EXPECT_EQ(message(), CSitePage::AddressText);
    EXPECT_TRUE(answer(Answer::OK));
    EXPECT_EQ(state()["focus"]["field"], "address");

    call("change", {{"address", "  nvr-1.example  "}});
    call("next");
    EXPECT_TRUE(answer(Answer::Yes));
    EXPECT_EQ(pageIndex(), 1);
    EXPECT_EQ(onController([&] { return wizard->request().address; }), "nvr-1.example");
}

TEST_F(ScheduleWizardTest, BackAndStaleCallsKeepThePagesValues) {
    openWizard();
    passSitePage();
    // A Next the page made for page 1 before it saw page 2 changes nothing.
    EXPECT_EQ(onController([&] {
                  return *dialogs.call(wizardId, "next", {{"page", 0}, {"values", {{"name", "Other"}}}});
              }),
              json(false));
    EXPECT_EQ(pageIndex(), 1);
    call("back");
    EXPECT_EQ(pageIndex(), 0);
    EXPECT_EQ(state()["site"]["name"], "Lobby");
    // Calls the wizard does not know are refused (the page gets a 400).
    auto refused = [&](const std::string& function, const json& args) {
        return onController([&] {
            try {
                dialogs.call(wizardId, function, args);
            } catch (const std::invalid_argument&) {
                return true;
            }
            return false;
        });
    };
    EXPECT_TRUE(refused("next", json::array()));
    EXPECT_TRUE(refused("erase", {{"page", 0}}));
    EXPECT_FALSE(refused("change", {{"page", 0}}));
}

TEST_F(ScheduleWizardTest, LoadListsTheSitesRecordingsMergedAndFirstLastPickTheirEnds) {
    SiteSettings settings;
    // 10:00:00-10:00:10 and 10:00:14-10:00:20 are less than 5 s apart: one row.
    settings.recording.sections = {{1, DateTime(2024, 3, 1, 10, 0, 0), DateTime(2024, 3, 1, 10, 0, 10)},
                                   {2, DateTime(2024, 3, 1, 10, 0, 14), DateTime(2024, 3, 1, 10, 0, 20)},
                                   {3, DateTime(2024, 3, 1, 11, 0, 0), DateTime(2024, 3, 2, 1, 2, 3)}};
    auto recorder = startSite(settings);
    const uint16_t recorderPort = recorder->port();
    openWizard();
    call("change", {{"name", "Lobby"}, {"address", "127.0.0.1"}, {"port", std::to_string(recorderPort)},
                    {"user", "admin"}, {"password", "admin"}});
    call("next");
    ASSERT_EQ(pageIndex(), 1);
    EXPECT_EQ(state()["title"], "Schedule Wizard : 2. Recording Data to Archive");
    EXPECT_FALSE(state()["schedule"]["timeEnabled"]);

    call("load");
    EXPECT_EQ(state()["schedule"]["status"], "Connecting...");
    ASSERT_TRUE(eventually([&] { return !state()["schedule"]["loading"].get<bool>(); }));
    const json page = state()["schedule"];
    EXPECT_EQ(page["status"], "");
    EXPECT_EQ(page["column"], "Recording Interval");
    EXPECT_EQ(page["rows"], json({"2024/03/01 10:00:00 ~ 2024/03/01 10:00:20", "2024/03/01 11:00:00 ~ 2024/03/02 01:02:03"}));

    call("change", {{"choice", 2}});
    EXPECT_EQ(state()["schedule"]["time"], "2024/03/02 01:02:03");
    call("change", {{"choice", 1}});
    EXPECT_EQ(state()["schedule"]["time"], "2024/03/01 10:00:00");
    call("change", {{"choice", 3}});
    EXPECT_TRUE(state()["schedule"]["timeEnabled"]);
    call("change", {{"time", "2024/03/01 10:30:00"}});
    call("change", {{"time", "2024/02/30 10:30:00"}}); // no such day: the field keeps its time
    EXPECT_EQ(state()["schedule"]["time"], "2024/03/01 10:30:00");
    call("next");
    ASSERT_EQ(pageIndex(), 2);
    const NewScheduleRequest r = onController([&] { return wizard->request(); });
    EXPECT_EQ(r.archiveFrom, 3);
    EXPECT_EQ(r.timeToStart, DateTime(2024, 3, 1, 10, 30, 0));

    // Back on page 2 with the same site the list stays; another site clears it.
    call("back");
    EXPECT_EQ(state()["schedule"]["rows"].size(), 2u);
    call("back");
    call("change", {{"port", std::to_string(port)}});
    call("next");
    EXPECT_EQ(state()["schedule"]["rows"], json::array());
    EXPECT_EQ(state()["schedule"]["status"], "");
}

TEST_F(ScheduleWizardTest, ASiteWithoutRecordingsSaysSo) {
    SiteSettings settings;
    settings.recording.sections.clear();
    auto empty = startSite(settings);
    const uint16_t emptyPort = empty->port();
    openWizard();
    call("change", {{"address", "127.0.0.1"}, {"port", std::to_string(emptyPort)}, {"user", "admin"}, {"password", "admin"}});
    call("next");
    call("load");
    ASSERT_TRUE(eventually([&] { return state()["schedule"]["status"] == "There is no data recorded."; }));
    EXPECT_EQ(state()["schedule"]["rows"], json::array());
}

TEST_F(ScheduleWizardTest, AFailedLoadReportsToThePageAndNeverToASite) {
    const UniqueID existing = addSite("Gate", dir / "gate" / "Gate.strgx");
    const int before = onController([&] { return sites.findById(existing)->status(); });
    openWizard();
    // Nobody listens there: refused at once.
    const uint16_t closed = [] {
        auto gone = startSite(SiteSettings());
        const uint16_t p = gone->port();
        gone->stop();
        return p;
    }();
    call("change", {{"address", "127.0.0.1"}, {"port", std::to_string(closed)}, {"user", "admin"}, {"password", "admin"}});
    call("next");
    call("load");
    ASSERT_TRUE(eventually([&] { return state()["schedule"]["status"] == "Cannot connect to the site.."; }));
    EXPECT_FALSE(state()["schedule"]["loading"]);

    // A refused login too.
    call("back");
    call("change", {{"port", std::to_string(port)}, {"password", "wrong"}});
    call("next");
    call("load");
    ASSERT_TRUE(eventually([&] { return state()["schedule"]["status"] == "Cannot connect to the site.."; }));

    // No site was touched: its status stands and the log holds nothing about it.
    EXPECT_EQ(onController([&] { return sites.findById(existing)->status(); }), before);
    controller.send([&] { logger.query(Date(1970, 1, 1), Date(2100, 12, 31), std::nullopt); });
    EXPECT_TRUE(onController([&] { return logger.entries().empty(); }));
}

TEST_F(ScheduleWizardTest, ASiteThatNeverAnswersTimesOutWhileTheControllerStaysFree) {
    SiteSettings settings;
    settings.faults.silence = true;
    auto silent = startSite(settings);
    const uint16_t silentPort = silent->port();
    controller.send([&] {
        wizard = std::make_shared<CScheduleWizard>(document, sites, controller, Clock::system(),
                                                   std::chrono::milliseconds(1500));
        wizardId = dialogs.open(wizard);
    });
    call("change", {{"address", "127.0.0.1"}, {"port", std::to_string(silentPort)}, {"user", "admin"}, {"password", "admin"}});
    call("next");
    call("load");
    // The controller answers while the site keeps silent.
    EXPECT_EQ(state()["schedule"]["status"], "Connecting...");
    ASSERT_TRUE(eventually([&] { return state()["schedule"]["status"] == "Cannot connect to the site.."; }));
}

TEST_F(ScheduleWizardTest, ANewLoadReplacesTheOneUnderWayAndClosingEndsTheWorker) {
    openWizard();
    passSitePage();
    call("load");
    call("load");
    ASSERT_TRUE(eventually([&] { return !state()["schedule"]["loading"].get<bool>(); }));
    EXPECT_EQ(state()["schedule"]["rows"].size(), 3u); // the simulated site's three sections
    EXPECT_EQ(state()["schedule"]["status"], "");
    call("load");
    controller.send([&] { wizard->cancel(); });
    EXPECT_FALSE(wizardOpen());
    wizard.reset();
    EXPECT_TRUE(eventually([] { return CScheduleWizardWorker::runningThreads() == 0; }));
}

TEST_F(ScheduleWizardTest, PageThreeRefusesEqualTimesOnlyForTheScheduler) {
    openWizard();
    passSitePage();
    call("next");
    ASSERT_EQ(pageIndex(), 2);
    EXPECT_EQ(state()["title"], "Schedule Wizard : 3. Archiving Schedule");
    EXPECT_FALSE(state()["archiving"]["timesEnabled"]);
    call("change", {{"start", "08:00:00"}, {"stop", "8:0:0"}});
    call("next"); // "Always": the times do not matter
    EXPECT_EQ(message(), "");
    EXPECT_EQ(pageIndex(), 3);
    call("back");
    call("change", {{"always", false}});
    EXPECT_TRUE(state()["archiving"]["timesEnabled"]);
    call("next");
    EXPECT_EQ(message(), "Start/Stop time must not be equal.");
    EXPECT_TRUE(answer(Answer::OK));
    EXPECT_EQ(pageIndex(), 2);
    call("change", {{"stop", "17:30:05"}, {"overwrite", false}});
    call("change", {{"start", "24:00:00"}}); // not a time: the field keeps 08:00:00
    call("next");
    EXPECT_EQ(pageIndex(), 3);
    const NewScheduleRequest r = onController([&] { return wizard->request(); });
    EXPECT_FALSE(r.alwaysArchive);
    EXPECT_EQ(r.dailyStart, Time(8, 0, 0));
    EXPECT_EQ(r.dailyStop, Time(17, 30, 5));
    EXPECT_FALSE(r.overwrite);
}
