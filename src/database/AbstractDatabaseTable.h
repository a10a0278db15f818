#pragma once

#include "database/SqlCondition.h"

#include <set>
#include <string>

namespace ostrel {

class AbstractDatabaseRecord;
class DataWarehouse;
class Database;
class DatabaseTableListener;

// One table of the warehouse's database with a row counter and a row cap. The
// public operations take the warehouse mutex and run their SQL in one
// transaction, so a failure leaves neither the table nor the row count half
// changed; the concrete table supplies the SQL through the protected slots.
// Every operation throws DatabaseException on failure.
class AbstractDatabaseTable {
public:
    // What insert() does when the row count has reached the cap.
    enum class CapPolicy {
        DropOldest, // delete the row with the smallest id first (a rotating log)
        Refuse,     // insert nothing and return false (rows that must not be lost)
    };

    AbstractDatabaseTable(std::string name, int rowCap, CapPolicy policy, DataWarehouse& warehouse);
    virtual ~AbstractDatabaseTable() = default;
    AbstractDatabaseTable(const AbstractDatabaseTable&) = delete;
    AbstractDatabaseTable& operator=(const AbstractDatabaseTable&) = delete;

    const std::string& name() const { return _name; }
    int rowCap() const { return _rowCap; }
    int rowCount() const;

    // Creates the table when the database lacks it, else counts its rows.
    void open();
    // Row count = 0.
    void resetCount();
    // Inserts the record's row and notifies Inserted. At the cap, DropOldest
    // first deletes the row with the smallest id (rows down to the cap) in the
    // same transaction; Refuse returns false without touching the table.
    bool insert(AbstractDatabaseRecord& record);
    // Rewrites the record's row and notifies Updated.
    bool update(AbstractDatabaseRecord& record);
    // Deletes the record's row (as the table defines deleting) and notifies
    // Deleted; false without any SQL when the row count is 0.
    bool remove(AbstractDatabaseRecord& record);
    // Loads the rows matching the condition (all rows without one). Returns
    // what selectRows() returns.
    int select(const SqlCondition* condition = nullptr);

    void addListener(DatabaseTableListener* listener);
    void removeListener(DatabaseTableListener* listener);

protected:
    virtual void createTable() = 0;
    virtual void insertRow(AbstractDatabaseRecord& record) = 0;
    virtual void updateRow(AbstractDatabaseRecord& record) = 0;
    virtual void deleteRow(AbstractDatabaseRecord& record) = 0;
    virtual int selectRows(const SqlCondition* condition) = 0;
    // The number of rows the cap applies to; all rows unless overridden.
    virtual int countRows();

    DataWarehouse& warehouse() { return _warehouse; }
    Database& database();

private:
    void notify(int kind, const AbstractDatabaseRecord& record);

    std::string _name;
    int _rowCap;
    int _rowCount = 0;
    CapPolicy _policy;
    DataWarehouse& _warehouse;
    std::set<DatabaseTableListener*> _listeners;
};

} // namespace ostrel
