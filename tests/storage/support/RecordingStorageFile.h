#pragma once

#include "storage/aio/IStorageFile.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrel::test {

// A storage file in memory that records every write (offset, length and
// whether it was deferred) in order and where the barriers (flushes) fell,
// and can be told to fail the n-th write from now, so tests can check write
// order and what is on "disk" after a failure at any point.
class RecordingStorageFile final : public IStorageFile {
public:
    struct Write {
        std::uint64_t offset;
        std::size_t length;
        // Written with writeDeferred (durable only after the next barrier).
        bool deferred = false;
        bool operator==(const Write& other) const = default;
    };

    explicit RecordingStorageFile(std::uint64_t size, std::uint32_t sectorSize = 512);

    std::size_t readAt(void* buffer, std::uint64_t offset, std::size_t length) override;
    std::size_t writeAt(const void* buffer, std::uint64_t offset, std::size_t length) override;
    // One recorded write for all the pieces, as the device would see it.
    std::size_t writeDeferred(const WritePiece* pieces, std::size_t count, std::uint64_t offset) override;
    void flush() override { _barriers.push_back(_writes.size()); }
    std::uint64_t size() const override { return _bytes.size(); }
    std::uint32_t sectorSize() const override { return _sectorSize; }
    bool isWritable() const override { return true; }
    const std::string& path() const override { return _path; }
    int handle() const override { return -1; }

    std::vector<Write>& writes() { return _writes; }
    // For every barrier, how many writes had been recorded before it.
    std::vector<std::size_t>& barriers() { return _barriers; }
    std::vector<std::uint8_t>& bytes() { return _bytes; }
    std::size_t readCount() const { return _reads; }
    // The write after `count` more successful writes fails with EIO (and all after it).
    void failAfter(std::size_t count) { _failAfter = count; }
    void stopFailing() { _failAfter.reset(); }
    // Reads that cover `offset` fail with EIO until stopFailingReads().
    void failReadsAt(std::uint64_t offset) { _failReadAt = offset; }
    void stopFailingReads() { _failReadAt.reset(); }

private:
    std::vector<std::uint8_t> _bytes;
    std::uint32_t _sectorSize;
    std::string _path = "memory";
    std::vector<Write> _writes;
    std::vector<std::size_t> _barriers;
    std::size_t _reads = 0;
    std::optional<std::size_t> _failAfter;
    std::optional<std::uint64_t> _failReadAt;
};

} // namespace ostrel::test
