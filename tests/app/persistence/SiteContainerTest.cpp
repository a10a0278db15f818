// The sites table and the container that keeps the sites in memory.
#include "app/persistence/SiteContainer.h"
#include "database/DataWarehouse.h"
#include "database/Database.h"
#include "database/RowSet.h"
#include "database/support/DatabaseTestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ostrel;

namespace {

// A site with every stored field away from its default.
RecordSite fullSite(const std::string& name) {
    RecordSite site;
    site.setName(name);
    site.setConnection("nvr-7.example.net", 65535, "admin'%", "pa'ss%d\"wörd");
    site.setStorageGroupFile("/srv/Ostrel Storages/" + name + ".strgx");
    site.setOverwrite(true);
    site.setArchiving(true);
    site.setRescheduled(true);
    site.setArchiveFrom(RecordSite::ArchiveFromTime, DateTime(2023, 11, 5, 7, 8, 9));
    site.setAlwaysArchive(false);
    site.setArchivePeriod(Time(22, 0, 0), Time(6, 0, 0));
    return site;
}

void expectSameStoredFields(const RecordSite& expected, const RecordSite& actual) {
    EXPECT_EQ(expected.id(), actual.id());
    EXPECT_EQ(expected.name(), actual.name());
    EXPECT_EQ(expected.address(), actual.address());
    EXPECT_EQ(expected.port(), actual.port());
    EXPECT_EQ(expected.username(), actual.username());
    EXPECT_EQ(expected.password(), actual.password());
    EXPECT_EQ(expected.storageGroupFile(), actual.storageGroupFile());
    EXPECT_EQ(expected.timeToStart(), actual.timeToStart());
    EXPECT_EQ(expected.overwrite(), actual.overwrite());
    EXPECT_EQ(expected.archiving(), actual.archiving());
    EXPECT_EQ(expected.rescheduled(), actual.rescheduled());
    EXPECT_EQ(expected.archiveFrom(), actual.archiveFrom());
    EXPECT_EQ(expected.alwaysArchive(), actual.alwaysArchive());
    EXPECT_EQ(expected.archiveStart(), actual.archiveStart());
    EXPECT_EQ(expected.archiveStop(), actual.archiveStop());
    EXPECT_EQ(expected.deleted(), actual.deleted());
}

class SiteContainerTest : public ::testing::Test {
protected:
    void SetUp() override {
        warehouse.open(":memory:");
        ASSERT_TRUE(sites.load());
    }

    // The kept record of a site, given a schedule handle.
    RecordSite* withHandle(const RecordSite& site, int handle) {
        RecordSite* kept = sites.findById(site.id());
        if (kept != nullptr) {
            kept->setSchedule(nullptr, handle);
        }
        return kept;
    }
    int rows(const std::string& where = "1") {
        RowSet count(warehouse.database(), "SELECT COUNT(*) FROM sites WHERE " + where + ";");
        count.next();
        return count.getInt(0);
    }

