// A site's own rules: its archiving period, texts, status and archivability.
#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteStorage.h"
#include "app/persistence/StorageGroupFile.h"
#include "app/scheduling/ArchivingEvent.h"
#include "app/scheduling/ArchivingSchedule.h"
#include "app/scheduling/ConnectionInfo.h"
#include "database/support/DatabaseTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace ostrel;

namespace {

struct PeriodCase {
    bool always;
    Time start;
    Time stop;
    Time at;
    bool inside;
};

TEST(RecordSiteTest, ArchivingPeriod) {
    const PeriodCase cases[] = {
        // Across midnight.
        {false, Time(22, 0, 0), Time(6, 0, 0), Time(23, 0, 0), true},
        {false, Time(22, 0, 0), Time(6, 0, 0), Time(5, 59, 59), true},
        {false, Time(22, 0, 0), Time(6, 0, 0), Time(22, 0, 0), true},
        {false, Time(22, 0, 0), Time(6, 0, 0), Time(0, 0, 0), true},
        {false, Time(22, 0, 0), Time(6, 0, 0), Time(6, 0, 0), false},
        {false, Time(22, 0, 0), Time(6, 0, 0), Time(12, 0, 0), false},
        {false, Time(22, 0, 0), Time(6, 0, 0), Time(21, 59, 59), false},
        // Within a day: start inclusive, stop exclusive.
        {false, Time(8, 0, 0), Time(17, 0, 0), Time(8, 0, 0), true},
        {false, Time(8, 0, 0), Time(17, 0, 0), Time(16, 59, 59), true},
        {false, Time(8, 0, 0), Time(17, 0, 0), Time(17, 0, 0), false},
        {false, Time(8, 0, 0), Time(17, 0, 0), Time(7, 59, 59), false},
        // The zone of the time of day takes no part.
        {false, Time(8, 0, 0), Time(17, 0, 0), Time(9, 0, 0, 3600), true},
        // Equal start and stop: never.
        {false, Time(8, 0, 0), Time(8, 0, 0), Time(8, 0, 0), false},
        {false, Time(8, 0, 0), Time(8, 0, 0), Time(20, 0, 0), false},
        {true, Time(8, 0, 0), Time(8, 0, 0), Time(20, 0, 0), true},
        {true, Time(22, 0, 0), Time(6, 0, 0), Time(12, 0, 0), true},
    };
    for (const PeriodCase& c : cases) {
        RecordSite site;
        site.setAlwaysArchive(c.always);
        site.setArchivePeriod(c.start, c.stop);
        EXPECT_EQ(c.inside, site.inPeriod(c.at))
            << c.start.toString() << "-" << c.stop.toString() << " at " << c.at.toString() << " always " << c.always;
    }
}

TEST(RecordSiteTest, DefaultsOfANewSite) {
    RecordSite site;
    RecordSite other;
    EXPECT_NE(site.id(), other.id());
    EXPECT_FALSE(site.id().isNil());
    EXPECT_EQ(DateTime(1970, 1, 1, 0, 0, 0), site.timeToStart());
    EXPECT_FALSE(site.overwrite());
    EXPECT_FALSE(site.archiving());
    EXPECT_FALSE(site.rescheduled());
    EXPECT_EQ(RecordSite::ArchiveFromNone, site.archiveFrom());
    EXPECT_TRUE(site.alwaysArchive());
    EXPECT_EQ("00:00:00", site.archiveStart().toString());
    EXPECT_EQ("00:00:00", site.archiveStop().toString());
    EXPECT_EQ(nullptr, site.schedule());
    EXPECT_EQ(-1, site.scheduleHandle());
    EXPECT_EQ(RecordSite::StatusNotArchivable, site.status());
    EXPECT_EQ(RecordSite::ReasonNone, site.notArchivableReason());
    EXPECT_EQ("", site.statusText());
    EXPECT_FALSE(site.lastArchivedTime().isSet());
    EXPECT_EQ(0u, site.storageUsed());
}

TEST(RecordSiteTest, ArchiveFromChoice) {
    RecordSite site;
    const DateTime when(2024, 1, 2, 3, 4, 5);
    site.setArchiveFrom(RecordSite::ArchiveFromFirst, when);
    EXPECT_EQ("from first", site.archiveFromText());
    EXPECT_EQ(DateTime(1970, 1, 1, 0, 0, 0), site.timeToStart()); // only choice 3 takes the time
    site.setArchiveFrom(RecordSite::ArchiveFromLast);
    EXPECT_EQ("from last", site.archiveFromText());
    site.setArchiveFrom(RecordSite::ArchiveFromTime, when);
    EXPECT_EQ(when, site.timeToStart());
    EXPECT_EQ("2024/01/02 03:04:05", site.archiveFromText());
    site.setRescheduled(true);
    EXPECT_EQ(RecordSite::ArchiveFromTime, site.archiveFrom());
    site.setRescheduled(false);
    EXPECT_EQ(RecordSite::ArchiveFromNone, site.archiveFrom());
    EXPECT_EQ("", site.archiveFromText());
    site.setArchiveFrom(7);
    EXPECT_EQ("", site.archiveFromText());
}

ArchivingEvent event(int type, int value = 0, std::string text = {}) {
    ArchivingEvent e;
    e.siteHandle = 1;
    e.type = type;
    e.value = value;
    e.text = std::move(text);
    return e;
}

TEST(RecordSiteTest, StatusTexts) {
    RecordSite site;
    site.applyArchivability(RecordSite::ReasonNone);
    EXPECT_EQ(RecordSite::StatusStopped, site.status());
    const std::pair<int, const char*> plain[] = {
        {RecordSite::StatusConnecting, "Connecting"},
        {RecordSite::StatusArchiving, "Archiving"},
        {RecordSite::StatusStopped, "Stopped"},
        {RecordSite::StatusStorageFull, "Record storage full. Please check the storage."},
        {9, ""},
    };
    for (const auto& [status, text] : plain) {
        site.setStatus(status);
        EXPECT_EQ(text, site.statusText()) << status;
    }

    const std::pair<ArchivingEvent, const char*> failures[] = {
        {event(ArchivingEvent::Disconnected, 110), "Connection timeout"},
        {event(ArchivingEvent::Disconnected, 305), "Network playback protocol not supported"},
        {event(ArchivingEvent::Disconnected, 999), "Disconnected"},
        {event(ArchivingEvent::StorageFull), "Record storage full"},
        {event(ArchivingEvent::StorageIOError, 0, "/srv/a 1.strg"), "Storage I/O Error occured : /srv/a 1.strg"},
        {event(ArchivingEvent::ConnectFailed), "Failed to connect"},
        {event(ArchivingEvent::ConnectFailed, 0, "Connection refused"), "Failed to connect : Connection refused"},
        {event(ArchivingEvent::InternalException, 0, "boom"), "Internal exception occured : boom"},
        {event(ArchivingEvent::StorageBad), "Recording storage is bad."},
        {event(ArchivingEvent::SpeedChanged, 1), ""},
    };
    for (const auto& [failure, text] : failures) {
        site.setLastFailure(failure);
        site.setStatus(RecordSite::StatusFailed);
        EXPECT_EQ(text, site.statusText()) << failure.type << "/" << failure.value;
    }

    for (int reason = 0; reason <= 5; ++reason) {
        site.markNotArchivable(reason);
        const char* expected[] = {"", "Storage group file not found", "Storage group file corrupted",
                                  "No storage to archive", "No schedule specified", ""};
        EXPECT_EQ(expected[reason], site.statusText());
    }
}

TEST(RecordSiteTest, SpeedFollowsTheStatus) {
    RecordSite site;
    site.applyArchivability(RecordSite::ReasonNone);
    site.setStatus(RecordSite::StatusArchiving);
    EXPECT_EQ(RecordSite::SpeedGood, site.speedState());
    EXPECT_STREQ("Archiving speed is good.", site.speedText());
    site.setSpeedState(RecordSite::SpeedBad);
    EXPECT_STREQ("Archiving speed is bad.", site.speedText());
    site.setStatus(RecordSite::StatusConnecting);
    EXPECT_EQ(RecordSite::SpeedPaused, site.speedState());
    EXPECT_STREQ("Archiving paused.", site.speedText());
    site.setSpeedState(3);
    EXPECT_STREQ("", site.speedText());
}

TEST(RecordSiteTest, ANotArchivableSiteKeepsItsStatus) {
    RecordSite site;
    site.setArchiving(true);
    site.markNotArchivable(RecordSite::ReasonNoStorage);
    EXPECT_FALSE(site.archiving());
    site.setStatus(RecordSite::StatusArchiving);
    EXPECT_EQ(RecordSite::StatusNotArchivable, site.status());
    EXPECT_FALSE(site.isArchivable());
    EXPECT_EQ(RecordSite::SpeedPaused, site.speedState());

    // Archivable again: a not-archivable site becomes stopped, another keeps its status.
    site.applyArchivability(RecordSite::ReasonNone);
    EXPECT_EQ(RecordSite::StatusStopped, site.status());
    site.setStatus(RecordSite::StatusArchiving);
    site.applyArchivability(RecordSite::ReasonNone);
    EXPECT_EQ(RecordSite::StatusArchiving, site.status());
}

TEST(RecordSiteTest, UsableGroupFile) {
    RecordSite site;
    for (int reason = 0; reason <= 4; ++reason) {
        site.markNotArchivable(reason);
        EXPECT_EQ(reason != 1 && reason != 2, site.hasUsableGroupFile()) << reason;
    }
    site.applyArchivability(RecordSite::ReasonNone);
    EXPECT_TRUE(site.hasUsableGroupFile());
}

TEST(RecordSiteTest, ArchivabilityDecision) {
    struct Case {
        bool exists, matches, open, rescheduled, resumeValid;
        int reason;
    };
    const Case cases[] = {
        {false, false, false, false, false, RecordSite::ReasonGroupFileNotFound},
        {false, true, true, true, true, RecordSite::ReasonGroupFileNotFound},
        {true, false, true, true, true, RecordSite::ReasonGroupFileCorrupted},
        {true, true, false, true, true, RecordSite::ReasonNoStorage},
        {true, true, true, false, false, RecordSite::ReasonNoSchedule},
        {true, true, true, true, false, RecordSite::ReasonNone},
        {true, true, true, false, true, RecordSite::ReasonNone},
        {true, true, true, true, true, RecordSite::ReasonNone},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.reason, RecordSite::notArchivableReasonOf(c.exists, c.matches, c.open, c.rescheduled,
                                                              c.resumeValid));
    }
}

