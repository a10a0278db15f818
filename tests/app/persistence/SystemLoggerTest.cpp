#include "app/persistence/RecordSite.h"
#include "app/persistence/SystemLogger.h"
#include "app/scheduling/ArchivingEvent.h"
#include "app/scheduling/EventListener.h"
#include "app/scheduling/EventManager.h"
#include "app/scheduling/LogCodes.h"
#include "base/ManualClock.h"
#include "database/DataWarehouse.h"
#include "database/RowSet.h"
#include "database/support/DatabaseTestSupport.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

// A clock that stays at one local time with its zone (the manual clock keeps offset 0).
class ZonedClock : public Clock {
public:
    explicit ZonedClock(const DateTime& time) : _time(time) {}
    DateTime now() const override { return _time; }

private:
    DateTime _time;
};

class SystemLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        warehouse.open(":memory:");
        ASSERT_TRUE(logger.load());
    }

    int rowsInTable() {
        RowSet rows(warehouse.database(), "SELECT COUNT(*) FROM log;");
        rows.next();
        return rows.getInt(0);
    }
    std::vector<int> codes() const {
        std::vector<int> out;
        for (const auto& [id, entry] : logger.entries()) {
            out.push_back(entry.code());
        }
        return out;
    }

    DataWarehouse warehouse;
    ManualClock clock{DateTime(2024, 3, 10, 12, 0, 0)};
    SystemLogger logger{warehouse, SystemLogger::RowCap, clock};
    UniqueID siteA{"3f2504e0-4f89-11d3-9a0c-0305e82c3301"};
    UniqueID siteB{"a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11"};
};

TEST_F(SystemLoggerTest, OneDayQueryTakesTheWholeDayAndNothingElse) {
    const DateTime stamps[] = {
        {2024, 3, 9, 23, 59, 59}, {2024, 3, 10, 0, 0, 0}, {2024, 3, 10, 12, 30, 0},
        {2024, 3, 10, 23, 59, 59}, {2024, 3, 11, 0, 0, 0}, {2025, 3, 10, 1, 0, 0},
    };
    int code = 1;
    for (const DateTime& stamp : stamps) {
        clock.set(stamp);
        ASSERT_TRUE(logger.write(LogLevel::Info, siteA, code++, ""));
    }
    EXPECT_EQ(3, logger.query(Date(2024, 3, 10), Date(2024, 3, 10), std::nullopt));
    EXPECT_EQ((std::vector<int>{2, 3, 4}), codes());
    EXPECT_EQ(5, logger.query(Date(2024, 3, 9), Date(2024, 3, 11), std::nullopt));
    EXPECT_EQ(1, logger.query(Date(2025, 1, 1), Date(2025, 12, 31), std::nullopt));
    EXPECT_EQ(0, logger.query(Date(2024, 3, 12), Date(2024, 3, 31), std::nullopt));
    EXPECT_TRUE(logger.entries().empty());
}

TEST_F(SystemLoggerTest, OwnerQueryTakesThatSiteOnly) {
    logger.log(siteA, LogCode::StartArchiving);
    logger.log(siteB, LogCode::ScheduleAdded);
    logger.error(siteA, LogCode::FailedToConnect);
    const Date today(2024, 3, 10);
    EXPECT_EQ(2, logger.query(today, today, siteA));
    EXPECT_EQ((std::vector<int>{LogCode::StartArchiving, LogCode::FailedToConnect}), codes());
    EXPECT_EQ(1, logger.query(today, today, siteB));
    EXPECT_EQ(0, logger.query(today, today, UniqueID::nil()));
    EXPECT_EQ(3, logger.query(today, today, std::nullopt));
    EXPECT_EQ((std::vector<int>{1, 3, 23}), codes());
}

