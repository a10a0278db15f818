#include "database/Database.h"

#include "database/DatabaseException.h"
#include "database/RowSet.h"

#include <sqlite3.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace ostrel {
namespace {

// Paths SQLite opens without a file of that name.
bool namesAFile(const std::string& path) {
    return !path.empty() && path != ":memory:" && path.rfind("file:", 0) != 0;
}

} // namespace

Database::~Database() { close(); }

void Database::open(const std::string& path, int busyTimeoutMs) {
    close();
    if (namesAFile(path)) {
        // SQLite would create the file readable by everyone (less the umask);
        // it holds passwords, so create it ourselves first. SQLite gives its
        // journal the mode of the database file.
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, CreateMode);
        if (fd >= 0) {
            ::close(fd);
        }
        // EEXIST is the usual case; any other failure is reported by SQLite below.
    }
    sqlite3* connection = nullptr;
    const int result = sqlite3_open_v2(path.c_str(), &connection,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                       nullptr);
    if (result != SQLITE_OK) {
        DatabaseException failure = connection ? DatabaseException(connection)
                                               : DatabaseException(result, sqlite3_errstr(result));
        sqlite3_close(connection);
        throw failure;
    }
    sqlite3_extended_result_codes(connection, 1);
    if (busyTimeoutMs > 0) {
        sqlite3_busy_timeout(connection, busyTimeoutMs);
    }
    // SQLite opens lazily: read the schema now, so that a file that is not a
    // database (or cannot be read) fails the open instead of every later statement.
    const int check = sqlite3_exec(connection, "SELECT COUNT(*) FROM sqlite_master;", nullptr, nullptr, nullptr);
    if (check != SQLITE_OK) {
        DatabaseException failure(connection);
        sqlite3_close(connection);
        throw failure;
    }
    _connection = connection;
}

void Database::close() {
    if (_connection != nullptr) {
        // Every RowSet finalises its statement, so nothing keeps the connection
        // busy; sqlite3_close_v2 still closes it once the last one is gone.
        sqlite3_close_v2(_connection);
        _connection = nullptr;
    }
}

sqlite3* Database::requireConnection(const char* what) const {
    if (_connection == nullptr) {
        throw DatabaseException(SQLITE_MISUSE, std::string("The database is not open (") + what + ")");
    }
    return _connection;
}

void Database::execute(const std::string& sql) {
    sqlite3* connection = requireConnection("execute");
    if (sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        throw DatabaseException(connection);
    }
}

void Database::tableNames(std::vector<std::string>& list) {
    RowSet rows(*this, "SELECT name FROM sqlite_master WHERE type IN ('table','view') AND name NOT LIKE "
                       "'sqlite_%' UNION ALL SELECT name FROM sqlite_temp_master WHERE type IN "
                       "('table','view') ORDER BY 1;");
    while (rows.next()) {
        list.push_back(rows.getText(0));
    }
}

int Database::changes() const { return sqlite3_changes(requireConnection("changes")); }

int64_t Database::lastInsertRowId() const {
    return sqlite3_last_insert_rowid(requireConnection("lastInsertRowId"));
}

bool Database::inTransaction() const {
    return _connection != nullptr && sqlite3_get_autocommit(_connection) == 0;
}

} // namespace ostrel
