#pragma once

#include "base/MappedMemory.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace ostrel {

// A fixed byte array used as a ring of variable-length records. Each record is
// stored contiguously: its length n as a 4-byte integer in host order, then its n
// bytes. A record that does not fit between the write offset and the end is placed
// at offset 0, and the wrap end remembers where the data before it stops.
//
// The array is allocated by the first put and given back by release(), so a
// ring that waits unused (a free connection slot, a client that is not
// playing) costs no memory; its capacity stays what it was built with.
//
// No lock of its own: the owner guards it.
class RecordRing {
public:
    // One piece of a record; the pieces of one put() are stored one after another.
    struct Part {
        const void* data;
        std::size_t length;
    };

    static constexpr int LengthSize = 4;

    // Capacity in bytes, at least LengthSize + 1.
    explicit RecordRing(int capacity);
    RecordRing(const RecordRing&) = delete;
    RecordRing& operator=(const RecordRing&) = delete;

    int capacity() const { return _capacity; }
    // The largest record the ring can ever hold (when empty).
    int largestRecord() const { return _capacity - LengthSize; }

    // The largest record that can be put now: capacity - 4 when empty; otherwise
    // the larger usable gap minus the 4-byte length, and 0 when that gap is 4
    // bytes or less.
    int freeSpace() const;
    // Whether a record of n bytes can be put now. The same as n <= freeSpace() for
    // every n > 0; an empty record still needs room for its length, which a gap of
    // fewer than 4 bytes (freeSpace() 0) does not have.
    bool canPut(std::size_t length) const;

    // Stores the parts as one record of their total length. Throws
    // RecordSizeException (TooLarge or NoRoom) when it does not fit, and stores nothing.
    void put(std::span<const Part> parts);
    void put(std::initializer_list<Part> parts) { put(std::span<const Part>(parts.begin(), parts.size())); }

    // The head record's bytes; an empty span with a null pointer when the ring is empty.
    std::span<const std::uint8_t> peek() const;
    // Drops the head record; nothing when empty.
    void consume();

    bool isEmpty() const { return _count == 0; }
    int count() const { return _count; }
    void clear();
    // Drops every record and frees the array; the next put allocates it again.
    void release();
    // Bytes of the array now held: the capacity once allocated, else 0.
    std::size_t allocatedBytes() const { return _data ? static_cast<std::size_t>(_capacity) : 0; }

    // Where the reader and writer stand and where wrapped data ends; for diagnostics.
    int readOffset() const { return _readOffset; }
    int writeOffset() const { return _writeOffset; }
    int wrapEnd() const { return _wrapEnd; }

    // Total length of the parts; throws RecordSizeException (TooLarge) beyond what
    // any ring could hold.
    static std::size_t totalLength(std::span<const Part> parts);

private:
    // The gap the next record would go into, in bytes (length field included).
    std::int64_t usableGap(std::size_t length) const;

    const int _capacity;
    int _wrapEnd;
    int _count = 0;
    int _readOffset = 0;
    int _writeOffset = 0;
    MappedMemory _data;
};

} // namespace ostrel
