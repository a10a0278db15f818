#pragma once

namespace ostrel {

class RowSet;

// A record of a table that reads itself from the current row of a RowSet.
class AbstractDatabaseRecord {
public:
    virtual ~AbstractDatabaseRecord() = default;
    // Fills the record from the current row; the table selects its columns in
    // table order, so column n is the table's n-th column.
    virtual void read(const RowSet& rowSet) = 0;

protected:
    AbstractDatabaseRecord() = default;
    AbstractDatabaseRecord(const AbstractDatabaseRecord&) = default;
    AbstractDatabaseRecord& operator=(const AbstractDatabaseRecord&) = default;
};

} // namespace ostrel
