#pragma once

#include "storage/GroupCommitOptions.h"
#include "storage/pager/PoolBlock.h"

#include <cstdint>
#include <vector>

namespace ostrel {

class FixedSizeFreePageAllocator;
class IStorage;
class JournalingTransactionHandler;
class Page;

// Commits several newly filled media pages as one transaction, in the file
// format every open already reads.
//
// A media page that filled is not saved at once: it stays in memory (pinned
// in the page cache, readers share it) and listed free on disk until its
// group commits. The commit writes:
//   1. the new free list into ring slots the list page does not use yet, and
//      the pages' bodies and headers, one transfer per run of adjacent pages,
//      none of them waiting for the device;
//   2. a barrier (the file's flush): all of the above is durable;
//   3. one journal sector holding the records back to back: an
//      ExtractFreePage per page, then one UpdateTrackLast (media track, old
//      last page -> the group's last page), durably;
//   4. the free-list page's header sector, durably: the pages leave the list;
//   5. the superblock, durably: the media track ends at the group's last page;
//   6. the journal emptied, without waiting (the next barrier makes it durable).
// A power loss anywhere leaves what today's open recovers: before 3 the pages
// are still free and the track ends where it ended; between 3 and 5 the
// journal rolls back what was performed of the records; after 5 the journal
// reads as committed. Durable writes are each on the device before the next
// write starts, so they need no barrier between them.
//
// Only pages the free list still lists (never committed) of a media track the
// superblock already lists are grouped, each continuing the chain of the one
// before: the group's records then always describe one track whose last page
// moves forward. Everything else that uses the journal commits the group
// first (see Storage).
class GroupCommit {
public:
    GroupCommit(IStorage& storage, FixedSizeFreePageAllocator& allocator, JournalingTransactionHandler& handler);
    ~GroupCommit();
    GroupCommit(const GroupCommit&) = delete;
    GroupCommit& operator=(const GroupCommit&) = delete;

    void setOptions(const GroupCommitOptions& options) { _options = options; }
    const GroupCommitOptions& options() const { return _options; }
    // The most filled pages one group holds: the option, bounded by the
    // records one journal sector takes (at least 1).
    std::uint32_t capacity() const;

    // Whether `page` may join the group (or ride along with its commit as
    // its last page): a media page the free list still lists, continuing the
    // chain from the group's last page, or from the media track's last page
    // in the superblock when the group is empty.
    bool accepts(const Page& page) const;
    // A filled page joins the group at tick `now`; its buffer stays pinned
    // until the commit. The caller commits when the group is full.
    void add(Page& page, std::uint32_t now);
    bool isEmpty() const { return _entries.empty(); }
    bool isFull() const { return _entries.size() >= capacity(); }
    std::size_t size() const { return _entries.size(); }
    // The tick at which the oldest waiting page has waited its time (only
    // meaningful when the group is not empty).
    std::uint32_t dueTick() const;

    // Commits the waiting pages, with `current` (the page a track is still
    // filling, never saved, accepted) as the group's last page when given.
    // Answers the media ID up to which every frame now has all its bytes on
    // disk, 0 when nothing was committed. A failure propagates with the
    // group dropped: the storage must then be reopened, whose recovery
    // settles what the failed commit left.
    std::uint64_t commit(Page* current = nullptr);
    // Forgets the waiting pages, which stay free on disk (a close without
    // flushing, a failure).
    void discard();

    // The media ID up to which every frame of `page` (a media page) ends in
    // it: its last frame's, or the one before when the last frame continues
    // into the next page; 0 when none.
    static std::uint64_t durableThrough(const Page& page);

private:
    struct Entry {
        std::uint32_t number = 0;
        std::uint32_t checksum = 0;
        PoolBlock block;
        std::uint32_t length = 0;
        std::uint32_t joined = 0;
        std::uint64_t durableThrough = 0;
    };

    void writeRuns(const std::vector<Entry>& pages);

    IStorage& _storage;
    FixedSizeFreePageAllocator& _allocator;
    JournalingTransactionHandler& _handler;
    GroupCommitOptions _options;
    std::vector<Entry> _entries;
};

} // namespace ostrel
