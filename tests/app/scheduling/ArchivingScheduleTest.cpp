// Archiving schedules against an in-process simulated site, with a clock the
// test moves: chunks, retries and their delays, the three start points,
// resuming from the group, failures and the user's stop in every phase.
#include "app/persistence/SiteStorage.h"
#include "app/persistence/StorageGroupFile.h"
#include "app/scheduling/ActionLoop.h"
#include "app/scheduling/ArchivingSchedule.h"
#include "app/scheduling/EventManager.h"
#include "app/scheduling/LogCodes.h"
#include "app/support/ArchiveTestSupport.h"
#include "app/support/ScheduleTestSupport.h"
#include "base/ManualClock.h"
#include "network/client/NetworkPlaybackContext.h"
#include "network/client/PlaybackClient.h"
#include "ostrel-sitesim/SiteServer.h"
#include "storage/Storage.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <memory>

using namespace ostrel;
using namespace ostrel::testing;

namespace {

constexpr uint32_t PageSize = 8192;

DateTime at(int hour, int minute, int second) { return DateTime(2024, 1, 1, hour, minute, second); }

// Two sections, 50 s and 40 s, with a gap; one video and one audio channel at
// 2 frames a second, every second starting with a key frame; events and text-in.
RecordingDescription recording() {
    RecordingDescription d;
    d.sections = {{1, at(12, 0, 0), at(12, 0, 49)}, {2, at(12, 2, 0), at(12, 2, 39)}};
    d.videoChannels = 1;
    d.audioChannels = 1;
    d.frameRate = 2;
    d.gopLength = 2;
    d.keyFrameSize = 600;
    d.frameSize = 200;
    d.audioFrameSize = 40;
    d.events = {{10, 3, 0, 0, 2, 0}};
    d.textIns = {{15, 1, 0, "SALE", 0}};
    return d;
}

struct LogEntry {
    UniqueID owner;
    int code;
    std::string text;
};

class ArchivingScheduleTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ostrel-schedule-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        context = NetworkPlaybackContext::create();
        events = std::make_unique<EventManager>(
            [this](int) { return std::optional<UniqueID>(site); },
            [this](const UniqueID& owner, int code, const std::string& text) {
                std::lock_guard lock(logMutex);
                logged.push_back(LogEntry{owner, code, text});
            });
        events->addListener(&heard);
        events->enable();
        loop.start();
    }

    void TearDown() override {
        loop.stop();
        for (auto& schedule : schedules) {
            schedule->teardown();
        }
        schedules.clear();
        context->stopAll();
        sites.clear();
        std::filesystem::remove_all(dir);
    }

    SiteServer& startSite(RecordingDescription d, SiteFaults faults = SiteFaults()) {
        SiteSettings settings;
        settings.recording = d;
        settings.faults = faults;
        settings.clock = [this] { return siteClock.load(); };
        sites.push_back(std::make_unique<SiteServer>(settings));
        sites.back()->start();
        return *sites.back();
    }

    // A group file and `count` storage files of `pages` pages for the site.
    std::vector<std::string> makeGroup(const std::string& name, int count, uint32_t pages,
                                       const UniqueID& repository) {
        std::vector<std::pair<std::string, uint64_t>> files;
        for (int i = 1; i <= count; ++i) {
            files.emplace_back(dir + "/" + SiteStorage::storageFileName(name, i, count), 8192 + uint64_t{pages} * PageSize);
        }
        std::string error;
        EXPECT_TRUE(SiteStorage::createGroup(groupPath(name), repository, files, &error, PageSize)) << error;
        std::vector<std::string> paths;
        for (const auto& [path, bytes] : files) {
            paths.push_back(path);
        }
        return paths;
    }
    std::string groupPath(const std::string& name) const { return dir + "/" + SiteStorage::groupFileName(name); }

    ArchivingSchedule& makeSchedule(uint16_t port, const std::string& group, int chunkSeconds = 40) {
        const int handle = static_cast<int>(schedules.size());
        schedules.push_back(std::make_unique<ArchivingSchedule>(
            handle, site, ConnectionInfo{"127.0.0.1", port, "admin", "admin"}, chunkSeconds, clock, context,
            events.get()));
        ArchivingSchedule& schedule = *schedules.back();
        schedule.initialise(&recorder, PlaybackClient::ArchivingQueueSize);
        EXPECT_TRUE(schedule.siteStorage().open(group));
        loop.add(schedule);
        return schedule;
    }

    // Tears a schedule down as the application does at exit.
    void dropSchedule(ArchivingSchedule& schedule) {
        loop.remove(schedule);
        schedule.teardown();
    }

    // Waits until the schedule's next command is a retry (CommandContinue due
    // later) and answers its delay in seconds; -1 when none came.
    int nextRetryDelay(ArchivingSchedule& schedule) {
        int delay = -1;
        eventually([&] {
            if (schedule.pendingCommand() != ArchivingSchedule::CommandContinue) {
                return false;
            }
            const int64_t seconds = DateTime::secondsBetween(schedule.dueTime(), clock.now());
            if (seconds <= 0) {
                return false;
            }
            delay = static_cast<int>(seconds);
            return true;
        });
        return delay;
    }

    // Lets time pass for the schedule: whenever its next command waits for a
    // later time, the clock moves to that time; until `done` holds (bounded).
    bool drive(ArchivingSchedule& schedule, const std::function<bool()>& done) {
        return eventually([&] {
            if (done()) {
                return true;
            }
            if (schedule.pendingCommand() != Actor::NoCommand) {
                const int64_t wait = DateTime::secondsBetween(schedule.dueTime(), clock.now());
                if (wait > 0) {
                    clock.advanceSeconds(wait);
                }
            }
            return false;
        });
    }

    // Drives the schedule until it archived up to `last` and waits to retry.
    bool caughtUp(ArchivingSchedule& schedule, const DateTime& last) {
        return drive(schedule, [&] {
            return schedule.lastArchivedTime() == last && schedule.pendingCommand() == ArchivingSchedule::CommandContinue &&
                   schedule.dueTime().greaterThan(clock.now());
        });
    }

    std::vector<LogEntry> log() {
        std::lock_guard lock(logMutex);
        return logged;
    }

    const UniqueID site{"0b4f7c52-2f5e-4b8e-9d0c-6a1f3e2d4c5b"};
    std::string dir;
    ManualClock clock{DateTime(2024, 6, 1, 12, 0, 0)};
    std::atomic<int64_t> siteClock{0};
    std::shared_ptr<NetworkPlaybackContext> context;
    std::unique_ptr<EventManager> events;
    EventRecorder heard;
    std::mutex logMutex;
    std::vector<LogEntry> logged;
    ScheduleRecorder recorder;
    ActionLoop loop{5};
    std::vector<std::unique_ptr<SiteServer>> sites;
    std::vector<std::unique_ptr<ArchivingSchedule>> schedules;
};

