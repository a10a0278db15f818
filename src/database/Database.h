#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sqlite3;

namespace ostrel {

// One SQLite connection. Failures throw DatabaseException with SQLite's message
// and result code. Not synchronised: the tables take the warehouse mutex around
// every use (see DataWarehouse).
class Database {
public:
    // Mode of a database file this class creates: it holds the sites' passwords.
    static constexpr unsigned CreateMode = 0600;

    Database() = default;
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Closes any open connection, then opens `path` (UTF-8), creating the file
    // with CreateMode when it does not exist (":memory:" opens a private
    // in-memory database). Reads the schema once, so a file that is not a
    // database fails here rather than at the first table operation. A
    // busyTimeoutMs above 0 makes a statement wait that long for another
    // connection's lock before it fails with SQLITE_BUSY.
    void open(const std::string& path, int busyTimeoutMs = 0);
    // Closes the connection if one is open.
    void close();
    bool isOpen() const { return _connection != nullptr; }

    // Runs one or more statements without bound values (schema, BEGIN, COMMIT).
    void execute(const std::string& sql);
    // Appends the names of the tables and views, sorted, sqlite's own left out.
    void tableNames(std::vector<std::string>& list);

    // Rows changed by the last INSERT, UPDATE or DELETE; the row id of the last insert.
    int changes() const;
    int64_t lastInsertRowId() const;
    // Whether a transaction is open on the connection.
    bool inTransaction() const;

    // The connection for RowSet and DatabaseException; nullptr when closed.
    sqlite3* connection() const { return _connection; }
    // Throws DatabaseException unless a connection is open.
    sqlite3* requireConnection(const char* what) const;

private:
    sqlite3* _connection = nullptr;
};

} // namespace ostrel
