#pragma once

#include <cstdint>
#include <string>

struct sqlite3_stmt;

namespace ostrel {

class Database;

// A cursor over one prepared statement. Values go in as bound parameters
// (bind() numbers them from 1, as "?" placeholders count), so no user text is
// ever pasted into SQL. Columns are read from the current row, counted from 0.
//
//   RowSet rows(db, "SELECT id, name FROM sites WHERE deleted = ?;");
//   rows.bind(1, 0);
//   while (rows.next()) { use(rows.getText(1)); }
class RowSet {
public:
    explicit RowSet(Database& database);
    // Prepares `sql` at once (see query()).
    RowSet(Database& database, const std::string& sql);
    ~RowSet();
    RowSet(const RowSet&) = delete;
    RowSet& operator=(const RowSet&) = delete;

    // Finalises any previous statement and prepares the first statement of
    // `sql`. Throws DatabaseException when it does not prepare or no
    // connection is open.
    void query(const std::string& sql);

    // Binds a value to parameter `index` (from 1). Throws DatabaseException
    // when the index is out of range or nothing is prepared.
    RowSet& bind(int index, int value);
    RowSet& bind(int index, int64_t value);
    RowSet& bind(int index, const std::string& value);
    RowSet& bind(int index, const char* value) { return bind(index, std::string(value)); }
    RowSet& bindNull(int index);

    // Steps the statement: true with a row, false when done. Any other result
    // finalises the statement and throws DatabaseException.
    bool next();
    // Steps through a statement that returns no rows (INSERT, DELETE, ...).
    void execute();

    int columnCount() const;
    bool isNull(int column) const;
    int getInt(int column) const;
    int64_t getInt64(int column) const;
    // The column's text with its exact bytes; "" for NULL.
    std::string getText(int column) const;

    // Finalises the statement; the RowSet can then query() again.
    void close();
    bool isOpen() const { return _statement != nullptr; }

private:
    sqlite3_stmt* requireStatement(const char* what) const;
    void checkBind(int result);

    Database& _database;
    sqlite3_stmt* _statement = nullptr;
};

} // namespace ostrel