// checkArchivable() against a real schedule and its site storage.
class RecordSiteStorageTest : public ::testing::Test {
protected:
    static constexpr uint32_t PageSize = 8192;
    static constexpr uint64_t SmallStorage = 8192 + 64 * PageSize;

    void SetUp() override {
        site.setSchedule(&schedule, 3);
        site.setArchiving(true);
    }
    void makeGroup(const UniqueID& repository) {
        std::string error;
        ASSERT_TRUE(SiteStorage::createGroup(groupPath, repository, {{dir.file("Lobby 1.strg"), SmallStorage}},
                                             &error, PageSize))
            << error;
    }

    test::DatabaseDirectory dir;
    const std::string groupPath = dir.file("Lobby.strgx");
    RecordSite site{UniqueID("0b4f7c52-2f5e-4b8e-9d0c-6a1f3e2d4c5b")};
    const UniqueID other{"9a1e2f3c-4b5d-4e6f-8a7b-1c2d3e4f5a6b"};
    ArchivingSchedule schedule{3, site.id(), ConnectionInfo{"127.0.0.1", 1, "u", "p"}};
};

TEST_F(RecordSiteStorageTest, MissingGroupFile) {
    EXPECT_FALSE(schedule.siteStorage().open(groupPath));
    EXPECT_FALSE(site.checkArchivable());
    EXPECT_EQ(RecordSite::ReasonGroupFileNotFound, site.notArchivableReason());
    EXPECT_EQ("Storage group file not found", site.statusText());
    EXPECT_FALSE(site.archiving());
    EXPECT_FALSE(site.hasUsableGroupFile());
}

