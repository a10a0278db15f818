#pragma once

#include "storage/pager/Page.h"
#include "storage/transaction/AbstractTransactionHandler.h"

namespace ostrel {

// Keeps the journal in one "JNAL" page named by the superblock's track list.
// A commit writes every record of the transaction into the page (dirty
// sectors, header last), performs the steps in order, and empties the page
// with one header write. At open, recover() undoes the performed prefix of a
// transaction the journal still holds, from the last performed step back.
//
// A transaction whose records do not fit in the page is refused with
// VarnelException (code 1) before anything is written. A record whose code
// this engine does not know, or that runs past the page, ends the rollback
// walk as not performed.
class JournalingTransactionHandler : public AbstractTransactionHandler {
public:
    // Binds to the storage and loads the journal page, creating it when the
    // track list has none (a page from the free list, or else the media
    // track's last page).
    void init(IStorage& storage) override;
    void close() override;

    const Page& journalPage() const { return _journal; }

    // The group commit's use of the journal, which performs the steps its
    // own way (many pages, one barrier): writePending() journals the pending
    // steps (one durable write when they fit the header's sector);
    // clearDeferred() empties the journal with a write that the file's next
    // barrier makes durable, then drops the steps. A power loss before that
    // barrier leaves the steps in the journal, all performed, and the next
    // open reads them as committed.
    void writePending() { writeJournal(); }
    void clearDeferred();
    // Bytes the records of one transaction may take.
    std::uint32_t capacity() const;

protected:
    void writeJournal() override;
    void clearJournal() override;
    void rollbackJournal() override;

private:
    void loadJournal(std::uint32_t number, std::uint32_t checksum);
    void createJournal();
    // A page of the journal's type and format that no track-list entry
    // names and the free list does not hold; 0 when there is none.
    std::uint32_t findUnlistedJournal();

    Page _journal;
};

} // namespace ostrel
