#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrel {

// One piece of a gathered write: `length` bytes at `data`.
struct WritePiece {
    const void* data;
    std::size_t length;
};

// One open storage file as the engine sees it: positioned transfers of whole
// sectors plus the few facts the layers above need. Everything the engine
// reads from or writes to a storage file goes through this interface, so a
// test harness can stand in for the disk (record every write, cut the
// sequence short to simulate a crash, inject failures).
class IStorageFile {
public:
    virtual ~IStorageFile() = default;

    // Reads up to `length` bytes at `offset` into `buffer`. Answers the number
    // of bytes read, which is short only at the end of the file. Failures
    // raise SystemException.
    virtual std::size_t readAt(void* buffer, std::uint64_t offset, std::size_t length) = 0;
    // Writes `length` bytes at `offset` through to the device: they are
    // durable when the call returns. It says nothing about earlier deferred
    // writes, which only flush() makes durable. Answers the number written
    // (short only when the device is full). Failures raise SystemException.
    virtual std::size_t writeAt(const void* buffer, std::uint64_t offset, std::size_t length) = 0;
    // Writes the pieces back to back from `offset` in one transfer without
    // waiting for the device to make them durable: until the next flush()
    // returns, a power loss may keep any sectors of them, or none. The default
    // writes each piece through, which is never weaker. Answers the number of
    // bytes written.
    virtual std::size_t writeDeferred(const WritePiece* pieces, std::size_t count, std::uint64_t offset);
    // A barrier: every write that completed before it is durable when it returns.
    virtual void flush() = 0;

    // Size of the file in bytes when it was opened (the engine never grows or shrinks it).
    virtual std::uint64_t size() const = 0;
    // The I/O unit: offsets, lengths and buffer addresses of every transfer are
    // multiples of it.
    virtual std::uint32_t sectorSize() const = 0;
    virtual bool isWritable() const = 0;
    virtual const std::string& path() const = 0;
    // The operating-system descriptor behind the file, -1 when there is none;
    // only carried into error reports.
    virtual int handle() const = 0;
};

inline std::size_t IStorageFile::writeDeferred(const WritePiece* pieces, std::size_t count, std::uint64_t offset) {
    std::size_t done = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t n = writeAt(pieces[i].data, offset + done, pieces[i].length);
        done += n;
        if (n != pieces[i].length) {
            break;
        }
    }
    return done;
}

} // namespace ostrel
