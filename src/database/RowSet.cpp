#include "database/RowSet.h"

#include "database/Database.h"
#include "database/DatabaseException.h"

#include <sqlite3.h>

namespace ostrel {

RowSet::RowSet(Database& database) : _database(database) {}

RowSet::RowSet(Database& database, const std::string& sql) : _database(database) { query(sql); }

RowSet::~RowSet() { close(); }

void RowSet::close() {
    if (_statement != nullptr) {
        sqlite3_finalize(_statement);
        _statement = nullptr;
    }
}

void RowSet::query(const std::string& sql) {
    close();
    sqlite3* connection = _database.requireConnection("query");
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) !=
        SQLITE_OK) {
        sqlite3_finalize(statement);
        throw DatabaseException(connection);
    }
    if (statement == nullptr) {
        throw DatabaseException(SQLITE_MISUSE, "No statement in the SQL text");
    }
    _statement = statement;
}

sqlite3_stmt* RowSet::requireStatement(const char* what) const {
    if (_statement == nullptr) {
        throw DatabaseException(SQLITE_MISUSE, std::string("No statement prepared (") + what + ")");
    }
    return _statement;
}

void RowSet::checkBind(int result) {
    if (result != SQLITE_OK) {
        throw DatabaseException(_database.connection());
    }
}

RowSet& RowSet::bind(int index, int value) {
    checkBind(sqlite3_bind_int(requireStatement("bind"), index, value));
    return *this;
}

RowSet& RowSet::bind(int index, int64_t value) {
    checkBind(sqlite3_bind_int64(requireStatement("bind"), index, value));
    return *this;
}

RowSet& RowSet::bind(int index, const std::string& value) {
    checkBind(sqlite3_bind_text(requireStatement("bind"), index, value.data(), static_cast<int>(value.size()),
                                SQLITE_TRANSIENT));
    return *this;
}

RowSet& RowSet::bindNull(int index) {
    checkBind(sqlite3_bind_null(requireStatement("bind"), index));
    return *this;
}

bool RowSet::next() {
    sqlite3_stmt* statement = requireStatement("next");
    const int result = sqlite3_step(statement);
    if (result == SQLITE_ROW) {
        return true;
    }
    if (result == SQLITE_DONE) {
        return false;
    }
    // Take the message before finalising, which may reset it.
    DatabaseException failure(_database.connection());
    close();
    throw failure;
}

void RowSet::execute() {
    while (next()) {
    }
}

int RowSet::columnCount() const { return sqlite3_column_count(requireStatement("columnCount")); }

bool RowSet::isNull(int column) const {
    return sqlite3_column_type(requireStatement("isNull"), column) == SQLITE_NULL;
}

int RowSet::getInt(int column) const { return sqlite3_column_int(requireStatement("getInt"), column); }

int64_t RowSet::getInt64(int column) const {
    return sqlite3_column_int64(requireStatement("getInt64"), column);
}

std::string RowSet::getText(int column) const {
    sqlite3_stmt* statement = requireStatement("getText");
    const unsigned char* text = sqlite3_column_text(statement, column);
    if (text == nullptr) {
        return std::string();
    }
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
}

} // namespace ostrel
