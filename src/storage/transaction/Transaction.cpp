#include "storage/transaction/Transaction.h"

#include "storage/FreePageList.h"
#include "storage/IStorage.h"
#include "storage/transaction/FreePageTransactionLog.h"
#include "storage/transaction/ITransactionHandler.h"

namespace ostrel {

Transaction::Transaction(IStorage& storage) : _storage(storage) { storage.commitPendingPages(); }

void Transaction::run() {
    if (_steps.empty()) {
        return;
    }
    ITransactionHandler& handler = _storage.transactionHandler();
    handler.clear();
    for (const auto& step : _steps) {
        handler.add(step.get());
    }
    try {
        handler.commit();
    } catch (...) {
        // The handler must not keep pointers to steps that are about to go.
        handler.clear();
        _steps.clear();
        throw;
    }
    _steps.clear();
}

void Transaction::addFreePages(const FreePageList& pages) {
    for (const FreePageListItem& item : pages.intervals()) {
        if (item.first() == item.last()) {
            add(std::make_unique<AppendFreePageTransactionLog>(_storage, item.first()));
        } else {
            add(std::make_unique<AppendFreePageIntervalTransactionLog>(_storage, item.first(), item.last()));
        }
    }
}

} // namespace ostrel
