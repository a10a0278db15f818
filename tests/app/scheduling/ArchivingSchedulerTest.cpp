// The process-wide scheduler: handles, storage totals, deleting a schedule
// that is archiving, and twenty sites archiving at once from several
// simulated sites without losing a frame.
#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteContainer.h"
#include "app/persistence/SiteStorage.h"
#include "app/persistence/StorageGroupFile.h"
#include "app/scheduling/ArchivingSchedule.h"
#include "app/scheduling/ArchivingScheduler.h"
#include "app/support/ArchiveTestSupport.h"
#include "app/support/ScheduleTestSupport.h"
#include "base/ManualClock.h"
#include "database/DataWarehouse.h"
#include "ostrel-sitesim/SiteServer.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace ostrel;
using namespace ostrel::testing;

namespace {

constexpr uint32_t PageSize = 8192;

DateTime at(int hour, int minute, int second) { return DateTime(2024, 1, 1, hour, minute, second); }

RecordingDescription recording() {
    RecordingDescription d;
    d.sections = {{1, at(12, 0, 0), at(12, 0, 49)}, {2, at(12, 2, 0), at(12, 2, 39)}};
    d.videoChannels = 2;
    d.audioChannels = 1;
    d.frameRate = 2;
    d.gopLength = 2;
    d.keyFrameSize = 900;
    d.frameSize = 300;
    d.audioFrameSize = 40;
    d.events = {{10, 3, 0, 0, 2, 0}};
    d.textIns = {{15, 1, 0, "SALE", 0}};
    return d;
}

class ArchivingSchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ostrel-scheduler-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        scheduler.setup(&recorder, 40, clock);
    }
    void TearDown() override {
        scheduler.shutdown();
        sites.clear();
        std::filesystem::remove_all(dir);
    }

    SiteServer& startSite(const RecordingDescription& d = recording()) {
        SiteSettings settings;
        settings.recording = d;
        settings.maxConnections = 8;
        sites.push_back(std::make_unique<SiteServer>(settings));
        sites.back()->start();
        return *sites.back();
    }

    // A new site's group of `count` files and its schedule; the handle.
    int addSite(const std::string& name, const SiteServer& site, int count, uint32_t pages,
                std::vector<std::string>* files = nullptr) {
        const UniqueID id;
        std::vector<std::pair<std::string, uint64_t>> storages;
        for (int i = 1; i <= count; ++i) {
            storages.emplace_back(dir + "/" + SiteStorage::storageFileName(name, i, count), 8192 + uint64_t{pages} * PageSize);
            if (files != nullptr) {
                files->push_back(storages.back().first);
            }
        }
        const std::string group = dir + "/" + SiteStorage::groupFileName(name);
        std::string error;
        EXPECT_TRUE(SiteStorage::createGroup(group, id, storages, &error, PageSize)) << error;
        const int handle = scheduler.createSchedule(id, "127.0.0.1", site.port(), "admin", "admin", false);
        EXPECT_TRUE(scheduler.siteStorage(handle)->open(group));
        return handle;
    }

    // Moves the clock on while some schedule waits for a later time, until `done`.
    bool drive(const std::vector<int>& handles, const std::function<bool()>& done) {
        return eventually(
            [&] {
                if (done()) {
                    return true;
                }
                for (int handle : handles) {
                    ArchivingSchedule* s = scheduler.schedule(handle);
                    if (s->pendingCommand() != Actor::NoCommand && s->dueTime().greaterThan(clock.now())) {
                        clock.advanceSeconds(1);
                        break;
                    }
                }
                return false;
            },
            std::chrono::seconds(120));
    }

    ArchivingScheduler& scheduler = ArchivingScheduler::instance();
    ManualClock clock{DateTime(2024, 6, 1, 12, 0, 0)};
    ScheduleRecorder recorder;
    std::string dir;
    std::vector<std::unique_ptr<SiteServer>> sites;
};

