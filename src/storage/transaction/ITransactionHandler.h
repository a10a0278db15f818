#pragma once

namespace ostrel {

class IStorage;
class TransactionLog;

// Runs the steps of one multi-page change so that a crash at any point can be
// undone at the next open.
class ITransactionHandler {
public:
    virtual ~ITransactionHandler() = default;

    // Binds to the storage (at every open and format).
    virtual void init(IStorage& storage) = 0;
    virtual void close() = 0;
    // Drops the pending steps.
    virtual void clear() = 0;
    // Queues a step; the caller keeps it alive until commit() returns.
    virtual void add(TransactionLog* step) = 0;
    // Journals the pending steps, performs them in order, empties the journal.
    virtual void commit() = 0;
    // Undoes what an interrupted commit left in the journal, then empties it.
    virtual void recover() = 0;
};

} // namespace ostrel
