#pragma once

#include "base/thread/Condition.h"
#include "base/thread/Mutex.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace ostrel {

// A bounded first-in first-out queue of 32-bit values shared between threads:
// push() blocks while it is full, pop() while it is empty; close() releases
// everyone for good.
class BlockingQueue {
public:
    // Capacity in elements, at least 1.
    explicit BlockingQueue(std::size_t capacity);
    BlockingQueue(const BlockingQueue&) = delete;
    BlockingQueue& operator=(const BlockingQueue&) = delete;

    // Appends the value, waiting without limit for room. False when the queue is (or
    // becomes) closed; nothing is stored then.
    bool push(std::uint32_t value);
    // As push(), waiting at most the given time in all; false when it ran out.
    bool push(std::uint32_t value, std::uint32_t milliseconds);
    // Removes the oldest value, waiting without limit while empty. Nothing when the
    // queue is (or becomes) closed.
    std::optional<std::uint32_t> pop();
    // As pop(), waiting at most the given time in all; nothing when it ran out.
    std::optional<std::uint32_t> pop(std::uint32_t milliseconds);

    // Every blocked and later push() returns false and every pop() returns nothing.
    void close();

    bool isClosed() const;
    std::size_t size() const;
    std::size_t capacity() const { return _elements.size(); }

private:
    bool pushLocked(std::uint32_t value, const std::int64_t* deadline);
    std::optional<std::uint32_t> popLocked(const std::int64_t* deadline);
    static bool waitUntil(Condition& condition, const std::int64_t* deadline);

    std::vector<std::uint32_t> _elements;
    std::size_t _readIndex = 0;
    std::size_t _writeIndex = 0;
    std::size_t _count = 0;
    mutable Mutex _mutex;
    Condition _notEmpty{_mutex};
    Condition _notFull{_mutex};
    bool _closed = false;
};

} // namespace ostrel
