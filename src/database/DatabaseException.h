#pragma once

#include "base/Exception.h"

#include <source_location>
#include <string>

struct sqlite3;

namespace ostrel {

// A failed SQLite call: the message is the connection's error text and the code
// its (extended) result code at the time of the failure. Bound parameter values
// never appear in SQLite's texts, so a password stored in a row cannot leak
// into a trace through this exception.
class DatabaseException : public Exception {
public:
    // Takes the current error of the connection (nullptr gives SQLite's text for
    // a missing connection).
    explicit DatabaseException(sqlite3* connection,
                               std::source_location where = std::source_location::current());
    // For failures found before SQLite was asked (no connection open, for example).
    DatabaseException(int code, std::string message,
                      std::source_location where = std::source_location::current());
};

} // namespace ostrel