TEST_F(SystemLoggerTest, EntryComesBackWithEveryField) {
    const ZonedClock zoned(DateTime(2024, 12, 31, 23, 5, 9, -5 * 3600));
    SystemLogger logger(warehouse, SystemLogger::RowCap, zoned);
    const std::vector<std::string> texts = {"", "it's 100% %s done", "/mnt/Überwachung/东京 01.strg",
                                            "'); DROP TABLE log; --"};
    for (const std::string& text : texts) {
        logger.error(siteB, LogCode::StorageIOError, text);
    }
    ASSERT_EQ(4, logger.query(Date(2024, 12, 31), Date(2024, 12, 31), siteB));
    auto it = logger.entries().begin();
    for (const std::string& text : texts) {
        const SystemLog& entry = it->second;
        EXPECT_EQ(it->first, entry.id());
        EXPECT_EQ(text, entry.text());
        EXPECT_EQ(LogLevel::Error, entry.level());
        EXPECT_STREQ("Error", SystemLog::levelName(entry.level()));
        EXPECT_EQ(siteB, entry.owner());
        EXPECT_EQ(LogCode::StorageIOError, entry.code());
        EXPECT_STREQ("Storage I/O Error occured", entry.codeText());
        EXPECT_EQ(DateTime(2024, 12, 31, 23, 5, 9, -5 * 3600), entry.time());
        EXPECT_EQ(-5 * 3600, entry.time().zoneOffsetSeconds());
        ++it;
    }
}

TEST_F(SystemLoggerTest, RowsHoldTheStoredFormat) {
    const ZonedClock zoned(DateTime(2024, 7, 4, 8, 9, 10, -4 * 3600));
    SystemLogger logger(warehouse, SystemLogger::RowCap, zoned);
    logger.error(siteA, LogCode::ConnectionTimeout, "x");
    RowSet schema(warehouse.database(), "SELECT sql FROM sqlite_master WHERE name = 'log';");
    ASSERT_TRUE(schema.next());
    EXPECT_EQ("CREATE TABLE log (id INTEGER PRIMARY KEY,level INTEGER NOT NULL,date INTEGER NOT NULL,time "
              "INTEGER NOT NULL, owner TEXT,log INTEGER NOT NULL,message TEXT)",
              schema.getText(0));

    RowSet rows(warehouse.database(), "SELECT * FROM log;");
    ASSERT_TRUE(rows.next());
    EXPECT_EQ(1, rows.getInt(0));
    EXPECT_EQ(1, rows.getInt(1));
    EXPECT_EQ((2024 << 16) | (7 << 8) | 4, rows.getInt64(2));
    // Zone -16 quarter hours in the top byte: the word is negative as a signed integer.
    EXPECT_EQ(static_cast<int32_t>(0xF008090Au), rows.getInt64(3));
    EXPECT_EQ("3f2504e0-4f89-11d3-9a0c-0305e82c3301", rows.getText(4));
    EXPECT_EQ(20, rows.getInt(5));
    EXPECT_EQ("x", rows.getText(6));
}

TEST_F(SystemLoggerTest, ReadsRowsWrittenByTheFormattedInserts) {
    // A row as another build writes it: values formatted into the statement.
    warehouse.database().execute("INSERT INTO log (level, date, time, owner, log, message) VALUES (3, 132645130, "
                                 "-267321344, 'A0EEBC99-9C0B-4EF8-BB6D-6BB9BD380A11', 1, 'a''b 50%');");
    ASSERT_EQ(1, logger.query(Date(2024, 1, 1), Date(2024, 12, 31), std::nullopt));
    const SystemLog& entry = logger.entries().begin()->second;
    EXPECT_EQ(Date(2024, 1, 10), entry.time().date());
    EXPECT_EQ(Time(0xF0110000u).packed(), entry.time().time().packed());
    EXPECT_EQ(siteB, entry.owner());
    EXPECT_EQ("a'b 50%", entry.text());
}

