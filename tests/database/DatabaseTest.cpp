#include "database/Database.h"
#include "database/DataWarehouse.h"
#include "database/DatabaseException.h"
#include "database/FormatableSQL.h"
#include "database/RowSet.h"
#include "database/DatabaseTransaction.h"
#include "database/support/DatabaseTestSupport.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

using namespace ostrel;

namespace {

class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        db.open(":memory:");
        db.execute("CREATE TABLE t (id INTEGER PRIMARY KEY, value TEXT NOT NULL, n INTEGER);");
    }

    int count() {
        RowSet rows(db, "SELECT COUNT(*) FROM t;");
        rows.next();
        return rows.getInt(0);
    }

    Database db;
};

TEST_F(DatabaseTest, BoundTextsComeBackByteForByte) {
    const std::vector<std::string> texts = {
        "plain", "O'Brien's \"site\"", "100% done %s %n %q", "Überwachung 東京 ✓", "semi; DROP TABLE t; --",
        std::string("nul\0inside", 10), "",
    };
    for (const std::string& text : texts) {
        RowSet insert(db, "INSERT INTO t (value, n) VALUES (?, ?);");
        insert.bind(1, text).bind(2, -7);
        insert.execute();
    }
    RowSet rows(db, "SELECT value, n FROM t ORDER BY id;");
    for (const std::string& text : texts) {
        ASSERT_TRUE(rows.next());
        EXPECT_EQ(text, rows.getText(0));
        EXPECT_EQ(-7, rows.getInt(1));
    }
    EXPECT_FALSE(rows.next());
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(count()));
}

TEST_F(DatabaseTest, NullColumnsReadAsEmptyAndZero) {
    db.execute("INSERT INTO t (value) VALUES ('x');");
    RowSet rows(db, "SELECT n, NULL FROM t;");
    ASSERT_TRUE(rows.next());
    EXPECT_TRUE(rows.isNull(0));
    EXPECT_EQ(0, rows.getInt(0));
    EXPECT_EQ("", rows.getText(1));
}

TEST_F(DatabaseTest, FailuresCarrySQLiteMessageAndCode) {
    try {
        db.execute("INSERT INTO nowhere VALUES (1);");
        FAIL() << "no exception";
    } catch (const DatabaseException& e) {
        EXPECT_STREQ("DatabaseException", e.typeName());
        EXPECT_EQ(SQLITE_ERROR, e.code());
        EXPECT_STREQ("no such table: nowhere", e.message());
    }
    EXPECT_THROW(RowSet(db, "SELEKT 1;"), DatabaseException);

    // A constraint failure while stepping finalises the statement.
    RowSet insert(db, "INSERT INTO t (value) VALUES (?);");
    insert.bindNull(1);
    try {
        insert.next();
        FAIL() << "no exception";
    } catch (const DatabaseException& e) {
        EXPECT_EQ(SQLITE_CONSTRAINT_NOTNULL, e.code());
        EXPECT_NE(std::string::npos, std::string(e.message()).find("NOT NULL"));
    }
    EXPECT_FALSE(insert.isOpen());
    EXPECT_THROW(insert.next(), DatabaseException);
    EXPECT_THROW(insert.bind(1, 1), DatabaseException);
}

TEST_F(DatabaseTest, BindingOutsideTheParametersThrows) {
    RowSet insert(db, "INSERT INTO t (value) VALUES (?);");
    EXPECT_THROW(insert.bind(2, std::string("x")), DatabaseException);
}

TEST_F(DatabaseTest, ClosedConnectionFailsEveryOperation) {
    db.close();
    EXPECT_FALSE(db.isOpen());
    EXPECT_THROW(db.execute("SELECT 1;"), DatabaseException);
    EXPECT_THROW(RowSet(db, "SELECT 1;"), DatabaseException);
    std::vector<std::string> names;
    EXPECT_THROW(db.tableNames(names), DatabaseException);
    db.close(); // twice is harmless
}

TEST_F(DatabaseTest, TableNamesListsTablesAndViewsSorted) {
    db.execute("CREATE TABLE b (id INTEGER); CREATE VIEW a AS SELECT 1; CREATE TEMP TABLE c (id INTEGER);"
               "CREATE INDEX t_idx ON t(value);");
    std::vector<std::string> names{"kept"};
    db.tableNames(names);
    EXPECT_EQ((std::vector<std::string>{"kept", "a", "b", "c", "t"}), names);
}

