#pragma once

#include "storage/transaction/ITransactionHandler.h"

#include <vector>

namespace ostrel {

// A handler over a storage and the list of pending steps; how the journal is
// kept is left to the concrete handler.
class AbstractTransactionHandler : public ITransactionHandler {
public:
    void init(IStorage& storage) override;
    void close() override { clear(); }
    void clear() override { _pending.clear(); }
    void add(TransactionLog* step) override { _pending.push_back(step); }
    // writeJournal(), execute(), clearJournal().
    void commit() override;
    // rollbackJournal(), clearJournal().
    void recover() override;

    const std::vector<TransactionLog*>& pending() const { return _pending; }

protected:
    // apply() of every pending step in order; a step that throws stops the
    // commit and leaves the journal for the next open to roll back.
    virtual void execute();
    virtual void writeJournal() = 0;
    virtual void clearJournal() = 0;
    virtual void rollbackJournal() = 0;

    IStorage* storage() const { return _storage; }

    std::vector<TransactionLog*> _pending;

private:
    IStorage* _storage = nullptr;
};

} // namespace ostrel
