#include "network/BlockingRecordQueue.h"

#include "network/RecordSizeException.h"

#include <chrono>
#include <cstring>
#include <string>

namespace ostrel {
namespace {

std::int64_t nowMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t deadlineAfter(std::uint32_t milliseconds) { return nowMilliseconds() + milliseconds; }

} // namespace

BlockingRecordQueue::BlockingRecordQueue(int capacity) : _ring(capacity) {}

bool BlockingRecordQueue::waitUntil(Condition& condition, const std::int64_t* deadline) {
    if (deadline == nullptr) {
        condition.wait();
        return true;
    }
    const std::int64_t left = *deadline - nowMilliseconds();
    if (left <= 0) {
        return false;
    }
    condition.wait(static_cast<std::uint32_t>(left));
    return true; // the caller re-tests its predicate; the next pass sees the deadline
}

bool BlockingRecordQueue::put(std::span<const RecordRing::Part> parts) {
    Mutex::ScopedLock lock(_mutex);
    return putLocked(parts, nullptr);
}

bool BlockingRecordQueue::put(std::initializer_list<RecordRing::Part> parts) {
    return put(std::span<const RecordRing::Part>(parts.begin(), parts.size()));
}

bool BlockingRecordQueue::put(std::span<const RecordRing::Part> parts, std::uint32_t milliseconds) {
    const std::int64_t deadline = deadlineAfter(milliseconds);
    Mutex::ScopedLock lock(_mutex);
    return putLocked(parts, &deadline);
}

bool BlockingRecordQueue::put(std::initializer_list<RecordRing::Part> parts, std::uint32_t milliseconds) {
    return put(std::span<const RecordRing::Part>(parts.begin(), parts.size()), milliseconds);
}

bool BlockingRecordQueue::putLocked(std::span<const RecordRing::Part> parts, const std::int64_t* deadline) {
    const std::size_t length = RecordRing::totalLength(parts);
    if (length == 0) {
        throw RecordSizeException(RecordSizeException::EmptyRecord, 0, "a record queue carries no empty records");
    }
    if (length > static_cast<std::size_t>(_ring.largestRecord())) {
        // Waiting would never end: even an empty ring cannot hold it.
        throw RecordSizeException(RecordSizeException::TooLarge, length,
                                  "record of " + std::to_string(length) + " bytes exceeds the largest record (" +
                                      std::to_string(_ring.largestRecord()) + " bytes) of the queue");
    }
    while (!_closed && !_ring.canPut(length)) {
        if (!waitUntil(_notFull, deadline)) {
            return false;
        }
    }
    if (_closed) {
        return false;
    }
    _ring.put(parts);
    _notEmpty.notify();
    return true;
}

std::size_t BlockingRecordQueue::take(std::span<std::uint8_t> buffer) {
    Mutex::ScopedLock lock(_mutex);
    return takeLocked(buffer, nullptr);
}

std::size_t BlockingRecordQueue::take(std::span<std::uint8_t> buffer, std::uint32_t milliseconds) {
    const std::int64_t deadline = deadlineAfter(milliseconds);
    Mutex::ScopedLock lock(_mutex);
    return takeLocked(buffer, &deadline);
}

std::size_t BlockingRecordQueue::takeLocked(std::span<std::uint8_t> buffer, const std::int64_t* deadline) {
    while (!_closed && _ring.isEmpty()) {
        if (!waitUntil(_notEmpty, deadline)) {
            return 0;
        }
    }
    if (_closed) {
        return 0;
    }
    const std::span<const std::uint8_t> record = _ring.peek();
    if (record.size() > buffer.size()) {
        throw RecordSizeException(RecordSizeException::BufferTooSmall, record.size(),
                                  "record of " + std::to_string(record.size()) + " bytes exceeds the buffer of " +
                                      std::to_string(buffer.size()) + " bytes");
    }
    std::memcpy(buffer.data(), record.data(), record.size());
    const std::size_t length = record.size();
    _ring.consume();
    releaseIfIdle();
    // Records differ in size: every waiting producer re-tests whether its own fits,
    // so that one whose record is still too large cannot swallow the wake-up.
    _notFull.notifyAll();
    return length;
}

std::size_t BlockingRecordQueue::discard() {
    Mutex::ScopedLock lock(_mutex);
    const std::size_t length = _ring.peek().size();
    if (_ring.isEmpty()) {
        return 0;
    }
    _ring.consume();
    releaseIfIdle();
    _notFull.notifyAll();
    return length;
}

void BlockingRecordQueue::clear() {
    Mutex::ScopedLock lock(_mutex);
    _ring.clear();
    releaseIfIdle();
    _notFull.notifyAll();
}

void BlockingRecordQueue::setReleaseWhenEmpty(bool release) {
    Mutex::ScopedLock lock(_mutex);
    _releaseWhenEmpty = release;
    releaseIfIdle();
}

void BlockingRecordQueue::releaseIfIdle() {
    if (_releaseWhenEmpty && _ring.isEmpty()) {
        _ring.release();
    }
}

std::size_t BlockingRecordQueue::allocatedBytes() const {
    Mutex::ScopedLock lock(_mutex);
    return _ring.allocatedBytes();
}

void BlockingRecordQueue::close() {
    Mutex::ScopedLock lock(_mutex);
    _closed = true;
    _notEmpty.notifyAll();
    _notFull.notifyAll();
}

bool BlockingRecordQueue::isClosed() const {
    Mutex::ScopedLock lock(_mutex);
    return _closed;
}

bool BlockingRecordQueue::isEmpty() const {
    Mutex::ScopedLock lock(_mutex);
    return _ring.isEmpty();
}

int BlockingRecordQueue::count() const {
    Mutex::ScopedLock lock(_mutex);
    return _ring.count();
}

int BlockingRecordQueue::freeSpace() const {
    Mutex::ScopedLock lock(_mutex);
    return _ring.freeSpace();
}

} // namespace ostrel