TEST_F(ArchivingScheduleTest, FromFirstArchivesChunkAfterChunkToTheEndThenRetriesWithGrowingDelays) {
    SiteServer& siteServer = startSite(recording());
    const std::vector<std::string> files = makeGroup("Lobby", 1, 300, site);
    ArchivingSchedule& schedule = makeSchedule(siteServer.port(), groupPath("Lobby"));
    schedule.startFromFirst();

    ASSERT_TRUE(caughtUp(schedule, at(12, 2, 39)));
    // Chunks of 41 recorded seconds; the gap of more than a chunk is crossed by a retry.
    EXPECT_GE(recorder.count(0, "interval"), 4);
    // Nothing more to archive: the retries wait 1, 2, 4, ... seconds.
    const std::vector<int> want = {1, 2, 4, 8, 16, 32};
    std::vector<int> delays;
    for (std::size_t i = 0; i < want.size(); ++i) {
        const int delay = nextRetryDelay(schedule);
        delays.push_back(delay);
        clock.advanceSeconds(delay);
    }
    EXPECT_EQ(delays, want);
    schedule.stopSchedule();
    ASSERT_TRUE(recorder.waitFor(0, "stopped"));
    EXPECT_EQ(recorder.count(0, "failed"), 0);

    const std::vector<StoredItem> expected = expectedItems(siteServer, siteClock.load());
    dropSchedule(schedule);
    const StoredGroup stored = readBack(files);
    ASSERT_EQ(stored.items.size(), expected.size());
    expectSame(stored.items, expected, 0);
    EXPECT_EQ(stored.info.at("LastVideoTime"), "2024/01/01 12:02:39");
    EXPECT_EQ(schedule.archivedFrames(), expected.size() - countOfType(expected, 3));
    // Nothing was worth a log entry.
    EXPECT_TRUE(log().empty());
}

TEST_F(ArchivingScheduleTest, FromATimeArchivesWhatIsRecordedFromThatTimeOn) {
    SiteServer& siteServer = startSite(recording());
    const std::vector<std::string> files = makeGroup("Lobby", 1, 300, site);
    ArchivingSchedule& schedule = makeSchedule(siteServer.port(), groupPath("Lobby"));
    schedule.startFromTime(at(12, 0, 30));
    ASSERT_TRUE(caughtUp(schedule, at(12, 2, 39)));
    schedule.stopSchedule();
    ASSERT_TRUE(recorder.waitFor(0, "stopped"));
    dropSchedule(schedule);

    const std::vector<StoredItem> expected = expectedItems(siteServer, siteClock.load());
    std::size_t offset = 0;
    while (offset < expected.size() && expected[offset].epoch < at(12, 0, 30).epochSeconds()) {
        ++offset;
    }
    const StoredGroup stored = readBack(files);
    ASSERT_EQ(stored.items.size(), expected.size() - offset);
    expectSame(stored.items, expected, offset);
}