TEST_F(SystemLoggerTest, WritingPastTheCapDropsTheOldestEntry) {
    SystemLogger small(warehouse, 5, clock);
    for (int code = 1; code <= 8; ++code) {
        small.log(siteA, code);
    }
    EXPECT_EQ(5, small.rowCount());
    EXPECT_EQ(5, rowsInTable());
    small.query(Date(2024, 1, 1), Date(2024, 12, 31), std::nullopt);
    std::vector<int> kept;
    for (const auto& [id, entry] : small.entries()) {
        kept.push_back(entry.code());
    }
    EXPECT_EQ((std::vector<int>{4, 5, 6, 7, 8}), kept);
}

TEST_F(SystemLoggerTest, FullTableOfTenThousandKeepsTenThousand) {
    // Fill the table in one statement, then count it as at start-up.
    warehouse.database().execute(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10000) "
        "INSERT INTO log (level, date, time, owner, log, message) SELECT 3, 132645642, 0, "
        "'3f2504e0-4f89-11d3-9a0c-0305e82c3301', i % 31, '' FROM n;");
    SystemLogger full(warehouse, SystemLogger::RowCap, clock);
    ASSERT_TRUE(full.load());
    EXPECT_EQ(10000, full.rowCount());
    ASSERT_TRUE(full.write(LogLevel::Info, siteB, LogCode::StorageCreated, "new"));
    EXPECT_EQ(10000, full.rowCount());
    EXPECT_EQ(10000, rowsInTable());
    RowSet range(warehouse.database(), "SELECT MIN(id), MAX(id) FROM log;");
    range.next();
    EXPECT_EQ(2, range.getInt(0));
    EXPECT_EQ(10001, range.getInt(1));
}

TEST_F(SystemLoggerTest, WritersOnManyThreadsAllLand) {
    SystemLogger capped(warehouse, 150, clock);
    constexpr int Threads = 4;
    constexpr int PerThread = 100;
    {
        std::vector<std::unique_ptr<ostrel::testing::FunctionThread>> writers;
        for (int t = 0; t < Threads; ++t) {
            writers.push_back(std::make_unique<ostrel::testing::FunctionThread>([&, t] {
                for (int i = 0; i < PerThread; ++i) {
                    capped.error(t % 2 ? siteA : siteB, t, std::to_string(i));
                }
            }));
            writers.back()->start();
        }
    }
    EXPECT_EQ(150, capped.rowCount());
    EXPECT_EQ(150, rowsInTable());
    RowSet maxId(warehouse.database(), "SELECT MAX(id) FROM log;");
    maxId.next();
    EXPECT_EQ(Threads * PerThread, maxId.getInt(0));
}

TEST_F(SystemLoggerTest, DatabaseFailuresAreTracedAndSwallowed) {
    test::CapturingLogHandler captured;
    warehouse.close();
    EXPECT_FALSE(logger.write(LogLevel::Info, siteA, LogCode::StartArchiving, "lost"));
    logger.error(siteA, LogCode::Disconnected); // no throw
    EXPECT_EQ(0, logger.query(Date(2024, 1, 1), Date(2024, 12, 31), siteA));
    EXPECT_FALSE(logger.load());
    EXPECT_TRUE(captured.contains("DatabaseException"));
    EXPECT_TRUE(captured.contains("The database is not open"));

    // Once the database is back, entries are written again.
    warehouse.open(":memory:");
    ASSERT_TRUE(logger.load());
    EXPECT_TRUE(logger.write(LogLevel::Info, siteA, LogCode::StartArchiving, ""));
}

TEST_F(SystemLoggerTest, ErrorDisconnectIsLoggedWithItsCode) {
    // What the event manager writes for a disconnect by timeout.
    logger.error(siteA, logCodeOfReason(110));
    ASSERT_EQ(1, logger.query(Date(2024, 3, 10), Date(2024, 3, 10), siteA));
    const SystemLog& entry = logger.entries().begin()->second;
    EXPECT_EQ(LogLevel::Error, entry.level());
    EXPECT_EQ(LogCode::ConnectionTimeout, entry.code());
    EXPECT_STREQ("Connection timeout", entry.codeText());
    EXPECT_EQ("", entry.text());
}

