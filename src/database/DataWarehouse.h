#pragma once

#include "base/thread/Mutex.h"
#include "database/Database.h"

#include <string>

namespace ostrel {

// Owner of the application's database connection ("app.db") and of the one
// mutex that every operation of every table takes, so the connection is used
// by one thread at a time.
class DataWarehouse {
public:
    // How long a statement waits for a lock held by another connection (a
    // backup or an inspecting tool) before it fails.
    static constexpr int DefaultBusyTimeoutMs = 2000;

    // The process-wide warehouse, created on first use.
    static DataWarehouse& instance();

    // Tests build their own warehouses over private databases.
    DataWarehouse() = default;
    DataWarehouse(const DataWarehouse&) = delete;
    DataWarehouse& operator=(const DataWarehouse&) = delete;

    // Opens (or creates) the database at the UTF-8 `path` under the mutex.
    // Throws DatabaseException; the warehouse is then closed and every table
    // operation fails with a DatabaseException until a later open succeeds.
    void open(const std::string& path, int busyTimeoutMs = DefaultBusyTimeoutMs);
    void close();
    bool isOpen() const;

    Database& database() { return _database; }
    Mutex& mutex() { return _mutex; }

private:
    mutable Mutex _mutex;
    Database _database;
};

} // namespace ostrel