TEST_F(ArchivingScheduleTest, FromLastArchivesTheLastSecondThenWhatTheSiteRecordsAfterIt) {
    RecordingDescription d = recording();
    d.growing = true;
    SiteServer& siteServer = startSite(d);
    const std::vector<std::string> files = makeGroup("Lobby", 1, 300, site);
    ArchivingSchedule& schedule = makeSchedule(siteServer.port(), groupPath("Lobby"));
    schedule.startFromLast();
    EXPECT_EQ(nextRetryDelay(schedule), 1);
    EXPECT_EQ(schedule.lastArchivedTime(), at(12, 2, 39));
    EXPECT_EQ(recorder.count(0, "interval"), 1); // the single point [12:02:39, 12:02:39]

    siteClock.store(35); // the site records 35 s more
    ASSERT_TRUE(caughtUp(schedule, at(12, 3, 14)));
    schedule.stopSchedule();
    ASSERT_TRUE(recorder.waitFor(0, "stopped"));
    dropSchedule(schedule);

    const std::vector<StoredItem> expected = expectedItems(siteServer, siteClock.load());
    std::size_t offset = 0;
    while (offset < expected.size() && expected[offset].epoch < at(12, 2, 39).epochSeconds()) {
        ++offset;
    }
    const StoredGroup stored = readBack(files);
    ASSERT_EQ(stored.items.size(), expected.size() - offset);
    expectSame(stored.items, expected, offset);
}

TEST_F(ArchivingScheduleTest, AResumeAfterTearingEverythingDownLosesAndRepeatsNoFrame) {
    SiteServer& siteServer = startSite(recording());
    const std::vector<std::string> files = makeGroup("Lobby", 1, 300, site);
    {
        // Short chunks: a stop writes what the site sent before it, which is
        // at most the chunk under way, so some of the recording is left.
        ArchivingSchedule& schedule = makeSchedule(siteServer.port(), groupPath("Lobby"), 20);
        schedule.startFromFirst();
        // Stopped in the middle of the recording, while frames are arriving.
        ASSERT_TRUE(eventually([&] {
            const DateTime last = schedule.lastArchivedTime();
            return last.isSet() && !last.lessThan(at(12, 0, 20));
        }));
        schedule.stopSchedule();
        ASSERT_TRUE(recorder.waitFor(0, "stopped"));
        dropSchedule(schedule);
    }
    const std::size_t firstPart = readBack(files).items.size();
    ASSERT_GT(firstPart, 0u);

    // A new schedule built from nothing but the group file.
    ArchivingSchedule& again = makeSchedule(siteServer.port(), groupPath("Lobby"), 1800);
    const ResumeRecord record = again.resumePosition();
    ASSERT_TRUE(record.isValid());
    EXPECT_EQ(again.lastArchivedTime(), record.time);
    again.resume();
    ASSERT_TRUE(caughtUp(again, at(12, 2, 39)));
    EXPECT_EQ(recorder.count(1, "resuming"), 1);
    again.stopSchedule();
    ASSERT_TRUE(recorder.waitFor(1, "stopped"));
    dropSchedule(again);

    const std::vector<StoredItem> expected = expectedItems(siteServer, siteClock.load());
    const StoredGroup stored = readBack(files);
    EXPECT_GT(stored.items.size(), firstPart);
    ASSERT_EQ(stored.items.size(), expected.size());
    expectSame(stored.items, expected, 0);
}

TEST_F(ArchivingScheduleTest, AnErrorDisconnectFailsTheScheduleAndLogsItsCode) {
    SiteFaults faults;
    faults.disconnectAfterFrames = 60;
    SiteServer& siteServer = startSite(recording(), faults);
    makeGroup("Lobby", 1, 300, site);
    ArchivingSchedule& schedule = makeSchedule(siteServer.port(), groupPath("Lobby"));
    schedule.startFromFirst();
    ASSERT_TRUE(recorder.waitFor(0, "failed"));
    ASSERT_TRUE(recorder.waitFor(0, "stopped"));
    EXPECT_EQ(schedule.phase(), ArchivingSchedule::PhaseStop);
    const ArchivingEvent failure = schedule.lastFailure();
    EXPECT_EQ(failure.type, ArchivingEvent::Disconnected);
    EXPECT_TRUE(isErrorReason(failure.value));
    const std::vector<LogEntry> entries = log();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].owner, site);
    EXPECT_EQ(entries[0].code, logCodeOfReason(failure.value));
    ASSERT_EQ(heard.events().size(), 1u);
    // The frames archived before the break are kept, with their record.
    EXPECT_TRUE(schedule.resumePosition().isValid());
    // A failed schedule does not reconnect by itself.
    clock.advanceSeconds(3600);
    Thread::sleep(50);
    EXPECT_EQ(recorder.count(0, "connecting"), 1);
}