// The main view's part: the failing event marks the site failed.
class FailingSite : public EventListener {
public:
    explicit FailingSite(RecordSite& site) : _site(site) {}
    void onEvent(const ArchivingEvent& event) override {
        _site.setLastFailure(event);
        _site.setStatus(RecordSite::StatusFailed);
    }

private:
    RecordSite& _site;
};

TEST_F(SystemLoggerTest, ErrorDisconnectThroughTheEventManagerFailsTheSiteAndLogsItsCode) {
    RecordSite site(siteA);
    site.applyArchivability(RecordSite::ReasonNone);
    site.setStatus(RecordSite::StatusArchiving);
    EventManager events([&](int handle) -> std::optional<UniqueID> {
                            return handle == 5 ? std::optional<UniqueID>(siteA) : std::nullopt;
                        },
                        [&](const UniqueID& owner, int code, const std::string& text) {
                            logger.error(owner, code, text);
                        });
    FailingSite view(site);
    events.addListener(&view);
    events.enable();
    ArchivingEvent disconnect;
    disconnect.siteHandle = 5;
    disconnect.type = ArchivingEvent::Disconnected;
    disconnect.value = 111;
    events.post(disconnect);
    EXPECT_EQ(RecordSite::StatusFailed, site.status());
    EXPECT_EQ("Connection refused", site.statusText());
    // The normal end of a playback logs nothing.
    events.removeListener(&view);
    ArchivingEvent normalEnd = disconnect;
    normalEnd.value = 301;
    events.post(normalEnd);

    ASSERT_EQ(1, logger.query(Date(2024, 3, 10), Date(2024, 3, 10), siteA));
    const SystemLog& entry = logger.entries().begin()->second;
    EXPECT_EQ(LogLevel::Error, entry.level());
    EXPECT_EQ(LogCode::ConnectionRefused, entry.code());
    EXPECT_STREQ("Connection refused", entry.codeText());
}

TEST(SystemLoggerFileTest, EntriesSurviveClosingAndReopeningTheDatabase) {
    test::DatabaseDirectory dir;
    const UniqueID site;
    DataWarehouse warehouse;
    ManualClock clock(DateTime(2024, 5, 1, 10, 0, 0));
    {
        warehouse.open(dir.file("app.db"));
        SystemLogger logger(warehouse, SystemLogger::RowCap, clock);
        ASSERT_TRUE(logger.load());
        logger.log(site, LogCode::ScheduleAdded);
        logger.error(site, LogCode::FailedToLogin, "denied");
        logger.unload();
        EXPECT_EQ(0, logger.rowCount());
        warehouse.close();
    }
    warehouse.open(dir.file("app.db"));
    SystemLogger logger(warehouse, SystemLogger::RowCap, clock);
    ASSERT_TRUE(logger.load());
    EXPECT_EQ(2, logger.rowCount());
    ASSERT_EQ(2, logger.query(Date(2024, 5, 1), Date(2024, 5, 1), site));
    EXPECT_EQ("denied", logger.entries().rbegin()->second.text());
}

TEST(SystemLoggerFileTest, ProcessWideLoggerWritesIntoTheWarehouseDatabase) {
    test::DatabaseDirectory dir;
    DataWarehouse::instance().open(dir.file("app.db"));
    SystemLogger& logger = SystemLogger::instance();
    EXPECT_EQ(&logger, &SystemLogger::instance());
    ASSERT_TRUE(logger.load());
    const UniqueID site;
    logger.log(site, LogCode::StartArchiving);
    const Date today = DateTime::now().date();
    EXPECT_EQ(1, logger.query(today, today, site));
    logger.unload();
    DataWarehouse::instance().close();
}

TEST(SystemLogTest, LevelNames) {
    const char* expected[] = {"Fatal", "Error", "Warn", "Info", "Debug", ""};
    for (int level = 0; level <= 5; ++level) {
        EXPECT_STREQ(expected[level], SystemLog::levelName(level));
    }
    EXPECT_STREQ("", SystemLog::levelName(-1));
}

} // namespace