    DataWarehouse warehouse;
    SiteContainer sites{warehouse};
};

TEST_F(SiteContainerTest, TableHasItsSchema) {
    auto sqlOf = [&](const std::string& name) {
        RowSet schema(warehouse.database(), "SELECT sql FROM sqlite_master WHERE name = ?;");
        schema.bind(1, name);
        return schema.next() ? schema.getText(0) : std::string("(none)");
    };
    EXPECT_EQ("CREATE TABLE sites (id TEXT PRIMARY KEY,name TEXT,address TEXT,port INTEGER NOT NULL,username "
              "TEXT,password TEXT,storageGroupFile TEXT,timeToStart TEXT,overwrite INTEGER NOT NULL,archiving "
              "INTEGER NOT NULL,rescheduled INTEGER NOT NULL,schedule INTEGER NOT NULL,alwaysArchive INTERGER NOT "
              "NULL,timeArchiveStart TEXT,timeArchiveStop TEXT,deleted INTEGER NOT NULL)",
              sqlOf("sites"));
    EXPECT_EQ("CREATE UNIQUE INDEX sites_idx ON sites(id)", sqlOf("sites_idx"));
}

TEST_F(SiteContainerTest, RowsHoldTheStoredFormat) {
    RecordSite site = fullSite("Lobby");
    ASSERT_TRUE(sites.add(site));
    RowSet row(warehouse.database(), "SELECT * FROM sites;");
    ASSERT_TRUE(row.next());
    const std::vector<std::string> expected = {
        site.id().toString(), "Lobby", "nvr-7.example.net", "65535", "admin'%", "pa'ss%d\"wörd",
        "/srv/Ostrel Storages/Lobby.strgx", "2023/11/05 07:08:09", "1", "1", "1", "3", "0", "22:00:00",
        "06:00:00", "0"};
    ASSERT_EQ(16, row.columnCount());
    for (int column = 0; column < 16; ++column) {
        EXPECT_EQ(expected[static_cast<std::size_t>(column)], row.getText(column)) << column;
    }
    // Lower-case identifier text.
    EXPECT_EQ(std::string::npos, row.getText(0).find_first_of("ABCDEF"));
    EXPECT_FALSE(row.next());
}

TEST_F(SiteContainerTest, ReadsRowsWrittenByFormattedStatements) {
    warehouse.database().execute(
        "INSERT INTO sites (id, name, address, port,username, password, storageGroupFile, "
        "timeToStart,overwrite, archiving, rescheduled, schedule,alwaysArchive, timeArchiveStart, "
        "timeArchiveStop, deleted)VALUES ('0b4f7c52-2f5e-4b8e-9d0c-6a1f3e2d4c5b', 'O''Hare 100%', "
        "'10.0.0.5', 7000, 'op', 'se''cret', 'C:\\g.strgx', '2021/2/3 4:05:06', 0, 1, 0, 0, 1, "
        "'8:00:00', '17:30:00', 0);");
    ASSERT_TRUE(sites.load());
    RecordSite* site = sites.findById(UniqueID("0b4f7c52-2f5e-4b8e-9d0c-6a1f3e2d4c5b"));
    ASSERT_NE(nullptr, site);
    EXPECT_EQ("O'Hare 100%", site->name());
    EXPECT_EQ("se'cret", site->password());
    EXPECT_EQ(7000, site->port());
    EXPECT_EQ("C:\\g.strgx", site->storageGroupFile());
    EXPECT_EQ(DateTime(2021, 2, 3, 4, 5, 6), site->timeToStart());
    EXPECT_TRUE(site->archiving());
    EXPECT_TRUE(site->alwaysArchive());
    EXPECT_EQ(Time(8, 0, 0), site->archiveStart());
    EXPECT_EQ(Time(17, 30, 0), site->archiveStop());
}

TEST_F(SiteContainerTest, ShortTimeTextsReadAsTheNumbersPresent) {
    warehouse.database().execute(
        "INSERT INTO sites VALUES ('0b4f7c52-2f5e-4b8e-9d0c-6a1f3e2d4c5b', 'a', 'b', 1, '', '', '', '2022/5', "
        "0, 0, 0, 0, 0, '7', '', 0);");
    ASSERT_TRUE(sites.load());
    RecordSite* site = sites.findById(UniqueID("0b4f7c52-2f5e-4b8e-9d0c-6a1f3e2d4c5b"));
    ASSERT_NE(nullptr, site);
    EXPECT_EQ(DateTime(2022, 5, 1, 0, 0, 0), site->timeToStart());
    EXPECT_EQ(Time(7, 0, 0), site->archiveStart());
    EXPECT_EQ(Time(0, 0, 0), site->archiveStop());
}

TEST_F(SiteContainerTest, DamagedRowCostsOnlyThatSite) {
    test::CapturingLogHandler captured;
    ASSERT_TRUE(sites.add(fullSite("Good")));
    warehouse.database().execute(
        "INSERT INTO sites VALUES ('not-an-id', 'Bad', '', 1, '', '', '', '', 0, 0, 0, 0, 0, '', '', 0);");
    ASSERT_TRUE(sites.load());
    ASSERT_EQ(1u, sites.sites(true).size());
    EXPECT_EQ("Good", sites.sites(true)[0]->name());
    EXPECT_TRUE(captured.contains("not-an-id"));
}

TEST_F(SiteContainerTest, SitesSurviveClosingAndReopeningTheDatabase) {
    test::DatabaseDirectory dir;
    const std::string path = dir.file("app.db");
    DataWarehouse fileWarehouse;
    fileWarehouse.open(path);
    SiteContainer before(fileWarehouse);
    ASSERT_TRUE(before.load());

    const std::vector<std::string> names = {"Lobby", "O'Hare 100% \"east\"", "Überwachung 東京", "%s%n%q"};
    std::vector<RecordSite> added;
    for (const std::string& name : names) {
        added.push_back(fullSite(name));
        ASSERT_TRUE(before.add(added.back()));
    }
    // One changed, one with defaults, one deleted.
    added[1].setConnection("192.168.1.20", 80, "viewer", "");
    added[1].setOverwrite(false);
    added[1].setRescheduled(false);
    added[1].setAlwaysArchive(true);
    ASSERT_TRUE(before.update(added[1]));
    RecordSite plain;
    added.push_back(plain);
    ASSERT_TRUE(before.add(plain));
    ASSERT_TRUE(before.remove(added[3]));
    added[3].setDeleted(true);

    before.unload();
    EXPECT_TRUE(before.sites(true).empty());
    fileWarehouse.close();

    fileWarehouse.open(path);
    SiteContainer after(fileWarehouse);
    ASSERT_TRUE(after.load());
    EXPECT_EQ(5u, after.sites(true).size());
    EXPECT_EQ(4u, after.sites(false).size());
    EXPECT_EQ(4, after.rowCount());
    for (const RecordSite& site : added) {
        const RecordSite* loaded = after.findById(site.id());
        ASSERT_NE(nullptr, loaded) << site.name();
        expectSameStoredFields(site, *loaded);
        // Run-time state starts afresh.
        EXPECT_EQ(-1, loaded->scheduleHandle());
        EXPECT_EQ(RecordSite::StatusNotArchivable, loaded->status());
    }
    EXPECT_EQ(nullptr, after.findByName("%s%n%q"));
    EXPECT_NE(nullptr, after.findByName("Überwachung 東京"));
}

TEST_F(SiteContainerTest, RemovedSiteStaysInTheTableAndOutOfTheActiveSites) {
    RecordSite site = fullSite("Dock");
    ASSERT_TRUE(sites.add(site));
    RecordSite* kept = withHandle(site, 4);
    ASSERT_EQ(kept, sites.findByHandle(4));
    EXPECT_TRUE(sites.removeByHandle(4));
    EXPECT_EQ(nullptr, sites.findByHandle(4));
    EXPECT_EQ(kept, sites.findById(site.id()));
    EXPECT_TRUE(kept->deleted());
    EXPECT_EQ(nullptr, sites.findByName("Dock"));
    EXPECT_EQ(1, rows("deleted = 1"));
    EXPECT_EQ(0, sites.rowCount());

    // Removing again, or changing a removed site, does nothing.
    EXPECT_FALSE(sites.remove(site));
    EXPECT_FALSE(sites.update(site));
    EXPECT_EQ(1, rows());

    ASSERT_TRUE(sites.load());
    EXPECT_TRUE(sites.sites(false).empty());
    ASSERT_EQ(1u, sites.sites(true).size());
    EXPECT_TRUE(sites.sites(true)[0]->deleted());
}

TEST_F(SiteContainerTest, ChangesByHandleAreStored) {
    RecordSite site = fullSite("Gate");
    ASSERT_TRUE(sites.add(site));
    withHandle(site, 2);

    EXPECT_TRUE(sites.setArchiveFrom(2, RecordSite::ArchiveFromLast, DateTime(2030, 1, 1, 0, 0, 0)));
    EXPECT_EQ(1, rows("schedule = 2 AND timeToStart = '2023/11/05 07:08:09'"));
    EXPECT_TRUE(sites.setRescheduled(2, false));
    EXPECT_EQ(1, rows("schedule = 0 AND rescheduled = 0"));
    EXPECT_EQ(RecordSite::ArchiveFromNone, sites.findByHandle(2)->archiveFrom());
    EXPECT_TRUE(sites.setArchiving(2, false));
    EXPECT_EQ(1, rows("archiving = 0"));
    EXPECT_FALSE(sites.findByHandle(2)->archiving());
    EXPECT_EQ(2, sites.findByHandle(2)->scheduleHandle());

    sites.findByHandle(2)->setName("Gate 2");
    EXPECT_TRUE(sites.save(2));
    EXPECT_EQ(1, rows("name = 'Gate 2'"));

    EXPECT_FALSE(sites.save(9));
    EXPECT_FALSE(sites.setArchiving(9, true));
    EXPECT_FALSE(sites.removeByHandle(-1));
    EXPECT_EQ(nullptr, sites.findByHandle(-1));
}

TEST_F(SiteContainerTest, UpdateCopiesEveryFieldIntoTheKeptRecord) {
    RecordSite site = fullSite("Yard");
    ASSERT_TRUE(sites.add(site));
    RecordSite* kept = sites.findById(site.id());
    RecordSite changed(*kept);
    changed.setName("Yard East");
    changed.setConnection("10.1.1.1", 8000, "u", "p");
    changed.setStorageUsage(5, 10);
    ASSERT_TRUE(sites.update(changed));
    EXPECT_EQ(kept, sites.findById(site.id())); // same record, new fields
    EXPECT_EQ("Yard East", kept->name());
    EXPECT_EQ("10.1.1.1", kept->address());
    EXPECT_EQ(5u, kept->storageUsed());
    EXPECT_EQ(1, rows("name = 'Yard East' AND port = 8000"));

    RecordSite stranger;
    EXPECT_FALSE(sites.update(stranger));
    EXPECT_EQ(1, rows());
}

TEST_F(SiteContainerTest, NamesAreFoundExactly) {
    RecordSite a = fullSite("Lobby");
    RecordSite b = fullSite("lobby");
    ASSERT_TRUE(sites.add(a));
    ASSERT_TRUE(sites.add(b));
    EXPECT_EQ(a.id(), sites.findByName("Lobby")->id());
    EXPECT_EQ(b.id(), sites.findByName("lobby")->id());
    EXPECT_EQ(nullptr, sites.findByName("Lobby "));
    EXPECT_EQ(nullptr, sites.findByName(""));
}

TEST_F(SiteContainerTest, WalksFollowTheIdentifiersBytes) {
    // The first group is a little-endian field: "01000000" lies before "00000001" in memory.
    const char* ids[] = {"00000001-0000-4000-8000-000000000000", "01000000-0000-4000-8000-000000000000",
                         "00000000-0000-4000-8000-000000000001", "00000100-0000-4000-8000-000000000000"};
    for (const char* id : ids) {
        RecordSite site{UniqueID(id)};
        site.setName(id);
        ASSERT_TRUE(sites.add(site));
    }
    std::vector<std::string> order;
    for (RecordSite* site : sites.sites(false)) {
        order.push_back(site->name());
    }
    EXPECT_EQ((std::vector<std::string>{"00000000-0000-4000-8000-000000000001", "01000000-0000-4000-8000-000000000000",
                                        "00000100-0000-4000-8000-000000000000", "00000001-0000-4000-8000-000000000000"}),
              order);
}

TEST_F(SiteContainerTest, SameIdentifierIsNotAddedTwice) {
    RecordSite site = fullSite("Twice");
    ASSERT_TRUE(sites.add(site));
    site.setName("Other");
    EXPECT_FALSE(sites.add(site));
    EXPECT_EQ(1, rows());
    EXPECT_EQ("Twice", sites.findById(site.id())->name());
    EXPECT_FALSE(sites.lastErrorText().empty());
}

TEST_F(SiteContainerTest, TheHundredAndFirstSiteIsRefusedAndNoSiteIsLost) {
    std::vector<UniqueID> ids;
    for (int i = 0; i < SiteContainer::RowCap; ++i) {
        RecordSite site;
        site.setName("Site " + std::to_string(i));
        ids.push_back(site.id());
        ASSERT_TRUE(sites.add(site)) << i;
    }
    EXPECT_TRUE(sites.isFull());
    RecordSite extra;
    EXPECT_FALSE(sites.add(extra));
    EXPECT_EQ(SiteContainer::FullText, sites.lastErrorText());
    EXPECT_EQ(nullptr, sites.findById(extra.id()));
    EXPECT_EQ(100, rows());
    for (const UniqueID& id : ids) {
        EXPECT_NE(nullptr, sites.findById(id));
    }

    // A deleted site frees its place, also after the sites are loaded again.
    ASSERT_TRUE(sites.remove(*sites.findById(ids[0])));
    ASSERT_TRUE(sites.load());
    EXPECT_EQ(99, sites.rowCount());
    EXPECT_FALSE(sites.isFull());
    EXPECT_TRUE(sites.add(extra));
    EXPECT_TRUE(sites.lastErrorText().empty());
    EXPECT_EQ(101, rows());
    EXPECT_EQ(100, rows("deleted = 0"));
}

TEST_F(SiteContainerTest, DatabaseFailuresAreReportedAndChangeNothing) {
    test::CapturingLogHandler captured;
    RecordSite site = fullSite("Pier");
    ASSERT_TRUE(sites.add(site));
    withHandle(site, 1);
    warehouse.close();

    RecordSite another = fullSite("Quay");
    EXPECT_FALSE(sites.add(another));
    EXPECT_EQ(nullptr, sites.findById(another.id()));
    EXPECT_NE(std::string::npos, sites.lastErrorText().find("Quay"));

    RecordSite changed(*sites.findById(site.id()));
    changed.setName("Pier 2");
    EXPECT_FALSE(sites.update(changed));
    EXPECT_EQ("Pier", sites.findById(site.id())->name());
    EXPECT_FALSE(sites.setArchiving(1, false));
    EXPECT_TRUE(sites.findById(site.id())->archiving());
    EXPECT_FALSE(sites.remove(site));
    EXPECT_EQ(sites.findById(site.id()), sites.findByHandle(1));
    EXPECT_FALSE(sites.findById(site.id())->deleted());

    EXPECT_FALSE(captured.lines().empty());
    EXPECT_TRUE(captured.contains("DatabaseException"));
    // The statements carry the password as a bound value: it is in no message.
    EXPECT_FALSE(captured.contains("pa'ss"));
    EXPECT_EQ(std::string::npos, sites.lastErrorText().find("pa'ss"));
}

TEST(SiteContainerFileTest, LockedDatabaseFailsTheChangeAndTheNextOneSucceeds) {
    test::DatabaseDirectory dir;
    const std::string path = dir.file("app.db");
    DataWarehouse warehouse;
    warehouse.open(path, 0);
    SiteContainer sites(warehouse);
    ASSERT_TRUE(sites.load());
    RecordSite site = fullSite("Locked");

    Database other;
    other.open(path);
    other.execute("BEGIN EXCLUSIVE;");
    EXPECT_FALSE(sites.add(site));
    EXPECT_NE(std::string::npos, sites.lastErrorText().find("locked"));
    other.execute("ROLLBACK;");

    EXPECT_TRUE(sites.add(site));
    ASSERT_TRUE(sites.load());
    EXPECT_NE(nullptr, sites.findById(site.id()));
}

TEST(SiteContainerFileTest, DatabaseThatCannotBeOpenedLeavesNoSites) {
    test::CapturingLogHandler captured;
    DataWarehouse warehouse; // never opened, as after a failed open of app.db
    SiteContainer sites(warehouse);
    EXPECT_FALSE(sites.load());
    EXPECT_TRUE(sites.sites(true).empty());
    EXPECT_TRUE(captured.contains("cannot load the sites"));
    EXPECT_FALSE(sites.add(fullSite("Nowhere")));
    EXPECT_TRUE(sites.sites(true).empty());
}

TEST(SiteContainerFileTest, ProcessWideContainerUsesTheWarehouse) {
    test::DatabaseDirectory dir;
    DataWarehouse::instance().open(dir.file("app.db"));
    SiteContainer& sites = SiteContainer::instance();
    EXPECT_EQ(&sites, &SiteContainer::instance());
    ASSERT_TRUE(sites.load());
    ASSERT_TRUE(sites.add(fullSite("Solo")));
    sites.unload();
    DataWarehouse::instance().close();
}

} // namespace
