#include "storage/transaction/AbstractTransactionHandler.h"

#include "storage/transaction/TransactionLog.h"

namespace ostrel {

void AbstractTransactionHandler::init(IStorage& storage) {
    _storage = &storage;
    clear();
}

void AbstractTransactionHandler::commit() {
    writeJournal();
    execute();
    clearJournal();
}

void AbstractTransactionHandler::recover() {
    rollbackJournal();
    clearJournal();
}

void AbstractTransactionHandler::execute() {
    for (TransactionLog* step : _pending) {
        step->apply();
    }
}

} // namespace ostrel