TEST_F(ArchivingScheduleTest, AFailedQueryOnlyConnectTellsTheQueryAndEndsStoppedWithoutFailingTheSite) {
    // A bound socket that does not listen: connections are refused (111).
    const int unlistened = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(unlistened, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(unlistened, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(unlistened, reinterpret_cast<sockaddr*>(&address), &length), 0);
    makeGroup("Lobby", 1, 100, site);
    ArchivingSchedule& schedule = makeSchedule(ntohs(address.sin_port), groupPath("Lobby"));

    schedule.queryRecordings(Interval(ArchivingSchedule::EarliestTime, ArchivingSchedule::LatestTime));
    ASSERT_TRUE(recorder.waitFor(0, "stopped"));
    // Only the query wanted the connection: its failure is the query's, the
    // schedule (and so the site) is not failed and nothing is logged.
    EXPECT_EQ(recorder.count(0, "query failed"), 1);
    EXPECT_EQ(recorder.count(0, "failed"), 0);
    EXPECT_TRUE(log().empty());

    // The flags were cleared: a start connects again, and its failure is the schedule's.
    schedule.startFromFirst();
    ASSERT_TRUE(recorder.waitFor(0, "failed", 1));
    ASSERT_TRUE(recorder.waitFor(0, "stopped", 2));
    std::vector<LogEntry> entries = log();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].code, LogCode::ConnectionRefused);
    EXPECT_EQ(recorder.count(0, "connecting"), 2);
    close(unlistened);
}

TEST_F(ArchivingScheduleTest, AQueryAnswersTheListenersAndDisconnectsWhenItAloneWantedTheConnection) {
    SiteServer& siteServer = startSite(recording());
    makeGroup("Lobby", 1, 100, site);
    ArchivingSchedule& schedule = makeSchedule(siteServer.port(), groupPath("Lobby"));
    schedule.queryRecordings(Interval(ArchivingSchedule::EarliestTime, ArchivingSchedule::LatestTime));
    ASSERT_TRUE(recorder.waitFor(0, "query"));
    EXPECT_EQ(recorder.lastQuery(0), (std::vector<Interval>{Interval(at(12, 0, 0), at(12, 0, 49)),
                                                            Interval(at(12, 2, 0), at(12, 2, 39))}));
    ASSERT_TRUE(recorder.waitFor(0, "stopped"));
    EXPECT_EQ(recorder.count(0, "failed"), 0);
    EXPECT_EQ(recorder.count(0, "disconnected 301"), 1);
    EXPECT_EQ(schedule.archivedFrames(), 0u);
}

TEST_F(ArchivingScheduleTest, AFullGroupWithoutOverwriteStopsWithTheStorageFullCode) {
    SiteServer& siteServer = startSite(recording());
    const std::vector<std::string> files = makeGroup("Lobby", 2, 12, site);
    ArchivingSchedule& schedule = makeSchedule(siteServer.port(), groupPath("Lobby"));
    schedule.startFromFirst();
    ASSERT_TRUE(drive(schedule, [&] { return recorder.count(0, "stopped") > 0; }));
    EXPECT_EQ(recorder.count(0, "failed"), 0); // a full group is no failure
    EXPECT_EQ(schedule.lastFailure().type, ArchivingEvent::StorageFull);
    const std::vector<LogEntry> entries = log();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].code, LogCode::RecordStorageFull);
    EXPECT_TRUE(entries[0].text.empty());
    const uint64_t frames = schedule.archivedFrames();
    dropSchedule(schedule);

    const std::vector<StoredItem> expected = expectedItems(siteServer, siteClock.load());
    const StoredGroup stored = readBack(files);
    ASSERT_GT(stored.items.size(), 0u);
    EXPECT_LT(stored.items.size(), expected.size());
    expectSame(stored.items, expected, 0);
    EXPECT_EQ(stored.items.size() - countOfType(stored.items, 3), frames);
}

