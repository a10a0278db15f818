#pragma once

namespace ostrel {

class AbstractDatabaseRecord;

// Told about every change a table made to its rows, after the change committed.
class DatabaseTableListener {
public:
    // Change kinds.
    static constexpr int Inserted = 0;
    static constexpr int Updated = 1;
    static constexpr int Deleted = 2;

    virtual ~DatabaseTableListener() = default;
    // Called on the thread that changed the table, outside the warehouse mutex.
    virtual void tableChanged(int kind, const AbstractDatabaseRecord& record) = 0;
};

} // namespace ostrel
