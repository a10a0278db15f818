#pragma once

namespace ostrel {

class Database;

// One transaction on a connection: BEGIN at construction, COMMIT through
// commit(), ROLLBACK at destruction unless committed. A statement that fails
// inside it therefore undoes the whole transaction and leaves the connection
// ready for the next one, instead of holding an open transaction (and its
// locks) that every later statement would join.
class DatabaseTransaction {
public:
    // Throws DatabaseException when BEGIN fails.
    explicit DatabaseTransaction(Database& database);
    ~DatabaseTransaction();
    DatabaseTransaction(const DatabaseTransaction&) = delete;
    DatabaseTransaction& operator=(const DatabaseTransaction&) = delete;

    // Throws DatabaseException when COMMIT fails; the destructor then rolls back.
    void commit();

private:
    Database& _database;
    bool _committed = false;
};

} // namespace ostrel