TEST_F(ArchivingSchedulerTest, HandlesCountFromZeroAndTheStorageTotalsAddUp) {
    SiteServer& site = startSite();
    const int first = addSite("A", site, 2, 30);
    const int second = addSite("B", site, 3, 30);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    EXPECT_EQ(scheduler.totalStorageCount(), 5);
    EXPECT_EQ(scheduler.storageCapacity(second), 3 * (8192 + 30 * PageSize));
    EXPECT_GT(scheduler.storageUsed(second), 0u);
    EXPECT_EQ(scheduler.siteIdOf(first), scheduler.schedule(first)->siteId());
    EXPECT_EQ(scheduler.schedule(first)->phase(), ArchivingSchedule::PhaseIdle);
    EXPECT_EQ(scheduler.schedule(99), nullptr);
    EXPECT_FALSE(scheduler.siteIdOf(99).has_value());
    EXPECT_EQ(scheduler.storageUsed(99), 0u);
    scheduler.stop(99); // nothing happens for an unknown handle
    scheduler.deleteSchedule(first);
    EXPECT_EQ(scheduler.schedule(first), nullptr);
    EXPECT_EQ(scheduler.totalStorageCount(), 3);
    EXPECT_EQ(addSite("C", site, 1, 30), 2); // handles are never reused
}

TEST_F(ArchivingSchedulerTest, AScheduleDeletedWhileArchivingLeavesAGroupThatResumes) {
    SiteServer& site = startSite();
    std::vector<std::string> files;
    const int handle = addSite("A", site, 1, 300, &files);
    scheduler.startFromFirst(handle);
    ASSERT_TRUE(recorder.waitFor(handle, "interval"));
    scheduler.deleteSchedule(handle);
    const std::size_t kept = readBack(files).items.size();

    // Built again from the group file, it resumes and completes the recording.
    const std::string group = dir + "/" + SiteStorage::groupFileName("A");
    StorageGroupFile file;
    ASSERT_TRUE(file.load(group));
    const int again = scheduler.createSchedule(file.repositoryID(), "127.0.0.1", site.port(), "admin", "admin", false);
    ASSERT_TRUE(scheduler.siteStorage(again)->open(group));
    ArchivingSchedule* schedule = scheduler.schedule(again);
    if (schedule->resumePosition().isValid()) {
        scheduler.resume(again);
    } else {
        scheduler.startFromFirst(again); // deleted before a video frame came
    }
    ASSERT_TRUE(drive({again}, [&] { return schedule->lastArchivedTime() == at(12, 2, 39); }));
    scheduler.stop(again);
    ASSERT_TRUE(recorder.waitFor(again, "stopped"));
    scheduler.deleteSchedule(again);
    const std::vector<StoredItem> expected = expectedItems(site, 0);
    const StoredGroup stored = readBack(files);
    EXPECT_GE(stored.items.size(), kept);
    ASSERT_EQ(stored.items.size(), expected.size());
    expectSame(stored.items, expected, 0);
}