TEST_F(ArchivingScheduleTest, RecordingThatCrossesTwoStoragesKeepsTheGroupFileCurrent) {
    RecordingDescription d = recording();
    d.keyFrameSize = 4000;
    d.frameSize = 2000;
    SiteServer& siteServer = startSite(d);
    const std::vector<std::string> files = makeGroup("Lobby", 2, 60, site);
    ArchivingSchedule& schedule = makeSchedule(siteServer.port(), groupPath("Lobby"));
    StorageGroup& group = schedule.siteStorage().storageGroup();
    const std::string first = group.current()->path();
    schedule.startFromFirst();
    ASSERT_TRUE(caughtUp(schedule, at(12, 2, 39)));
    ASSERT_NE(group.current()->path(), first) << "recording never moved to the second storage";
    StorageGroupFile file;
    ASSERT_TRUE(file.load(groupPath("Lobby")));
    EXPECT_EQ(file.lastStorageID(), group.current()->storageID());
    EXPECT_EQ(file.lastRecordingSectionID(), group.lastSectionID());
    schedule.stopSchedule();
    ASSERT_TRUE(recorder.waitFor(0, "stopped"));
    dropSchedule(schedule);

    const std::vector<StoredItem> expected = expectedItems(siteServer, siteClock.load());
    const StoredGroup stored = readBack(files);
    ASSERT_EQ(stored.items.size(), expected.size());
    expectSame(stored.items, expected, 0);
    // The group reopens on the member it was recording into.
    ArchivingSchedule& again = makeSchedule(siteServer.port(), groupPath("Lobby"));
    EXPECT_EQ(again.siteStorage().storageGroup().current()->storageID(), file.lastStorageID());
}

TEST_F(ArchivingScheduleTest, UpdatingTheConnectionDisconnectsAndTheRestartUsesTheNewSite) {
    SiteServer& oldSite = startSite(recording());
    SiteServer& newSite = startSite(recording());
    const std::vector<std::string> files = makeGroup("Lobby", 1, 300, site);
    ArchivingSchedule& schedule = makeSchedule(oldSite.port(), groupPath("Lobby"));
    schedule.startFromFirst();
    ASSERT_TRUE(drive(schedule, [&] {
        const DateTime last = schedule.lastArchivedTime();
        return last.isSet() && !last.lessThan(at(12, 0, 40));
    }));
    schedule.updateConnection(ConnectionInfo{"127.0.0.1", newSite.port(), "admin", "admin"});
    ASSERT_TRUE(recorder.waitFor(0, "stopped"));
    EXPECT_EQ(recorder.count(0, "disconnected 301"), 1);
    EXPECT_EQ(schedule.phase(), ArchivingSchedule::PhaseStop);
    // The document starts it again once it stopped.
    schedule.resume();
    ASSERT_TRUE(caughtUp(schedule, at(12, 2, 39)));
    EXPECT_EQ(recorder.count(0, "connected"), 2);
    EXPECT_EQ(newSite.connectionsAccepted(), 1u);
    EXPECT_EQ(recorder.count(0, "resuming"), 1);
    schedule.stopSchedule();
    ASSERT_TRUE(recorder.waitFor(0, "stopped", 2));
    dropSchedule(schedule);
    const std::vector<StoredItem> expected = expectedItems(newSite, siteClock.load());
    const StoredGroup stored = readBack(files);
    ASSERT_EQ(stored.items.size(), expected.size());
    expectSame(stored.items, expected, 0);
}

TEST_F(ArchivingScheduleTest, AUserStopInEveryPhaseEndsStoppedAndStaysStopped) {
    // Each case brings a schedule to a phase, stops it there, then moves the
    // clock an hour on: the schedule reports stopped and asks nothing more.
    struct Case {
        const char* name;
        SiteFaults faults;
        std::function<void(ArchivingSchedule&)> reach;
    };
    SiteFaults silent;
    silent.silence = true;
    const Case cases[] = {
        {"idle", SiteFaults(), [](ArchivingSchedule&) {}},
        {"connecting", SiteFaults(),
         [this](ArchivingSchedule& s) {
             s.startFromFirst();
             ASSERT_TRUE(recorder.waitFor(s.handle(), "connecting"));
         }},
        {"waiting for the sections of a silent site", silent,
         [this](ArchivingSchedule& s) {
             s.startFromFirst();
             ASSERT_TRUE(recorder.waitFor(s.handle(), "starting"));
         }},
        {"playing", SiteFaults(),
         [this](ArchivingSchedule& s) {
             s.startFromFirst();
             ASSERT_TRUE(recorder.waitFor(s.handle(), "interval"));
         }},
        {"waiting to retry", SiteFaults(),
         [this](ArchivingSchedule& s) {
             s.startFromFirst();
             ASSERT_GT(nextRetryDelay(s), 0);
         }},
        {"resuming", SiteFaults(),
         [this](ArchivingSchedule& s) {
             s.startFromFirst();
             ASSERT_GT(nextRetryDelay(s), 0);
             s.stopSchedule();
             ASSERT_TRUE(recorder.waitFor(s.handle(), "stopped"));
             s.resume();
         }},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SiteServer& siteServer = startSite(recording(), c.faults);
        const std::string name = "Site" + std::to_string(index++);
        makeGroup(name, 1, 300, site);
        ArchivingSchedule& schedule = makeSchedule(siteServer.port(), groupPath(name));
        const int handle = schedule.handle();
        c.reach(schedule);
        const int stoppedBefore = recorder.count(handle, "stopped");
        schedule.stopSchedule();
        ASSERT_TRUE(recorder.waitFor(handle, "stopped", stoppedBefore + 1, std::chrono::seconds(30)));
        EXPECT_EQ(schedule.phase(), ArchivingSchedule::PhaseStop);
        const uint64_t frames = schedule.archivedFrames();
        const std::vector<std::string> before = recorder.reports(handle);
        for (int i = 0; i < 6; ++i) {
            clock.advanceSeconds(600);
            Thread::sleep(20);
        }
        EXPECT_EQ(schedule.archivedFrames(), frames);
        EXPECT_EQ(schedule.phase(), ArchivingSchedule::PhaseStop);
        // A connect under way when the stop came may still complete: it is
        // reported and dropped at once. Nothing else may still be reported.
        std::vector<std::string> after;
        EXPECT_TRUE(eventually([&] {
            after = recorder.reports(handle);
            after.erase(after.begin(), after.begin() + static_cast<std::ptrdiff_t>(before.size()));
            const auto connected = std::find(after.begin(), after.end(), "connected");
            return connected == after.end() || std::any_of(connected, after.end(), [](const std::string& report) {
                       return report.rfind("disconnected", 0) == 0;
                   });
        })) << "a connection completed after the stop was kept";
        for (const std::string& report : after) {
            EXPECT_TRUE(report.rfind("disconnected", 0) == 0 || report == "stopped" || report == "connected") << report;
        }
        EXPECT_EQ(recorder.count(handle, "failed"), 0);
    }
}

