#include "database/AbstractDatabaseRecord.h"
#include "database/AbstractDatabaseTable.h"
#include "database/DataWarehouse.h"
#include "database/DatabaseException.h"
#include "database/DatabaseTableListener.h"
#include "database/FormatableSQL.h"
#include "database/RowSet.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

struct Note : AbstractDatabaseRecord {
    int id = 0;
    std::string text;
    void read(const RowSet& rows) override {
        id = rows.getInt(0);
        text = rows.getText(1);
    }
};

// A small table over the base, counting the SQL it is asked for.
class NoteTable : public AbstractDatabaseTable {
public:
    NoteTable(DataWarehouse& warehouse, int cap, CapPolicy policy)
        : AbstractDatabaseTable("notes", cap, policy, warehouse) {}

    std::map<int, std::string> loaded;
    int statements = 0;
    bool failInsert = false;

protected:
    void createTable() override {
        ++statements;
        database().execute(FormatableSQL("CREATE TABLE %q (id INTEGER PRIMARY KEY, text TEXT NOT NULL);",
                                         name().c_str())
                               .c_str());
    }
    void insertRow(AbstractDatabaseRecord& record) override {
        ++statements;
        auto& note = dynamic_cast<Note&>(record);
        RowSet rows(database(), "INSERT INTO notes (text) VALUES (?);");
        if (failInsert) {
            rows.bindNull(1);
        } else {
            rows.bind(1, note.text);
        }
        rows.execute();
        note.id = static_cast<int>(database().lastInsertRowId());
    }
    void updateRow(AbstractDatabaseRecord& record) override {
        ++statements;
        auto& note = dynamic_cast<Note&>(record);
        RowSet rows(database(), "UPDATE notes SET text = ? WHERE id = ?;");
        rows.bind(1, note.text).bind(2, note.id).execute();
    }
    void deleteRow(AbstractDatabaseRecord& record) override {
        ++statements;
        RowSet rows(database(), "DELETE FROM notes WHERE id = ?;");
        rows.bind(1, dynamic_cast<Note&>(record).id).execute();
    }
    int selectRows(const SqlCondition* condition) override {
        ++statements;
        loaded.clear();
        std::string sql = "SELECT id, text FROM notes";
        if (condition != nullptr && !condition->empty()) {
            sql += " WHERE " + condition->text();
        }
        RowSet rows(database(), sql + ";");
        if (condition != nullptr) {
            condition->bindTo(rows);
        }
        while (rows.next()) {
            Note note;
            note.read(rows);
            loaded[note.id] = note.text;
        }
        return static_cast<int>(loaded.size());
    }
};

class RecordingListener : public DatabaseTableListener {
public:
    void tableChanged(int kind, const AbstractDatabaseRecord& record) override {
        changes.emplace_back(kind, dynamic_cast<const Note&>(record).text);
    }
    std::vector<std::pair<int, std::string>> changes;
};

class AbstractDatabaseTableTest : public ::testing::Test {
protected:
    void SetUp() override { warehouse.open(":memory:"); }

    bool add(NoteTable& table, const std::string& text) {
        Note note;
        note.text = text;
        return table.insert(note);
    }
    int rowsInDatabase() {
        RowSet rows(warehouse.database(), "SELECT COUNT(*) FROM notes;");
        rows.next();
        return rows.getInt(0);
    }

    DataWarehouse warehouse;
};

TEST_F(AbstractDatabaseTableTest, OpenCreatesAMissingTableAndCountsAnExistingOne) {
    {
        NoteTable table(warehouse, 100, AbstractDatabaseTable::CapPolicy::DropOldest);
        table.open();
        EXPECT_EQ(1, table.statements);
        EXPECT_EQ(0, table.rowCount());
        add(table, "a");
        add(table, "b");
        add(table, "c");
    }
    NoteTable again(warehouse, 100, AbstractDatabaseTable::CapPolicy::DropOldest);
    again.open();
    EXPECT_EQ(0, again.statements); // counted, not created
    EXPECT_EQ(3, again.rowCount());
    again.resetCount();
    EXPECT_EQ(0, again.rowCount());
}

TEST_F(AbstractDatabaseTableTest, RotationAtTheCapDropsTheOldestRows) {
    NoteTable table(warehouse, 5, AbstractDatabaseTable::CapPolicy::DropOldest);
    table.open();
    for (int i = 0; i < 12; ++i) {
        ASSERT_TRUE(add(table, "note " + std::to_string(i)));
        EXPECT_EQ(std::min(i + 1, 5), table.rowCount());
    }
    EXPECT_EQ(5, rowsInDatabase());
    EXPECT_EQ(5, table.select());
    std::vector<std::string> texts;
    for (const auto& [id, text] : table.loaded) {
        texts.push_back(text);
    }
    EXPECT_EQ((std::vector<std::string>{"note 7", "note 8", "note 9", "note 10", "note 11"}), texts);
}

TEST_F(AbstractDatabaseTableTest, TableWrittenWithALargerCapIsCutBackToTheCap) {
    {
        NoteTable wide(warehouse, 100, AbstractDatabaseTable::CapPolicy::DropOldest);
        wide.open();
        for (int i = 0; i < 9; ++i) {
            add(wide, std::to_string(i));
        }
    }
    NoteTable narrow(warehouse, 4, AbstractDatabaseTable::CapPolicy::DropOldest);
    narrow.open();
    EXPECT_EQ(9, narrow.rowCount());
    add(narrow, "new");
    EXPECT_EQ(4, narrow.rowCount());
    EXPECT_EQ(4, rowsInDatabase());
    narrow.select();
    EXPECT_EQ("6", narrow.loaded.begin()->second);
    EXPECT_EQ("new", narrow.loaded.rbegin()->second);
}