TEST_F(DatabaseTest, FailedStatementRollsBackItsTransactionAndTheConnectionCarriesOn) {
    db.execute("INSERT INTO t (value) VALUES ('before');");
    try {
        DatabaseTransaction transaction(db);
        db.execute("INSERT INTO t (value) VALUES ('inside');");
        RowSet bad(db, "INSERT INTO t (value) VALUES (NULL);");
        bad.execute();
        transaction.commit();
        FAIL() << "no exception";
    } catch (const DatabaseException&) {
    }
    EXPECT_FALSE(db.inTransaction());
    EXPECT_EQ(1, count());
    {
        DatabaseTransaction transaction(db);
        db.execute("INSERT INTO t (value) VALUES ('after');");
        transaction.commit();
    }
    EXPECT_EQ(2, count());
}

TEST(FormatableSQLTest, QuotesTextAndIdentifiersTheWaySQLiteDoes) {
    FormatableSQL sql("SELECT '%q', %Q, %Q, \"%w\";", "it's", "a'b", static_cast<const char*>(nullptr), "x\"y");
    EXPECT_STREQ("SELECT 'it''s', 'a''b', NULL, \"x\"\"y\";", sql.c_str());
    sql.append(" -- %d%%", 5);
    EXPECT_STREQ("SELECT 'it''s', 'a''b', NULL, \"x\"\"y\"; -- 5%", sql.c_str());
    sql.format("%s", "new");
    EXPECT_STREQ("new", sql.c_str());
    EXPECT_STREQ("", FormatableSQL().c_str());
}

TEST(DatabaseFileTest, NewFileIsPrivateToItsOwnerAndReopens) {
    test::DatabaseDirectory dir;
    const std::string path = dir.file("app.db");
    {
        Database db;
        db.open(path);
        db.execute("CREATE TABLE x (id INTEGER); INSERT INTO x VALUES (42);");
    }
    struct stat info {};
    ASSERT_EQ(0, ::stat(path.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);

    Database again;
    again.open(path);
    RowSet rows(again, "SELECT id FROM x;");
    ASSERT_TRUE(rows.next());
    EXPECT_EQ(42, rows.getInt(0));
}

TEST(DatabaseFileTest, FileThatIsNotADatabaseFailsTheOpen) {
    test::DatabaseDirectory dir;
    const std::string path = dir.file("app.db");
    std::ofstream(path) << std::string(4096, 'x');
    Database db;
    try {
        db.open(path);
        FAIL() << "no exception";
    } catch (const DatabaseException& e) {
        EXPECT_EQ(SQLITE_NOTADB, e.code() & 0xFF);
    }
    EXPECT_FALSE(db.isOpen());
}

TEST(DatabaseFileTest, MissingDirectoryFailsTheOpen) {
    test::DatabaseDirectory dir;
    Database db;
    EXPECT_THROW(db.open(dir.file("missing/app.db")), DatabaseException);
    EXPECT_FALSE(db.isOpen());
}

TEST(DatabaseFileTest, LockedDatabaseFailsTheWriteWithoutPoisoningTheConnection) {
    test::DatabaseDirectory dir;
    const std::string path = dir.file("app.db");
    Database db;
    db.open(path); // no busy timeout: the lock is met at once
    db.execute("CREATE TABLE x (id INTEGER);");

    Database other;
    other.open(path);
    other.execute("BEGIN EXCLUSIVE;");
    try {
        DatabaseTransaction transaction(db);
        db.execute("INSERT INTO x VALUES (1);");
        transaction.commit();
        FAIL() << "no exception";
    } catch (const DatabaseException& e) {
        EXPECT_EQ(SQLITE_BUSY, e.code() & 0xFF);
    }
    EXPECT_FALSE(db.inTransaction());
    other.execute("ROLLBACK;");

    DatabaseTransaction transaction(db);
    db.execute("INSERT INTO x VALUES (2);");
    transaction.commit();
    RowSet rows(db, "SELECT id FROM x;");
    ASSERT_TRUE(rows.next());
    EXPECT_EQ(2, rows.getInt(0));
    EXPECT_FALSE(rows.next());
}

TEST(DatabaseFileTest, BusyTimeoutWaitsForAnotherConnectionsLock) {
    test::DatabaseDirectory dir;
    const std::string path = dir.file("app.db");
    DataWarehouse warehouse;
    warehouse.open(path, 60000); // far longer than the other connection holds its lock
    warehouse.database().execute("CREATE TABLE x (id INTEGER);");

    Database other;
    other.open(path);
    other.execute("BEGIN EXCLUSIVE;");
    ostrel::testing::FunctionThread releaser([&] {
        Thread::sleep(100);
        other.execute("ROLLBACK;");
    });
    releaser.start();
    {
        Mutex::ScopedLock lock(warehouse.mutex());
        DatabaseTransaction transaction(warehouse.database());
        warehouse.database().execute("INSERT INTO x VALUES (7);");
        transaction.commit();
    }
    releaser.join();
    RowSet rows(warehouse.database(), "SELECT COUNT(*) FROM x;");
    ASSERT_TRUE(rows.next());
    EXPECT_EQ(1, rows.getInt(0));
}

} // namespace
