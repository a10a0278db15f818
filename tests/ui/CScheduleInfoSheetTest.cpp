#include "app/scheduling/LogCodes.h"
#include "app/ui/CRescheduleDialog.h"
#include "app/ui/CScheduleInfoSheet.h"
#include "app/ui/CStorageGroupManagerDialog.h"
#include "app/ui/Message.h"
#include "ui/support/CScheduleInfoSheetFixture.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace ostrel;
using ostrel::testing::eventually;

namespace {

const std::string NameCharacters = "Name must not contain such characters : \\ / : * ? \" < > |";
const std::string PortRange = "Playback port must be between 1501 ~ 32001.";

class InfoSheetTest : public ostrel::testing::InfoDialogFixture {
protected:
    // Opens the sheet the way the Info command does; returns its dialog id.
    int openSheet(int handle) {
        return onController([&] {
            document.onCommand(Command::Info, handle);
            return newest<CScheduleInfoSheet>();
        });
    }

    template <typename T>
    int newest() {
        int found = -1;
        for (int id : dialogs.openIds()) {
            if (std::dynamic_pointer_cast<T>(dialogs.dialog(id))) {
                found = id;
            }
        }
        return found;
    }

    // A call as the page makes it; {"refused": what} for a 400, null when closed.
    nlohmann::json call(int id, const std::string& function, const nlohmann::json& args = nlohmann::json::object()) {
        return onController([&] {
            try {
                return dialogs.call(id, function, args).value_or(nlohmann::json());
            } catch (const std::invalid_argument& e) {
                return nlohmann::json{{"refused", e.what()}};
            }
        });
    }

    nlohmann::json editSite(int id, const nlohmann::json& fields) {
        return call(id, "edit", {{"page", "site"}, {"fields", fields}});
    }
    nlohmann::json editSchedule(int id, const nlohmann::json& fields) {
        return call(id, "edit", {{"page", "schedule"}, {"fields", fields}});
    }
    nlohmann::json stateOf(int id) {
        return onController([&] {
            auto dialog = dialogs.dialog(id);
            return dialog ? dialog->state() : nlohmann::json();
        });
    }
    bool isOpen(int id) {
        return onController([&] { return dialogs.isOpen(id); });
    }
    bool logs(const UniqueID& owner, int code, const std::string& text) {
        const auto entries = logged(owner);
        return std::any_of(entries.begin(), entries.end(),
                           [&](const Logged& e) { return e.code == code && e.text == text; });
    }
    int countCode(const UniqueID& owner, int code) {
        const auto entries = logged(owner);
        return static_cast<int>(std::count_if(entries.begin(), entries.end(), [&](const Logged& e) { return e.code == code; }));
    }
};

} // namespace

