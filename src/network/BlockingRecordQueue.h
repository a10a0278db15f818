#pragma once

#include "base/thread/Condition.h"
#include "base/thread/Mutex.h"
#include "network/RecordRing.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace ostrel {

// A RecordRing shared between threads: producers block while the record does not
// fit, consumers while the ring is empty. close() releases everyone for good.
//
// Records must hold at least one byte (take() reports "nothing" as 0) and at most
// largestRecord() bytes; put() refuses other sizes at once with
// RecordSizeException rather than waiting for room that can never come.
class BlockingRecordQueue {
public:
    explicit BlockingRecordQueue(int capacity);
    BlockingRecordQueue(const BlockingRecordQueue&) = delete;
    BlockingRecordQueue& operator=(const BlockingRecordQueue&) = delete;

    // Stores the parts as one record, waiting for room without limit. False when the
    // queue is (or becomes) closed; nothing is stored then.
    bool put(std::span<const RecordRing::Part> parts);
    bool put(std::initializer_list<RecordRing::Part> parts);
    // As put(), waiting at most the given time in all; false when it ran out.
    bool put(std::span<const RecordRing::Part> parts, std::uint32_t milliseconds);
    bool put(std::initializer_list<RecordRing::Part> parts, std::uint32_t milliseconds);

    // Copies the head record into the buffer, consumes it and returns its length,
    // waiting without limit while empty. 0 when the queue is (or becomes) closed.
    // When the head record is larger than the buffer it throws RecordSizeException
    // (BufferTooSmall, with the record's size) and leaves the record in place, so a
    // caller can retry with a larger buffer or discard() it.
    std::size_t take(std::span<std::uint8_t> buffer);
    // As take(), waiting at most the given time in all; 0 when it ran out. With 0 ms
    // it returns at once when the queue is empty.
    std::size_t take(std::span<std::uint8_t> buffer, std::uint32_t milliseconds);

    // Drops the head record without copying it; returns its length, 0 when empty.
    std::size_t discard();
    // Drops every record and lets blocked producers go on.
    void clear();
    // Every blocked and later put() returns false and every take() returns 0.
    void close();

    // While set, the ring's array is freed whenever the queue runs empty (at
    // once when it is empty now); a later put allocates it again. Owners set
    // it while nothing is expected to flow (a client between connections), so
    // an idle queue costs no memory, and clear it when records come again.
    void setReleaseWhenEmpty(bool release);
    // Bytes of the ring's array now held (0 while released).
    std::size_t allocatedBytes() const;

    bool isClosed() const;
    bool isEmpty() const;
    int count() const;
    int freeSpace() const;
    int capacity() const { return _ring.capacity(); }
    int largestRecord() const { return _ring.largestRecord(); }

private:
    // Waits on a condition until the deadline (or without one); false when it passed.
    static bool waitUntil(Condition& condition, const std::int64_t* deadline);
    bool putLocked(std::span<const RecordRing::Part> parts, const std::int64_t* deadline);
    std::size_t takeLocked(std::span<std::uint8_t> buffer, const std::int64_t* deadline);
    // Under the mutex: frees the array when asked to and the ring is empty.
    void releaseIfIdle();

    RecordRing _ring;
    mutable Mutex _mutex;
    Condition _notEmpty{_mutex};
    Condition _notFull{_mutex};
    bool _closed = false;
    bool _releaseWhenEmpty = false;
};

} // namespace ostrel
