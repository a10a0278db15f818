#pragma once

#include "storage/aio/AIOControlBlock.h"
#include "storage/aio/IStorageFile.h"

#include <cstddef>
#include <cstdint>

namespace ostrel {

// Performs the positioned page and superblock transfers of every storage in
// the process.
//
// The transfers run synchronously on the caller's thread. A plain write
// returns only when the device holds the data durably; every caller that
// orders its writes (page save, journal, superblock) needs exactly that
// before it goes on, because the journal's ordering rests on it. The group
// commit writes runs of page bodies deferred (one transfer each, not yet
// durable) and then issues one barrier (flush) for all of them.
// Handing the transfer to a worker thread would only add a hand-off and a
// wake-up to each 512 KB page write without overlapping anything: measured
// with bench/storage/AIOContextBench.cpp, both reach the same sequential
// throughput within noise, so the transfers stay on the caller's thread,
// which needs no queue, no thread and no second copy of any error.
class AIOContext {
public:
    static AIOContext& instance();

    AIOContext() = default;
    AIOContext(const AIOContext&) = delete;
    AIOContext& operator=(const AIOContext&) = delete;

    void read(IStorageFile& file, void* buffer, std::uint64_t offset, std::uint32_t length);
    void write(IStorageFile& file, const void* buffer, std::uint64_t offset, std::uint32_t length);
    // One transfer of the pieces back to back from `offset`, durable only
    // after the next flush(); failures raise IOException as request() does.
    void writeDeferred(IStorageFile& file, const WritePiece* pieces, std::size_t count, std::uint64_t offset);
    // The barrier: every write that completed before it is durable afterwards.
    void flush(IStorageFile& file);

    // Runs the requests in order; each has completed when the next starts.
    // A failed transfer raises IOException with the request's handle, offset
    // and length; a write that the device takes only in part raises
    // IOException (ENOSPC). A read that meets the end of the file before
    // `length` bytes means the file is shorter than its superblock claims and
    // raises VarnelException code 4 ("Storage corrupted").
    void request(AIOControlBlock* blocks, std::size_t count);
};

} // namespace ostrel