TEST_F(InfoSheetTest, TheSitePageRefusesEachBadValueWithItsMessageAndChangesNothing) {
    const int handle = addSite("Lobby", 10102, false);
    ASSERT_GE(handle, 0);
    struct Case {
        nlohmann::json fields;
        std::string message;
        std::string focus;
        bool select = false;
    };
    const std::string addressText = "Address must be a host name or an IPv4 address.";
    const std::vector<Case> cases = {
        {{{"name", ""}}, "Site Name cannot be empty.", "name"},
        {{{"name", "Lab/2"}}, NameCharacters, "name"},
        {{{"name", "Lab\\2"}}, NameCharacters, "name"},
        {{{"name", "a|b"}}, NameCharacters, "name"},
        {{{"name", "."}}, "Name must not be \".\" or \"..\".", "name"},
        {{{"name", ".."}}, "Name must not be \".\" or \"..\".", "name"},
        {{{"name", "Lab\t2"}}, "Name must not contain control characters.", "name"},
        {{{"name", std::string("Lab\x7f")}}, "Name must not contain control characters.", "name"},
        {{{"address", ""}}, "Address cannot be empty.", "address"},
        {{{"address", "  "}}, "Address cannot be empty.", "address"},
        {{{"address", "site one"}}, addressText, "address", true},
        {{{"address", "a/b"}}, addressText, "address", true},
        {{{"port", "1500"}}, PortRange, "port", true},
        {{{"port", "32002"}}, PortRange, "port", true},
        {{{"port", "80a"}}, PortRange, "port", true},
        {{{"port", ""}}, PortRange, "port", true},
        {{{"port", "99999999999999999999"}}, PortRange, "port", true},
        {{{"user", ""}}, "User cannot be empty.", "user"},
        // The checks run in the page's order: the name before the address.
        {{{"name", ""}, {"address", ""}}, "Site Name cannot be empty.", "name"},
        {{{"address", ""}, {"port", "1"}}, "Address cannot be empty.", "address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields.dump());
        const int id = openSheet(handle);
        ASSERT_GT(id, 0);
        editSite(id, c.fields);
        call(id, "ok");
        EXPECT_EQ(openMessage(), c.message);
        answer(Answer::OK);
        EXPECT_TRUE(isOpen(id)); // the sheet stays
        const nlohmann::json focus = stateOf(id)["focus"];
        EXPECT_EQ(focus["field"], c.focus);
        EXPECT_EQ(focus["select"], c.select);
        const RecordSite site = siteCopy(handle);
        EXPECT_EQ(site.name(), "Lobby");
        EXPECT_EQ(site.address(), "127.0.0.1");
        EXPECT_EQ(site.port(), 10102);
        EXPECT_EQ(site.username(), "admin");
        call(id, "cancel");
    }
    // The refusals logged nothing.
    EXPECT_EQ(countCode(siteCopy(handle).id(), LogCode::SiteNameChanged), 0);

    for (const std::string port : {"1501", "32001"}) {
        const int id = openSheet(handle);
        editSite(id, {{"port", port}});
        call(id, "ok");
        EXPECT_EQ(openMessage(), "");
        EXPECT_FALSE(isOpen(id));
        EXPECT_EQ(std::to_string(siteCopy(handle).port()), port);
    }
    EXPECT_TRUE(logs(siteCopy(handle).id(), LogCode::PlaybackPortChanged, "10102 -> 1501"));
    EXPECT_TRUE(logs(siteCopy(handle).id(), LogCode::PlaybackPortChanged, "1501 -> 32001"));
    // Blanks around an address are not part of it.
    const int id = openSheet(handle);
    editSite(id, {{"address", " localhost "}});
    call(id, "ok");
    EXPECT_EQ(siteCopy(handle).address(), "localhost");
    EXPECT_TRUE(logs(siteCopy(handle).id(), LogCode::SiteAddressChanged, "127.0.0.1 -> localhost"));
}

TEST_F(InfoSheetTest, ApplyIsEnabledOnlyWhileSomethingDiffersAndUnknownFieldsAreRefused) {
    const int handle = addSite("Lobby", 10102, false);
    const int id = openSheet(handle);
    EXPECT_FALSE(stateOf(id)["applyEnabled"].get<bool>());
    EXPECT_TRUE(editSite(id, {{"name", "Lobby 2"}})["applyEnabled"].get<bool>());
    EXPECT_FALSE(editSite(id, {{"name", "Lobby"}})["applyEnabled"].get<bool>());
    EXPECT_TRUE(editSchedule(id, {{"overwrite", false}})["applyEnabled"].get<bool>());
    EXPECT_TRUE(call(id, "edit", {{"page", "site"}, {"fields", {{"storageGroupFile", "/etc/passwd"}}}}).contains("refused"));
    EXPECT_TRUE(editSite(id, {{"port", 10103}}).contains("refused"));
    EXPECT_TRUE(editSchedule(id, {{"start", "25:00:00"}}).contains("refused"));
    EXPECT_TRUE(editSchedule(id, {{"always", "yes"}}).contains("refused"));
    const nlohmann::json state = stateOf(id);
    EXPECT_EQ(state["title"], "Info");
    EXPECT_EQ(state["site"]["title"], "Site");
    EXPECT_EQ(state["schedule"]["title"], "Archiving Schedule");
    EXPECT_EQ(state["site"]["users"], (nlohmann::json{"Administrator", "Admin", "User"}));
    EXPECT_EQ(state["site"]["usage"], CSiteInfoPage::sizeText(scheduler.storageUsed(handle)) + " / 64 MB");
    EXPECT_EQ(CSiteInfoPage::sizeText(999'999'999), "999 MB");
    EXPECT_EQ(CSiteInfoPage::sizeText(1'000'000'000), "1.0 GB");
    EXPECT_EQ(CSiteInfoPage::sizeText(1'550'000'000), "1.6 GB");
    EXPECT_EQ(state["site"]["period"], "No Data");
    EXPECT_EQ(state["schedule"]["start"], "03:00:00");
    EXPECT_EQ(state["schedule"]["stop"], "03:00:01");
    EXPECT_TRUE(state["schedule"]["timesEnabled"].get<bool>());
}

TEST_F(InfoSheetTest, ChangingOnlyTheNameRenamesLogsCode24AndLeavesArchivingRunning) {
    const uint16_t port = startSite();
    const int handle = addSite("Lobby", port);
    ASSERT_TRUE(eventually([&] { return siteStatus(handle) == RecordSite::StatusArchiving; }));
    const UniqueID id = siteCopy(handle).id();
    page = pages.connect(); // a fresh page that only sees what follows
    const int sheet = openSheet(handle);
    editSite(sheet, {{"name", "Lobby East"}});
    call(sheet, "ok");
    EXPECT_FALSE(isOpen(sheet));
    EXPECT_EQ(siteCopy(handle).name(), "Lobby East");
    EXPECT_TRUE(logs(id, LogCode::SiteNameChanged, "Lobby -> Lobby East"));
    // Nothing stopped: no stop is pending, no restart waits for one, nothing was logged as stopped.
    EXPECT_FALSE(onController([&] { return document.isStopPending(handle); }));
    EXPECT_FALSE(onController([&] { return document.restartAfterStop(handle); }));
    EXPECT_TRUE(siteCopy(handle).archiving());
    EXPECT_EQ(countCode(id, LogCode::ArchivingStopped), 0);
    EXPECT_EQ(countCode(id, LogCode::SiteAddressChanged) + countCode(id, LogCode::PlaybackPortChanged) +
                  countCode(id, LogCode::UsernameChanged),
              0);
    // The row shows the new name.
    const auto events = pageEvents();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const std::string& e) {
        return e.find("schedule.updateSchedule") != std::string::npos && e.find("Lobby East") != std::string::npos;
    }));
}

TEST_F(InfoSheetTest, ChangingThePortOfAnArchivingSiteStopsItStoresTheConnectionAndRestartsOnceStopped) {
    const uint16_t first = startSite();
    const uint16_t second = startSite();
    const int handle = addSite("Gate", first);
    ASSERT_TRUE(eventually([&] { return siteStatus(handle) == RecordSite::StatusArchiving; }));
    const UniqueID id = siteCopy(handle).id();
    const int sheet = openSheet(handle);
    editSite(sheet, {{"port", std::to_string(second)}});
    controller.send([&] {
        dialogs.call(sheet, "ok", nlohmann::json::object());
        // Applied: the site is stopping with its new connection and starts again when the stop has completed.
        RecordSite* site = sites.findByHandle(handle);
        EXPECT_EQ(site->port(), second);
        EXPECT_FALSE(site->archiving());
        EXPECT_TRUE(document.restartAfterStop(handle));
        EXPECT_EQ(scheduler.schedule(handle)->connection().port, second);
    });
    EXPECT_TRUE(logs(id, LogCode::PlaybackPortChanged, std::to_string(first) + " -> " + std::to_string(second)));
    ASSERT_TRUE(eventually([&] { return servers[1]->connectionsAccepted() > 0; }));
    ASSERT_TRUE(eventually([&] {
        const RecordSite site = siteCopy(handle);
        return site.archiving() && site.status() == RecordSite::StatusArchiving &&
               !onController([&] { return document.restartAfterStop(handle); });
    }));
    EXPECT_EQ(countCode(id, LogCode::ArchivingStopped), 1);
    EXPECT_EQ(countCode(id, LogCode::StartArchiving), 2);
}

TEST_F(InfoSheetTest, ThePasswordNeverReachesThePageOrTheLog) {
    const uint16_t port = startSite();
    const std::string secret = "s3cret-Pass";
    const int handle = addSite("Vault", port, false, secret);
    const UniqueID id = siteCopy(handle).id();
    const int sheet = openSheet(handle);
    const nlohmann::json state = stateOf(sheet);
    EXPECT_EQ(state["site"]["passwordPlaceholder"].get<std::string>().size(), 12u);
    EXPECT_FALSE(state["site"]["passwordEdited"].get<bool>());
    EXPECT_EQ(state.dump().find(secret), std::string::npos);
    // A page that connects now gets the open sheet in its snapshot: no password there either.
    page = pages.connect();
    for (const std::string& e : pageEvents()) {
        EXPECT_EQ(e.find(secret), std::string::npos) << e;
    }

    // A new address keeps the stored password in the connection.
    editSite(sheet, {{"address", "localhost"}});
    call(sheet, "apply");
    EXPECT_EQ(onController([&] { return scheduler.schedule(handle)->connection().password; }), secret);
    EXPECT_EQ(siteCopy(handle).password(), secret);
    EXPECT_TRUE(logs(id, LogCode::SiteAddressChanged, "127.0.0.1 -> localhost"));

    // A typed password marks the edit and goes to the site, never to the log or the pages.
    const std::string typed = "n3w-Pass";
    const nlohmann::json edited = editSite(sheet, {{"password", typed}});
    EXPECT_TRUE(edited["site"]["passwordEdited"].get<bool>());
    EXPECT_EQ(edited.dump().find(typed), std::string::npos);
    call(sheet, "ok");
    EXPECT_EQ(siteCopy(handle).password(), typed);
    EXPECT_EQ(onController([&] { return scheduler.schedule(handle)->connection().password; }), typed);
    for (const Logged& entry : logged(id)) {
        EXPECT_EQ(entry.text.find(secret), std::string::npos);
        EXPECT_EQ(entry.text.find(typed), std::string::npos);
    }
    for (const std::string& e : pageEvents()) {
        EXPECT_EQ(e.find(typed), std::string::npos) << e;
    }
}

TEST_F(InfoSheetTest, TheRescheduleChoiceWaitsForApplyAndIsShownUntilThen) {
    const int handle = addSite("Annex", 10102, false);
    const int sheet = openSheet(handle);
    call(sheet, "reschedule");
    const int reschedule = onController([&] { return newest<CRescheduleDialog>(); });
    ASSERT_GT(reschedule, 0);
    call(reschedule, "choose", {{"choice", 3}});
    call(reschedule, "setTime", {{"time", "2024/01/01 10:05:00"}});
    call(reschedule, "ok");
    EXPECT_FALSE(isOpen(reschedule));
    nlohmann::json state = stateOf(sheet);
    EXPECT_EQ(state["site"]["pending"], "(Scheduled from 2024/01/01 10:05:00)");
    EXPECT_TRUE(state["applyEnabled"].get<bool>());
    EXPECT_EQ(siteCopy(handle).archiveFrom(), RecordSite::ArchiveFromFirst); // not yet

    call(sheet, "apply");
    const RecordSite site = siteCopy(handle);
    EXPECT_TRUE(site.rescheduled());
    EXPECT_EQ(site.archiveFrom(), RecordSite::ArchiveFromTime);
    EXPECT_EQ(site.timeToStart(), DateTime(2024, 1, 1, 10, 5, 0));
    state = stateOf(sheet);
    EXPECT_EQ(state["site"]["pending"], "");
    EXPECT_FALSE(state["applyEnabled"].get<bool>());

    // First and Last show as such.
    call(sheet, "reschedule");
    const int again = onController([&] { return newest<CRescheduleDialog>(); });
    call(again, "choose", {{"choice", 2}});
    call(again, "ok");
    EXPECT_EQ(stateOf(sheet)["site"]["pending"], "(Scheduled from Last)");
    call(sheet, "cancel");
    EXPECT_EQ(siteCopy(handle).archiveFrom(), RecordSite::ArchiveFromTime); // Cancel applies nothing
}

TEST_F(InfoSheetTest, TheSchedulePageRefusesEqualTimesAsksBeforeStoppingAndStartsWhatIsInItsPeriod) {
    const uint16_t port = startSite();
    const int handle = addSite("Yard", port);
    ASSERT_TRUE(eventually([&] { return siteStatus(handle) == RecordSite::StatusArchiving; }));
    int sheet = openSheet(handle);
    editSchedule(sheet, {{"always", false}, {"start", "08:00:00"}, {"stop", "08:00:00"}});
    call(sheet, "ok");
    EXPECT_EQ(openMessage(), "Start/Stop time must not be equal.");
    answer(Answer::OK);
    EXPECT_TRUE(isOpen(sheet));
    EXPECT_TRUE(siteCopy(handle).alwaysArchive());

    // A period two hours from now does not hold the current time: stop archiving?
    const DateTime now = DateTime::now();
    const Time start((now.hour() + 2) % 24, now.minute(), 0);
    const Time stop((now.hour() + 3) % 24, now.minute(), 0);
    editSchedule(sheet, {{"start", start.toString()}, {"stop", stop.toString()}, {"overwrite", false}});
    call(sheet, "ok");
    EXPECT_EQ(openMessage(), "Archiving is in progress, but new archiving schedule does NOT include current time. "
                             "Do you want to stop?");
    answer(Answer::Yes);
    EXPECT_FALSE(isOpen(sheet));
    RecordSite site = siteCopy(handle);
    EXPECT_FALSE(site.alwaysArchive());
    EXPECT_EQ(site.archiveStart(), start);
    EXPECT_EQ(site.archiveStop(), stop);
    EXPECT_FALSE(site.overwrite());
    EXPECT_EQ(countCode(site.id(), LogCode::OverwriteDisabled), 1);
    ASSERT_TRUE(eventually([&] { return siteStatus(handle) == RecordSite::StatusStopped; }));

    // "Always" starts it again.
    sheet = openSheet(handle);
    EXPECT_FALSE(stateOf(sheet)["schedule"]["always"].get<bool>());
    editSchedule(sheet, {{"always", true}});
    call(sheet, "ok");
    EXPECT_TRUE(siteCopy(handle).alwaysArchive());
    ASSERT_TRUE(eventually([&] { return siteStatus(handle) == RecordSite::StatusArchiving; }));
}

TEST_F(InfoSheetTest, ReportsOfTheSiteRefreshTheSitePagesStatus) {
    const uint16_t port = startSite();
    const int handle = addSite("Dock", port, false);
    const int sheet = openSheet(handle);
    EXPECT_EQ(stateOf(sheet)["site"]["status"], "Stopped");
    controller.send([&] { document.start(handle, true); });
    ASSERT_TRUE(eventually([&] { return stateOf(sheet)["site"]["status"] == "Archiving"; }));
    ASSERT_TRUE(eventually([&] { return stateOf(sheet)["site"]["period"] != "No Data"; }));
    controller.send([&] { document.stop(handle); });
    ASSERT_TRUE(eventually([&] { return stateOf(sheet)["site"]["status"] == "Stopped"; }));
    // A closed sheet has let go of the view's relay.
    call(sheet, "cancel");
    controller.send([&] { document.start(handle, true); });
    ASSERT_TRUE(eventually([&] { return siteStatus(handle) == RecordSite::StatusArchiving; }));
}

TEST_F(InfoSheetTest, TheStorageManagerOpensForTheSiteHearsItThroughTheSheetAndMayOutliveIt) {
    const uint16_t port = startSite();
    const int handle = addSite("Depot", port, false);
    int sheet = openSheet(handle);
    EXPECT_TRUE(stateOf(sheet)["storageManagerEnabled"].get<bool>());
    call(sheet, "storageManager");
    int manager = onController([&] { return newest<CStorageGroupManagerDialog>(); });
    ASSERT_GT(manager, 0);
    EXPECT_EQ(stateOf(manager)["current"], handle);
    call(manager, "cancel");
    EXPECT_FALSE(isOpen(manager));
    EXPECT_TRUE(isOpen(sheet)); // refreshed, still open

    // The sheet closed first (another page, or shut-down): the manager keeps hearing the
    // site's reports through it and lets go of it when it closes.
    call(sheet, "storageManager");
    manager = onController([&] { return newest<CStorageGroupManagerDialog>(); });
    call(sheet, "cancel");
    EXPECT_FALSE(isOpen(sheet));
    EXPECT_TRUE(isOpen(manager));
    controller.send([&] { document.start(handle, true); });
    ASSERT_TRUE(eventually([&] { return siteStatus(handle) == RecordSite::StatusArchiving; }));
    call(manager, "cancel");
    EXPECT_FALSE(isOpen(manager));

    // Both open at shut-down: every dialog closes in opening order.
    sheet = openSheet(handle);
    call(sheet, "storageManager");
    controller.send([&] { dialogs.closeAll(); });
    EXPECT_EQ(onController([&] { return dialogs.openCount(); }), 0u);
}
