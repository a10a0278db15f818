#pragma once

#include "storage/transaction/TransactionLog.h"

#include <memory>
#include <vector>

namespace ostrel {

class FreePageList;
class IStorage;

// A change that touches several places of a storage file, made of undoable
// steps that the storage's transaction handler journals, performs and clears
// as one unit.
class Transaction {
public:
    // Pages waiting for the storage's group commit are committed first: the
    // steps a transaction builds read the track list and the free list, and
    // its journal records must not land between a group's.
    explicit Transaction(IStorage& storage);
    virtual ~Transaction() = default;
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // Commits the steps through the storage's handler, then drops them. A
    // transaction without steps does nothing.
    virtual void run();

    void add(std::unique_ptr<TransactionLog> step) { _steps.push_back(std::move(step)); }
    // One step per interval: AppendFreePage for a single page, else
    // AppendFreePageInterval, in the list's order.
    void addFreePages(const FreePageList& pages);

    IStorage& storage() const { return _storage; }
    const std::vector<std::unique_ptr<TransactionLog>>& steps() const { return _steps; }

private:
    IStorage& _storage;
    std::vector<std::unique_ptr<TransactionLog>> _steps;
};

} // namespace ostrel
