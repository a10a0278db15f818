#include "app/persistence/SystemLogger.h"

#include "base/FormatableBuffer.h"
#include "base/Log.h"
#include "database/Database.h"
#include "database/DatabaseException.h"
#include "database/FormatableSQL.h"
#include "database/RowSet.h"

namespace ostrel {
namespace {

// The packed 32-bit words are stored as signed integers (a time west of UTC
// has its zone byte's sign bit set).
int64_t storedWord(uint32_t packed) { return static_cast<int32_t>(packed); }

void traceFailure(const char* what, const Exception& failure) {
    FormatableBuffer<2048> text;
    text.format("System log: %s: %s", what, failure.toString().c_str());
    log(LogLevel::Error, text.c_str());
}

} // namespace

SystemLogger& SystemLogger::instance() {
    static SystemLogger logger(DataWarehouse::instance());
    return logger;
}

SystemLogger::SystemLogger(DataWarehouse& warehouse, int rowCap, const Clock& clock)
    : AbstractDatabaseTable(TableName, rowCap, CapPolicy::DropOldest, warehouse), _clock(clock) {}

bool SystemLogger::load() {
    Mutex::ScopedLock lock(_mutex);
    try {
        open();
        return true;
    } catch (const Exception& failure) {
        traceFailure("cannot open the table", failure);
        return false;
    }
}

void SystemLogger::unload() {
    Mutex::ScopedLock lock(_mutex);
    _entries.clear();
    resetCount();
}

void SystemLogger::log(const UniqueID& owner, int code, const std::string& text) {
    write(LogLevel::Info, owner, code, text);
}

void SystemLogger::error(const UniqueID& owner, int code, const std::string& text) {
    write(LogLevel::Error, owner, code, text);
}

bool SystemLogger::write(int level, const UniqueID& owner, int code, const std::string& text) {
    SystemLog entry(level, _clock.now(), owner, code, text);
    try {
        return insert(entry);
    } catch (const Exception& failure) {
        traceFailure("cannot write an entry", failure);
        return false;
    }
}

int SystemLogger::query(const Date& first, const Date& last, const std::optional<UniqueID>& owner) {
    Mutex::ScopedLock lock(_mutex);
    // The packed dates order as the calendar does, so whole days between the
    // two dates match whatever their time of day.
    SqlCondition condition("date >= ? AND date <= ?");
    condition.value(storedWord(first.packed())).value(storedWord(last.packed()));
    if (owner) {
        condition.append(" AND owner = ?").value(owner->toString());
    }
    try {
        return select(&condition);
    } catch (const Exception& failure) {
        _entries.clear();
        traceFailure("cannot read the entries", failure);
        return 0;
    }
}

void SystemLogger::createTable() {
    database().execute(FormatableSQL("CREATE TABLE %q (id INTEGER PRIMARY KEY,level INTEGER NOT NULL,date INTEGER "
                                     "NOT NULL,time INTEGER NOT NULL, owner TEXT,log INTEGER NOT NULL,message TEXT);",
                                     name().c_str())
                           .c_str());
}

void SystemLogger::insertRow(AbstractDatabaseRecord& record) {
    auto& entry = dynamic_cast<SystemLog&>(record);
    RowSet rows(database(), FormatableSQL("INSERT INTO %q (level, date, time, owner, log, message) VALUES (?, ?, "
                                          "?, ?, ?, ?);",
                                          name().c_str())
                                .c_str());
    rows.bind(1, entry.level())
        .bind(2, storedWord(entry.time().date().packed()))
        .bind(3, storedWord(entry.time().time().packed()))
        .bind(4, entry.owner().toString())
        .bind(5, entry.code())
        .bind(6, entry.text());
    rows.execute();
    entry.setId(static_cast<int>(database().lastInsertRowId()));
}

void SystemLogger::updateRow(AbstractDatabaseRecord&) {}

void SystemLogger::deleteRow(AbstractDatabaseRecord&) {}

int SystemLogger::selectRows(const SqlCondition* condition) {
    _entries.clear();
    std::string sql = FormatableSQL("SELECT id, level, date, time, owner, log, message FROM %q", name().c_str())
                          .c_str();
    if (condition != nullptr && !condition->empty()) {
        sql += " WHERE " + condition->text();
    }
    sql += " ORDER BY id;";
    RowSet rows(database(), sql);
    if (condition != nullptr) {
        condition->bindTo(rows);
    }
    while (rows.next()) {
        SystemLog entry;
        entry.read(rows);
        _entries.insert_or_assign(entry.id(), std::move(entry));
    }
    return static_cast<int>(_entries.size());
}

} // namespace ostrel