TEST_F(ArchivingSchedulerTest, AResumeAfterRebuildingEverythingFromAppDbAndTheGroupFileLosesAndRepeatsNoFrame) {
    SiteServer& site = startSite();
    const std::string database = dir + "/app.db";
    const std::string group = dir + "/" + SiteStorage::groupFileName("Lobby");
    const std::vector<std::string> files = {dir + "/" + SiteStorage::storageFileName("Lobby", 1, 1)};
    const UniqueID id;
    {
        // A new site as the application makes it: its row, its group, its schedule.
        DataWarehouse warehouse;
        warehouse.open(database);
        SiteContainer sites(warehouse);
        ASSERT_TRUE(sites.load());
        RecordSite record(id);
        record.setName("Lobby");
        record.setConnection("127.0.0.1", site.port(), "admin", "admin");
        record.setStorageGroupFile(group);
        record.setArchiveFrom(RecordSite::ArchiveFromFirst);
        record.setRescheduled(true);
        std::string error;
        ASSERT_TRUE(SiteStorage::createGroup(group, id, {{files[0], 8192 + 300 * PageSize}}, &error, PageSize)) << error;
        ASSERT_TRUE(sites.add(record));
        RecordSite* kept = sites.findById(id);
        const int handle = scheduler.createSchedule(kept->id(), kept->address(), kept->port(), kept->username(),
                                                    kept->password(), kept->overwrite());
        ASSERT_TRUE(scheduler.siteStorage(handle)->open(kept->storageGroupFile()));
        kept->setSchedule(scheduler.schedule(handle), handle);
        EXPECT_TRUE(kept->checkArchivable());
        scheduler.startFromFirst(handle);
        ArchivingSchedule* schedule = scheduler.schedule(handle);
        ASSERT_TRUE(drive({handle}, [&] {
            const DateTime last = schedule->lastArchivedTime();
            return last.isSet() && !last.lessThan(at(12, 0, 30));
        }));
        ASSERT_TRUE(sites.setRescheduled(handle, false));
        // Everything goes: the scheduler (which stores the record and closes
        // the group), the sites and the database.
        scheduler.shutdown();
        kept->setSchedule(nullptr, -1);
        sites.unload();
        warehouse.close();
    }
    const std::size_t firstPart = readBack(files).items.size();
    ASSERT_GT(firstPart, 0u);

    // Built again from nothing but app.db and the group file it names.
    DataWarehouse warehouse;
    warehouse.open(database);
    SiteContainer sites(warehouse);
    ASSERT_TRUE(sites.load());
    RecordSite* record = sites.findById(id);
    ASSERT_NE(record, nullptr);
    EXPECT_FALSE(record->rescheduled());
    scheduler.setup(&recorder, 40, clock);
    const int handle = scheduler.createSchedule(record->id(), record->address(), record->port(), record->username(),
                                                record->password(), record->overwrite());
    ASSERT_TRUE(scheduler.siteStorage(handle)->open(record->storageGroupFile()));
    record->setSchedule(scheduler.schedule(handle), handle);
    // Not rescheduled: archivable only with a resume position, and resumed from it.
    ASSERT_TRUE(record->checkArchivable());
    ArchivingSchedule* schedule = scheduler.schedule(handle);
    ASSERT_TRUE(schedule->resumePosition().isValid());
    scheduler.resume(handle);
    ASSERT_TRUE(drive({handle}, [&] { return schedule->lastArchivedTime() == at(12, 2, 39); }));
    EXPECT_GE(recorder.count(handle, "resuming"), 1);
    scheduler.stop(handle);
    ASSERT_TRUE(recorder.waitFor(handle, "stopped"));
    scheduler.shutdown();
    record->setSchedule(nullptr, -1);
    sites.unload();
    warehouse.close();

    const std::vector<StoredItem> expected = expectedItems(site, 0);
    const StoredGroup stored = readBack(files);
    EXPECT_GT(stored.items.size(), firstPart);
    ASSERT_EQ(stored.items.size(), expected.size());
    expectSame(stored.items, expected, 0);
}

TEST_F(ArchivingSchedulerTest, TwentySitesArchivingAtOnceKeepEveryFrame) {
    // A short recording: what is tested is twenty schedules at once, not volume.
    RecordingDescription d = recording();
    d.sections = {{1, at(12, 0, 0), at(12, 0, 9)}, {2, at(12, 2, 0), at(12, 2, 9)}};
    d.videoChannels = 1;
    d.keyFrameSize = 300;
    d.frameSize = 100;
    for (int i = 0; i < 4; ++i) {
        startSite(d);
    }
    std::vector<int> handles;
    std::vector<std::vector<std::string>> files(20);
    for (int i = 0; i < 20; ++i) {
        handles.push_back(addSite("Site" + std::to_string(i), *sites[static_cast<std::size_t>(i % 4)], 1, 60,
                                  &files[static_cast<std::size_t>(i)]));
    }
    for (int handle : handles) {
        scheduler.startFromFirst(handle);
    }
    const bool caughtUp = drive(handles, [&] {
        for (int handle : handles) {
            if (!(scheduler.schedule(handle)->lastArchivedTime() == at(12, 2, 9))) {
                return false;
            }
        }
        return true;
    });
    ASSERT_TRUE(caughtUp);
    for (int handle : handles) {
        scheduler.stop(handle);
    }
    for (int handle : handles) {
        ASSERT_TRUE(recorder.waitFor(handle, "stopped"));
        EXPECT_EQ(recorder.count(handle, "failed"), 0) << handle;
    }
    // Shut down as the application does: every group is closed with its record.
    scheduler.shutdown();
    const std::vector<StoredItem> expected = expectedItems(*sites[0], 0);
    for (std::size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE("site " + std::to_string(i));
        const StoredGroup stored = readBack(files[i]);
        ASSERT_EQ(stored.items.size(), expected.size());
        expectSame(stored.items, expected, 0);
        EXPECT_EQ(stored.info.at("LastVideoTime"), "2024/01/01 12:02:09");
    }
}

} // namespace