TEST_F(AbstractDatabaseTableTest, FailedInsertAtTheCapKeepsTheOldestRowAndTheCount) {
    NoteTable table(warehouse, 3, AbstractDatabaseTable::CapPolicy::DropOldest);
    table.open();
    add(table, "a");
    add(table, "b");
    add(table, "c");
    table.failInsert = true;
    EXPECT_THROW(add(table, "d"), DatabaseException);
    EXPECT_EQ(3, table.rowCount());
    EXPECT_EQ(3, rowsInDatabase());
    EXPECT_FALSE(warehouse.database().inTransaction());
    table.failInsert = false;
    EXPECT_TRUE(add(table, "e"));
    table.select();
    EXPECT_EQ("b", table.loaded.begin()->second);
}

TEST_F(AbstractDatabaseTableTest, RefusingTableReturnsFalseAtTheCapAndKeepsEveryRow) {
    NoteTable table(warehouse, 2, AbstractDatabaseTable::CapPolicy::Refuse);
    table.open();
    EXPECT_TRUE(add(table, "a"));
    EXPECT_TRUE(add(table, "b"));
    const int before = table.statements;
    EXPECT_FALSE(add(table, "c"));
    EXPECT_EQ(before, table.statements);
    EXPECT_EQ(2, rowsInDatabase());
}

TEST_F(AbstractDatabaseTableTest, RemoveOnAnEmptyCountRunsNoSQL) {
    NoteTable table(warehouse, 10, AbstractDatabaseTable::CapPolicy::DropOldest);
    table.open();
    Note note;
    note.id = 1;
    const int before = table.statements;
    EXPECT_FALSE(table.remove(note));
    EXPECT_EQ(before, table.statements);

    note.text = "x";
    table.insert(note);
    EXPECT_TRUE(table.remove(note));
    EXPECT_EQ(0, table.rowCount());
    EXPECT_EQ(0, rowsInDatabase());
}

TEST_F(AbstractDatabaseTableTest, ListenersHearEachCommittedChangeOnce) {
    NoteTable table(warehouse, 10, AbstractDatabaseTable::CapPolicy::DropOldest);
    table.open();
    RecordingListener listener;
    table.addListener(&listener);
    Note note;
    note.text = "first";
    table.insert(note);
    note.text = "second";
    table.update(note);
    table.failInsert = true;
    Note failing;
    failing.text = "never";
    EXPECT_THROW(table.insert(failing), DatabaseException);
    table.remove(note);
    table.removeListener(&listener);
    table.failInsert = false;
    add(table, "unheard");
    EXPECT_EQ((std::vector<std::pair<int, std::string>>{{DatabaseTableListener::Inserted, "first"},
                                                        {DatabaseTableListener::Updated, "second"},
                                                        {DatabaseTableListener::Deleted, "second"}}),
              listener.changes);
}

TEST_F(AbstractDatabaseTableTest, SelectBindsItsCondition) {
    NoteTable table(warehouse, 10, AbstractDatabaseTable::CapPolicy::DropOldest);
    table.open();
    add(table, "keep");
    add(table, "x' OR '1'='1");
    add(table, "other");
    SqlCondition condition("text = ?");
    condition.value(std::string("x' OR '1'='1"));
    EXPECT_EQ(1, table.select(&condition));
    EXPECT_EQ("x' OR '1'='1", table.loaded.begin()->second);
}

TEST_F(AbstractDatabaseTableTest, ClosedWarehouseFailsEveryOperation) {
    NoteTable table(warehouse, 10, AbstractDatabaseTable::CapPolicy::DropOldest);
    warehouse.close();
    EXPECT_FALSE(warehouse.isOpen());
    EXPECT_THROW(table.open(), DatabaseException);
    EXPECT_THROW(add(table, "x"), DatabaseException);
    EXPECT_THROW(table.select(), DatabaseException);
    EXPECT_EQ(0, table.rowCount());
}

TEST_F(AbstractDatabaseTableTest, ConcurrentWritersKeepTheCapAndTheCount) {
    NoteTable table(warehouse, 50, AbstractDatabaseTable::CapPolicy::DropOldest);
    table.open();
    constexpr int Threads = 4;
    constexpr int PerThread = 60;
    {
        std::vector<std::unique_ptr<ostrel::testing::FunctionThread>> writers;
        for (int t = 0; t < Threads; ++t) {
            writers.push_back(std::make_unique<ostrel::testing::FunctionThread>([&, t] {
                for (int i = 0; i < PerThread; ++i) {
                    add(table, std::to_string(t) + ":" + std::to_string(i));
                }
            }));
            writers.back()->start();
        }
    }
    EXPECT_EQ(50, table.rowCount());
    EXPECT_EQ(50, rowsInDatabase());
    RowSet rows(warehouse.database(), "SELECT MIN(id), MAX(id) FROM notes;");
    rows.next();
    EXPECT_EQ(Threads * PerThread, rows.getInt(1));
    EXPECT_EQ(Threads * PerThread - 49, rows.getInt(0));
}

} // namespace