// Holds the media thread in its position report once archiving reached a
// time, so a test can look at a schedule whose playback stands still.
class Brake : public ScheduleListener {
public:
    explicit Brake(const DateTime& at) : _at(at) {}
    void schedulePositionChanged(int, const DateTime& time) override {
        if (time.lessThan(_at)) {
            return;
        }
        std::unique_lock lock(_mutex);
        _held = true;
        _released.wait(lock, [this] { return _release; });
    }
    bool held() {
        std::lock_guard lock(_mutex);
        return _held;
    }
    void release() {
        {
            std::lock_guard lock(_mutex);
            _release = true;
        }
        _released.notify_all();
    }

private:
    const DateTime _at;
    std::mutex _mutex;
    std::condition_variable _released;
    bool _held = false;
    bool _release = false;
};

TEST_F(ArchivingScheduleTest, ASpeedEventIsPostedOnlyWhenTheClassChanges) {
    SiteServer& siteServer = startSite(recording());
    makeGroup("Lobby", 1, 300, site);
    ArchivingSchedule& schedule = makeSchedule(siteServer.port(), groupPath("Lobby"));
    Brake brake(at(12, 0, 20));
    schedule.addListener(&brake);
    auto speeds = [this] {
        std::vector<int> values;
        for (const ArchivingEvent& e : heard.events()) {
            if (e.type == ArchivingEvent::SpeedChanged) {
                values.push_back(e.value);
            }
        }
        return values;
    };
    schedule.startFromFirst();
    ASSERT_TRUE(eventually([&] { return brake.held(); }));
    // 20 s of recording in the first 5 s window: good.
    clock.advanceMilliseconds(5001);
    ASSERT_TRUE(eventually([&] { return speeds().size() == 1; }));
    EXPECT_EQ(schedule.archiveSpeed(), ArchiveProfiler::SpeedGood);
    // Nothing archived in the next window: bad. And in the one after: still
    // bad, which is no change and posts nothing.
    clock.advanceMilliseconds(5001);
    ASSERT_TRUE(eventually([&] { return speeds().size() == 2; }));
    EXPECT_EQ(schedule.archiveSpeed(), ArchiveProfiler::SpeedBad);
    clock.advanceMilliseconds(5001);
    Thread::sleep(50);
    EXPECT_EQ(speeds(), (std::vector<int>{ArchiveProfiler::SpeedGood, ArchiveProfiler::SpeedBad}));
    EXPECT_TRUE(log().empty()); // speed changes are not logged
    brake.release();
    schedule.stopSchedule();
    ASSERT_TRUE(recorder.waitFor(0, "stopped"));
    EXPECT_EQ(schedule.archiveSpeed(), ArchiveProfiler::SpeedNone);
    schedule.removeListener(&brake);
}

