#pragma once

#include "app/persistence/SystemLog.h"
#include "base/Clock.h"
#include "base/Date.h"
#include "base/UniqueID.h"
#include "base/thread/Mutex.h"
#include "database/AbstractDatabaseTable.h"
#include "database/DataWarehouse.h"

#include <map>
#include <optional>
#include <string>

namespace ostrel {

// The user-visible history of the sites: the table "log", which keeps the
// newest RowCap entries (each write past the cap first deletes the oldest).
// Database failures are traced and swallowed: a failed write loses that entry
// and nothing else. write() is safe from any thread.
class SystemLogger : public AbstractDatabaseTable {
public:
    static constexpr int RowCap = 10000;
    static constexpr const char* TableName = "log";

    // The process-wide logger over DataWarehouse::instance(), created on first use.
    static SystemLogger& instance();

    // Tests build loggers over their own warehouse (with a smaller cap, a
    // clock they set).
    explicit SystemLogger(DataWarehouse& warehouse, int rowCap = RowCap, const Clock& clock = Clock::system());

    // Creates or counts the table; false (after tracing why) when the database
    // cannot be used. Entries are loaded by query(), which the log viewer runs
    // before it shows anything.
    bool load();
    // Forgets the loaded entries and resets the row count.
    void unload();

    // Level Info (3). An empty text means no text.
    void log(const UniqueID& owner, int code, const std::string& text = std::string());
    // Level Error (1): failures of archiving schedules.
    void error(const UniqueID& owner, int code, const std::string& text = std::string());
    // Writes an entry stamped with the clock's local time. Returns whether it was
    // stored (callers normally ignore it: a failure has been traced).
    bool write(int level, const UniqueID& owner, int code, const std::string& text);

    // Loads the entries whose dates lie in [first, last] (whole days), of one
    // site when an owner is given, replacing the loaded entries; returns their
    // number (0 after a database failure, which is traced).
    int query(const Date& first, const Date& last, const std::optional<UniqueID>& owner);
    // The loaded entries by row id, ascending: the order they were written.
    // For the user-interface thread, which also runs query().
    const std::map<int, SystemLog>& entries() const { return _entries; }

protected:
    void createTable() override;
    void insertRow(AbstractDatabaseRecord& record) override;
    // Entries are never changed or deleted one by one.
    void updateRow(AbstractDatabaseRecord& record) override;
    void deleteRow(AbstractDatabaseRecord& record) override;
    int selectRows(const SqlCondition* condition) override;

private:
    const Clock& _clock;
    Mutex _mutex;
    std::map<int, SystemLog> _entries;
};

} // namespace ostrel
