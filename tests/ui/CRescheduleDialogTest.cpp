#include "app/scheduling/ScheduleListener.h"
#include "app/ui/CRescheduleDialog.h"
#include "ui/support/CScheduleInfoSheetFixture.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace ostrel;
using ostrel::testing::eventually;

namespace {

class RescheduleTest : public ostrel::testing::InfoDialogFixture {
protected:
    struct Chosen {
        int calls = 0;
        int choice = -1;
        DateTime time;
    };

    std::shared_ptr<CRescheduleDialog> open(int handle) {
        return onController([&] {
            return CRescheduleDialog::open(dialogs, controller, scheduler, handle,
                                           [this](int choice, const DateTime& time) {
                                               ++chosen.calls;
                                               chosen.choice = choice;
                                               chosen.time = time;
                                           });
        });
    }

    nlohmann::json call(const std::shared_ptr<CRescheduleDialog>& dialog, const std::string& function,
                        const nlohmann::json& args = nlohmann::json::object()) {
        return onController([&] {
            try {
                return dialogs.call(dialog->id(), function, args).value_or(nlohmann::json());
            } catch (const std::invalid_argument& e) {
                return nlohmann::json{{"refused", e.what()}};
            }
        });
    }

    nlohmann::json state(const std::shared_ptr<CRescheduleDialog>& dialog) {
        return onController([&] { return dialog->state(); });
    }

    bool loaded(const std::shared_ptr<CRescheduleDialog>& dialog) {
        return !state(dialog)["loading"].get<bool>();
    }

    int errorEntries(const UniqueID& owner) {
        int count = 0;
        for (const Logged& entry : logged(owner)) {
            count += entry.level == 1 ? 1 : 0;
        }
        return count;
    }

    Chosen chosen;
};

} // namespace

TEST_F(RescheduleTest, LoadListsTheRecordedIntervalsMergedAndFirstAndLastSetThePicker) {
    const uint16_t port = startSite();
    const int handle = addSite("Lobby", port, false);
    auto dialog = open(handle);
    nlohmann::json s = state(dialog);
    EXPECT_EQ(s["title"], "Reschedule");
    EXPECT_EQ(s["column"], "Recording Interval");
    EXPECT_EQ(s["choice"], 1);
    EXPECT_FALSE(s["timeEnabled"].get<bool>());
    EXPECT_TRUE(s["rows"].empty());

    s = call(dialog, "load");
    EXPECT_EQ(s["status"], "Connecting...");
    ASSERT_TRUE(eventually([&] { return loaded(dialog); }));
    s = state(dialog);
    EXPECT_EQ(s["status"], "");
    // The simulated site's three sections, each its own row (more than 5 seconds apart).
    EXPECT_EQ(s["rows"], (nlohmann::json{"2024/01/01 10:00:00 ~ 2024/01/01 10:09:59",
                                         "2024/01/01 10:15:00 ~ 2024/01/01 10:29:59",
                                         "2024/01/01 11:00:00 ~ 2024/01/01 11:59:59"}));
    s = call(dialog, "choose", {{"choice", 2}});
    EXPECT_EQ(s["time"], "2024/01/01 11:59:59");
    s = call(dialog, "choose", {{"choice", 1}});
    EXPECT_EQ(s["time"], "2024/01/01 10:00:00");
    s = call(dialog, "choose", {{"choice", 3}});
    EXPECT_TRUE(s["timeEnabled"].get<bool>());
    EXPECT_EQ(s["time"], "2024/01/01 10:00:00"); // Specific keeps what the picker shows
    EXPECT_TRUE(call(dialog, "setTime", {{"time", "2024/02/30 00:00:00"}}).contains("refused"));
    EXPECT_TRUE(call(dialog, "choose", {{"choice", 4}}).contains("refused"));
    call(dialog, "setTime", {{"time", "2024/01/01 10:20:00"}});
    call(dialog, "ok");
    EXPECT_FALSE(onController([&] { return dialog->isOpen(); }));
    EXPECT_EQ(chosen.calls, 1);
    EXPECT_EQ(chosen.choice, 3);
    EXPECT_EQ(chosen.time, DateTime(2024, 1, 1, 10, 20, 0));

    // The query's own connection ended normally: the site is as it was, nothing failed.
    ASSERT_TRUE(eventually([&] { return siteStatus(handle) == RecordSite::StatusStopped; }));
    EXPECT_EQ(errorEntries(siteCopy(handle).id()), 0);
}

