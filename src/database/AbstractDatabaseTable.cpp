#include "database/AbstractDatabaseTable.h"

#include "database/DataWarehouse.h"
#include "database/DatabaseTableListener.h"
#include "database/FormatableSQL.h"
#include "database/RowSet.h"
#include "database/DatabaseTransaction.h"

#include <algorithm>
#include <vector>

namespace ostrel {

AbstractDatabaseTable::AbstractDatabaseTable(std::string name, int rowCap, CapPolicy policy,
                                             DataWarehouse& warehouse)
    : _name(std::move(name)), _rowCap(rowCap), _policy(policy), _warehouse(warehouse) {}

Database& AbstractDatabaseTable::database() { return _warehouse.database(); }

int AbstractDatabaseTable::rowCount() const {
    Mutex::ScopedLock lock(_warehouse.mutex());
    return _rowCount;
}

void AbstractDatabaseTable::open() {
    Mutex::ScopedLock lock(_warehouse.mutex());
    std::vector<std::string> names;
    database().tableNames(names);
    if (std::find(names.begin(), names.end(), _name) == names.end()) {
        DatabaseTransaction transaction(database());
        createTable();
        transaction.commit();
        _rowCount = 0;
    } else {
        _rowCount = countRows();
    }
}

int AbstractDatabaseTable::countRows() {
    RowSet rows(database(), FormatableSQL("SELECT COUNT(id) FROM %q;", _name.c_str()).c_str());
    return rows.next() ? rows.getInt(0) : 0;
}

void AbstractDatabaseTable::resetCount() {
    Mutex::ScopedLock lock(_warehouse.mutex());
    _rowCount = 0;
}

bool AbstractDatabaseTable::insert(AbstractDatabaseRecord& record) {
    {
        Mutex::ScopedLock lock(_warehouse.mutex());
        if (_rowCount >= _rowCap && _policy == CapPolicy::Refuse) {
            return false;
        }
        int count = _rowCount;
        DatabaseTransaction transaction(database());
        if (count >= _rowCap) {
            // The oldest rows go in the same transaction as the new one, so a
            // failed insert never costs a row. Normally that is one row; a table
            // that holds more than the cap (written with a larger one) is cut
            // back to it.
            RowSet drop(database(), FormatableSQL("DELETE FROM %q WHERE id IN (SELECT id FROM %q ORDER BY id "
                                                  "LIMIT ?);",
                                                  _name.c_str(), _name.c_str())
                                        .c_str());
            drop.bind(1, count - _rowCap + 1);
            drop.execute();
            count -= database().changes();
        }
        insertRow(record);
        transaction.commit();
        _rowCount = count + 1;
    }
    notify(DatabaseTableListener::Inserted, record);
    return true;
}

bool AbstractDatabaseTable::update(AbstractDatabaseRecord& record) {
    {
        Mutex::ScopedLock lock(_warehouse.mutex());
        DatabaseTransaction transaction(database());
        updateRow(record);
        transaction.commit();
    }
    notify(DatabaseTableListener::Updated, record);
    return true;
}

bool AbstractDatabaseTable::remove(AbstractDatabaseRecord& record) {
    {
        Mutex::ScopedLock lock(_warehouse.mutex());
        if (_rowCount <= 0) {
            return false;
        }
        DatabaseTransaction transaction(database());
        deleteRow(record);
        transaction.commit();
        --_rowCount;
    }
    notify(DatabaseTableListener::Deleted, record);
    return true;
}

int AbstractDatabaseTable::select(const SqlCondition* condition) {
    // Always asks the database: the count of a table whose cap covers only
    // some rows (the live sites) says nothing about what a select finds.
    Mutex::ScopedLock lock(_warehouse.mutex());
    return selectRows(condition);
}

void AbstractDatabaseTable::addListener(DatabaseTableListener* listener) {
    Mutex::ScopedLock lock(_warehouse.mutex());
    _listeners.insert(listener);
}

void AbstractDatabaseTable::removeListener(DatabaseTableListener* listener) {
    Mutex::ScopedLock lock(_warehouse.mutex());
    _listeners.erase(listener);
}

void AbstractDatabaseTable::notify(int kind, const AbstractDatabaseRecord& record) {
    std::vector<DatabaseTableListener*> listeners;
    {
        Mutex::ScopedLock lock(_warehouse.mutex());
        listeners.assign(_listeners.begin(), _listeners.end());
    }
    for (DatabaseTableListener* listener : listeners) {
        listener->tableChanged(kind, record);
    }
}

} // namespace ostrel