TEST_F(ArchivingScheduleTest, ResumeWithoutAResumePositionDoesNothing) {
    SiteServer& siteServer = startSite(recording());
    makeGroup("Lobby", 1, 100, site);
    ArchivingSchedule& schedule = makeSchedule(siteServer.port(), groupPath("Lobby"));
    EXPECT_FALSE(schedule.resumePosition().isValid());
    schedule.resume();
    clock.advanceSeconds(5);
    Thread::sleep(50);
    EXPECT_EQ(schedule.phase(), ArchivingSchedule::PhaseIdle);
    EXPECT_TRUE(recorder.reports(0).empty());
}

} // namespace

namespace {

// Reports that reach a schedule at the wrong time, delivered by hand to a
// schedule no loop steps (the test steps it), with no site behind it.
class LateCallbackTest : public ArchivingScheduleTest {
protected:
    ArchivingSchedule& idleSchedule() {
        makeGroup("Lobby", 1, 100, site);
        schedules.push_back(std::make_unique<ArchivingSchedule>(
            0, site, ConnectionInfo{"127.0.0.1", 9, "admin", "admin"}, 40, clock, context, events.get()));
        ArchivingSchedule& schedule = *schedules.back();
        schedule.initialise(&recorder, PlaybackClient::ArchivingQueueSize);
        EXPECT_TRUE(schedule.siteStorage().open(groupPath("Lobby")));
        return schedule;
    }
    static std::vector<RecordingTimeTableEntry> someSections() {
        return {RecordingTimeTableEntry(1, Interval(at(12, 0, 0), at(12, 0, 49)), BitMask32(1))};
    }
};

TEST_F(LateCallbackTest, RepliesAndEndsThatArriveAfterAStopStartNothing) {
    ArchivingSchedule& schedule = idleSchedule();
    // A reply nobody asked for is dropped.
    schedule.recordingSectionListReceived(someSections());
    EXPECT_EQ(schedule.pendingCommand(), Actor::NoCommand);
    EXPECT_TRUE(recorder.reports(0).empty());

    schedule.startFromTime(at(12, 0, 0));
    schedule.stopSchedule();
    schedule.step();
    EXPECT_EQ(recorder.reports(0), std::vector<std::string>{"stopped"});
    // Whatever the client still reports, the stopped schedule stays stopped.
    schedule.archivingStopped(false);
    schedule.archivingStopped(true);
    schedule.archivingFailed(ArchivingDelegate::NothingRecorded);
    schedule.archivingFailed(ArchivingDelegate::PositionOverwritten);
    schedule.archivingCallback();
    schedule.archivingConnected();
    EXPECT_EQ(schedule.phase(), ArchivingSchedule::PhaseStop);
    EXPECT_NE(schedule.pendingCommand(), ArchivingSchedule::CommandStart);
    EXPECT_NE(schedule.pendingCommand(), ArchivingSchedule::CommandContinue);
    EXPECT_NE(schedule.pendingCommand(), ArchivingSchedule::CommandConnect);
    EXPECT_EQ(recorder.count(0, "retrying"), 0);
}

TEST_F(LateCallbackTest, AnErrorDisconnectWhileStoppingStillEndsInStopped) {
    ArchivingSchedule& schedule = idleSchedule();
    schedule.startFromTime(at(12, 0, 0));
    schedule.stopSchedule(); // as if a disconnect had been asked for
    schedule.archivingDisconnected(102);
    EXPECT_EQ(schedule.pendingCommand(), ArchivingSchedule::CommandFinish);
    schedule.step();
    EXPECT_EQ(recorder.count(0, "stopped"), 1);
    EXPECT_EQ(recorder.count(0, "failed"), 0); // it was stopping already
    EXPECT_TRUE(log().empty());
}

// What the old session still delivers after its disconnect (an empty
// section list, an overwritten position, the end of its chunk) asks for no
// next chunk: the finish the disconnect asked for runs and reports "stopped".
TEST_F(LateCallbackTest, ReportsDeliveredAfterADisconnectLeaveItsFinishInPlace) {
    const std::vector<std::function<void(ArchivingSchedule&)>> lateReports = {
        [](ArchivingSchedule& s) { s.archivingFailed(ArchivingDelegate::NothingRecorded); },
        [](ArchivingSchedule& s) { s.archivingFailed(ArchivingDelegate::PositionOverwritten); },
        [](ArchivingSchedule& s) { s.archivingStopped(false); },
        [](ArchivingSchedule& s) { s.archivingStopped(true); },
        [](ArchivingSchedule& s) { s.archivingCallback(); },
    };
    ArchivingSchedule& schedule = idleSchedule();
    for (std::size_t i = 0; i < lateReports.size(); ++i) {
        SCOPED_TRACE(i);
        schedule.startFromTime(at(12, 0, 0));
        schedule.archivingDisconnected(301); // a connection update's disconnect: no stop was asked for
        ASSERT_EQ(schedule.pendingCommand(), ArchivingSchedule::CommandFinish);
        lateReports[i](schedule);
        EXPECT_EQ(schedule.pendingCommand(), ArchivingSchedule::CommandFinish);
        schedule.step();
        EXPECT_EQ(recorder.count(0, "stopped"), static_cast<int>(i) + 1);
    }
    EXPECT_EQ(recorder.count(0, "failed"), 0);
}

TEST_F(LateCallbackTest, ASiteThatListsSectionsButPlaysNothingIsAskedAgainOnTheBackOff) {
    ArchivingSchedule& schedule = idleSchedule();
    schedule.startFromTime(at(12, 0, 0));
    std::vector<int64_t> delays;
    for (int i = 0; i < 4; ++i) {
        schedule.archivingStopped(true); // nothing played, the resume position lies elsewhere
        EXPECT_EQ(schedule.pendingCommand(), ArchivingSchedule::CommandStart);
        delays.push_back(DateTime::secondsBetween(schedule.dueTime(), clock.now()));
    }
    EXPECT_EQ(delays, (std::vector<int64_t>{1, 2, 4, 8}));
}

TEST_F(LateCallbackTest, AStorageFailureWithoutItsGroupFileClosesTheStorageOnTheSchedulesThread) {
    ArchivingSchedule& schedule = idleSchedule();
    schedule.startFromTime(at(12, 0, 0));
    std::filesystem::remove(groupPath("Lobby"));
    schedule.archivingFailed(ArchivingDelegate::StorageIOError);
    // Reported on the media thread: the storage stays open there ...
    EXPECT_TRUE(schedule.siteStorage().isOpen());
    EXPECT_EQ(recorder.count(0, "failed"), 1);
    const std::vector<LogEntry> entries = log();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].code, LogCode::StorageIOError);
    EXPECT_TRUE(entries[0].text.empty());
    // ... and is closed by the finish the schedule's own thread performs.
    schedule.step();
    EXPECT_EQ(recorder.count(0, "stopped"), 1);
    EXPECT_FALSE(schedule.siteStorage().isOpen());
}

