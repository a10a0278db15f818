#include "database/DatabaseException.h"

#include <sqlite3.h>

namespace ostrel {
namespace {

std::string messageOf(sqlite3* connection) {
    // sqlite3_errmsg(nullptr) gives SQLite's text for a missing connection.
    const char* text = sqlite3_errmsg(connection);
    return text ? std::string(text) : std::string();
}

int codeOf(sqlite3* connection) {
    return connection ? sqlite3_extended_errcode(connection) : SQLITE_NOMEM;
}

} // namespace

DatabaseException::DatabaseException(sqlite3* connection, std::source_location where)
    : Exception("DatabaseException", codeOf(connection), messageOf(connection), where) {}

DatabaseException::DatabaseException(int code, std::string message, std::source_location where)
    : Exception("DatabaseException", code, std::move(message), where) {}

} // namespace ostrel