TEST_F(RecordSiteStorageTest, GroupFileOfAnotherSite) {
    makeGroup(other);
    EXPECT_FALSE(schedule.siteStorage().open(groupPath));
    EXPECT_FALSE(site.checkArchivable());
    EXPECT_EQ("Storage group file corrupted", site.statusText());
}

TEST_F(RecordSiteStorageTest, GroupWithoutAGoodStorage) {
    makeGroup(site.id());
    std::filesystem::remove(dir.file("Lobby 1.strg"));
    EXPECT_FALSE(schedule.siteStorage().open(groupPath));
    EXPECT_FALSE(site.checkArchivable());
    EXPECT_EQ("No storage to archive", site.statusText());
    EXPECT_TRUE(site.hasUsableGroupFile());
}

TEST_F(RecordSiteStorageTest, OpenGroupNeedsAResumePositionOrAChosenStart) {
    makeGroup(site.id());
    ASSERT_TRUE(schedule.siteStorage().open(groupPath));
    ASSERT_FALSE(schedule.resumePosition().isValid()); // a fresh group remembers nothing
    EXPECT_FALSE(site.checkArchivable());
    EXPECT_EQ("No schedule specified", site.statusText());

    site.setRescheduled(true);
    site.setArchiveFrom(RecordSite::ArchiveFromFirst);
    EXPECT_TRUE(site.checkArchivable());
    EXPECT_EQ(RecordSite::StatusStopped, site.status());
    EXPECT_EQ(RecordSite::ReasonNone, site.notArchivableReason());
    site.setStatus(RecordSite::StatusConnecting);
    EXPECT_EQ("Connecting", site.statusText());

    // The group file goes away under a running site: the next status change finds out.
    schedule.siteStorage().close();
    std::filesystem::remove(groupPath);
    site.setStatus(RecordSite::StatusArchiving);
    EXPECT_EQ(RecordSite::StatusNotArchivable, site.status());
    EXPECT_EQ("Storage group file not found", site.statusText());
}

TEST(RecordSiteNoScheduleTest, NothingIsJudgedWithoutASchedule) {
    RecordSite site;
    site.applyArchivability(RecordSite::ReasonNone);
    EXPECT_TRUE(site.checkArchivable());
    EXPECT_EQ(RecordSite::StatusStopped, site.status());
}

} // namespace