TEST_F(LateCallbackTest, AConnectionUpdateIsNotLostToAChunkEndThatComesBeforeItsDisconnect) {
    SiteServer& siteServer = startSite(recording());
    ArchivingSchedule& schedule = idleSchedule();
    schedule.updateConnection(ConnectionInfo{"127.0.0.1", siteServer.port(), "admin", "admin"});
    schedule.startFromFirst();
    ASSERT_TRUE(eventually([&] {
        schedule.step();
        return recorder.count(0, "connected") == 1;
    }));
    schedule.updateConnection(ConnectionInfo{"127.0.0.1", 9, "admin", "admin"});
    EXPECT_EQ(schedule.pendingCommand(), ArchivingSchedule::CommandDisconnect);
    // The client reports the end of a chunk and a finished cut back before
    // the schedule's thread got to the disconnect.
    schedule.archivingStopped(false);
    schedule.archivingCallback();
    EXPECT_EQ(schedule.pendingCommand(), ArchivingSchedule::CommandDisconnect);
    ASSERT_TRUE(eventually([&] {
        schedule.step();
        return recorder.count(0, "stopped") == 1;
    }));
    EXPECT_EQ(recorder.count(0, "disconnected 301"), 1);
    // Once the old session is gone, commands run as asked again.
    schedule.startFromFirst();
    EXPECT_EQ(schedule.pendingCommand(), ArchivingSchedule::CommandConnect);
    schedule.stopSchedule();
}

TEST_F(LateCallbackTest, TwoConnectRequestsMakeOneConnectCommand) {
    // A site whose accept queue is full: the kernel drops the SYNs of a new
    // connection, so the connect stays outstanding (a connection that got
    // through, even without a login, would count as connected and make the
    // second start a CommandStart).
    const int mute = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(mute, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(mute, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(mute, 0), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(mute, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int filler = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(filler, 0);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ArchivingSchedule& schedule = idleSchedule();
    schedule.updateConnection(ConnectionInfo{"127.0.0.1", ntohs(address.sin_port), "admin", "admin"});

    schedule.startFromFirst();
    schedule.queryRecordings(Interval(at(12, 0, 0), at(13, 0, 0)));
    EXPECT_EQ(schedule.pendingCommand(), ArchivingSchedule::CommandConnect);
    schedule.step();
    EXPECT_EQ(recorder.count(0, "connecting"), 1);
    schedule.startFromFirst();
    schedule.queryRecordings(Interval(at(12, 0, 0), at(13, 0, 0)));
    EXPECT_EQ(schedule.pendingCommand(), Actor::NoCommand); // the first connect is still outstanding
    schedule.stopSchedule();
    EXPECT_TRUE(eventually([&] {
        schedule.step();
        return recorder.count(0, "stopped") == 1;
    }));
    close(filler);
    close(mute);
}

} // namespace