TEST_F(RescheduleTest, AFailedQueryReportsToTheDialogAndNeverFailsOrRestartsTheSite) {
    const uint16_t port = startSite();
    servers[0]->stop(); // the site does not answer: connections are refused
    // Not started since the application started (its schedule is idle), and
    // inside its period, so a failure of the site would start it again.
    const int handle = addSite("Gate", port, false);
    const UniqueID id = siteCopy(handle).id();
    controller.send([&] {
        const Time now = DateTime::now().time();
        document.setPeriod(handle, Time((now.hour() + 23) % 24, 0, 0), Time((now.hour() + 1) % 24, 59, 59));
        ASSERT_TRUE(sites.findByHandle(handle)->inPeriod(now));
    });
    ASSERT_EQ(siteStatus(handle), RecordSite::StatusStopped);

    auto dialog = open(handle);
    call(dialog, "load");
    ASSERT_TRUE(eventually([&] { return loaded(dialog); }));
    EXPECT_EQ(state(dialog)["status"], "Cannot connect to the site..");
    EXPECT_TRUE(state(dialog)["rows"].empty());
    // The schedule finished the query's connection; the site was never failed.
    ASSERT_TRUE(eventually([&] { return siteStatus(handle) == RecordSite::StatusStopped; }));
    const RecordSite site = siteCopy(handle);
    EXPECT_FALSE(site.archiving());
    EXPECT_EQ(site.lastFailure().type, 0);
    EXPECT_EQ(onController([&] { return document.pendingCommand(handle); }), Actor::NoCommand);
    EXPECT_EQ(errorEntries(id), 0);

    // A second try says the same, and OK still answers.
    call(dialog, "load");
    ASSERT_TRUE(eventually([&] { return loaded(dialog) && state(dialog)["status"] == "Cannot connect to the site.."; }));
    call(dialog, "ok");
    EXPECT_EQ(chosen.calls, 1);
    EXPECT_EQ(chosen.choice, 1);
}

namespace {
class StopCounter : public ScheduleListener {
public:
    void scheduleStopped(int) override { ++stopped; }
    std::atomic<int> stopped{0};
};
} // namespace

TEST_F(RescheduleTest, ClosingTheDialogWhileItsQueryIsUnderwayLeavesNothingBehind) {
    const uint16_t port = startSite();
    const int handle = addSite("Annex", port, false);
    StopCounter stops;
    ArchivingSchedule* schedule = onController([&] { return scheduler.schedule(handle); });
    schedule->addListener(&stops);
    for (int i = 0; i < 3; ++i) {
        auto dialog = open(handle);
        call(dialog, "load");
        call(dialog, "cancel");
        EXPECT_FALSE(onController([&] { return dialog->isOpen(); }));
    }
    // The answers arrive for dialogs that are gone and the query's connection ends.
    ASSERT_TRUE(eventually([&] { return stops.stopped.load() > 0; }));
    schedule->removeListener(&stops);
    // A new dialog still gets its own answer.
    auto dialog = open(handle);
    call(dialog, "load");
    ASSERT_TRUE(eventually([&] { return loaded(dialog); }));
    EXPECT_EQ(state(dialog)["rows"].size(), 3u);
    EXPECT_EQ(chosen.calls, 0);
}

TEST_F(RescheduleTest, ADialogWhoseScheduleWasDeletedCannotLoadAndClosesCleanly) {
    const int handle = addSite("Shed", 10102, false);
    auto dialog = open(handle);
    controller.send([&] { document.deleteSchedule(handle, false); });
    call(dialog, "load");
    EXPECT_EQ(state(dialog)["status"], "Cannot connect to the site..");
    call(dialog, "cancel");
    EXPECT_FALSE(onController([&] { return dialog->isOpen(); }));
}

namespace {
// Starts archiving on the connection a query has just opened.
class StartWhenConnected : public ScheduleListener {
public:
    explicit StartWhenConnected(ArchivingSchedule& schedule) : _schedule(schedule) {}
    void scheduleConnected(int) override {
        if (!_started.exchange(true)) {
            _schedule.startFromFirst();
        }
    }
    void schedulePositionChanged(int, const DateTime&) override { ++positions; }
    void scheduleQueryListReceived(int, const MergedTimeTable&) override { ++lists; }
    std::atomic<int> positions{0};
    std::atomic<int> lists{0};

private:
    ArchivingSchedule& _schedule;
    std::atomic<bool> _started{false};
};
} // namespace

TEST_F(RescheduleTest, ArchivingStartedOnTheConnectionAQueryOpenedKeepsItAfterTheAnswer) {
    const uint16_t port = startSite();
    const int handle = addSite("Mill", port, false);
    ArchivingSchedule* schedule = onController([&] { return scheduler.schedule(handle); });
    StartWhenConnected listener(*schedule);
    schedule->addListener(&listener);
    schedule->queryRecordings(Interval(DateTime(1970, 1, 1, 0, 0, 0), DateTime(2100, 12, 31, 23, 59, 59)));
    ASSERT_TRUE(eventually([&] { return listener.lists.load() == 1; }));
    // The answer did not close the connection archiving now uses: frames keep coming.
    ASSERT_TRUE(eventually([&] { return listener.positions.load() > 5; }));
    EXPECT_EQ(errorEntries(siteCopy(handle).id()), 0);
    controller.send([&] { scheduler.stop(handle); });
    ASSERT_TRUE(eventually([&] { return schedule->phase() == ArchivingSchedule::PhaseStop; }));
    schedule->removeListener(&listener);
}
