#include "network/BlockingQueue.h"

#include "base/Exception.h"

#include <cerrno>
#include <chrono>

namespace ostrel {
namespace {

std::int64_t nowMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::vector<std::uint32_t> makeElements(std::size_t capacity) {
    if (capacity == 0) {
        throw SystemException(EINVAL, "a blocking queue needs room for at least one element");
    }
    return std::vector<std::uint32_t>(capacity);
}

} // namespace

BlockingQueue::BlockingQueue(std::size_t capacity) : _elements(makeElements(capacity)) {}

bool BlockingQueue::waitUntil(Condition& condition, const std::int64_t* deadline) {
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

bool BlockingQueue::push(std::uint32_t value) {
    Mutex::ScopedLock lock(_mutex);
    return pushLocked(value, nullptr);
}

bool BlockingQueue::push(std::uint32_t value, std::uint32_t milliseconds) {
    const std::int64_t deadline = nowMilliseconds() + milliseconds;
    Mutex::ScopedLock lock(_mutex);
    return pushLocked(value, &deadline);
}

bool BlockingQueue::pushLocked(std::uint32_t value, const std::int64_t* deadline) {
    while (!_closed && _count == _elements.size()) {
        if (!waitUntil(_notFull, deadline)) {
            return false;
        }
    }
    if (_closed) {
        return false;
    }
    _elements[_writeIndex] = value;
    _writeIndex = (_writeIndex + 1) % _elements.size();
    ++_count;
    _notEmpty.notify();
    return true;
}

std::optional<std::uint32_t> BlockingQueue::pop() {
    Mutex::ScopedLock lock(_mutex);
    return popLocked(nullptr);
}

std::optional<std::uint32_t> BlockingQueue::pop(std::uint32_t milliseconds) {
    const std::int64_t deadline = nowMilliseconds() + milliseconds;
    Mutex::ScopedLock lock(_mutex);
    return popLocked(&deadline);
}

std::optional<std::uint32_t> BlockingQueue::popLocked(const std::int64_t* deadline) {
    while (!_closed && _count == 0) {
        if (!waitUntil(_notEmpty, deadline)) {
            return std::nullopt;
        }
    }
    if (_closed) {
        return std::nullopt;
    }
    const std::uint32_t value = _elements[_readIndex];
    _readIndex = (_readIndex + 1) % _elements.size();
    --_count;
    _notFull.notify();
    return value;
}

void BlockingQueue::close() {
    Mutex::ScopedLock lock(_mutex);
    _closed = true;
    _notEmpty.notifyAll();
    _notFull.notifyAll();
}

bool BlockingQueue::isClosed() const {
    Mutex::ScopedLock lock(_mutex);
    return _closed;
}

std::size_t BlockingQueue::size() const {
    Mutex::ScopedLock lock(_mutex);
    return _count;
}

} // namespace ostrel
