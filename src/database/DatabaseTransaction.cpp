#include "database/DatabaseTransaction.h"

#include "database/Database.h"

#include <sqlite3.h>

namespace ostrel {

DatabaseTransaction::DatabaseTransaction(Database& database) : _database(database) { _database.execute("BEGIN;"); }

DatabaseTransaction::~DatabaseTransaction() {
    // Some failures (a full disk, an interrupt) end the transaction by
    // themselves; roll back only what is still open.
    if (!_committed && _database.inTransaction()) {
        sqlite3_exec(_database.connection(), "ROLLBACK;", nullptr, nullptr, nullptr);
    }
}

void DatabaseTransaction::commit() {
    _database.execute("COMMIT;");
    _committed = true;
}

} // namespace ostrel
