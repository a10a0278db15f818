#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel {

// The queue of script calls waiting for one connected page (one event stream).
// It is bounded: a page that falls behind by more than the bounds loses what
// was queued and is marked for a resync, after which it gets the full state
// again instead of the calls it missed, so a stalled page costs bounded memory.
class PageChannel {
public:
    enum class Take { Events, Resync, Timeout, Closed };

    PageChannel(std::size_t maxEvents, std::size_t maxBytes);

    // Queues one encoded call; past the bounds the queue is dropped and the
    // channel waits for a resync (further calls are dropped until then).
    void push(const std::string& event);
    // Waits at most `timeout` for something to do. Events: `out` holds the
    // queued calls (taken out). Resync: the page needs the full state.
    Take take(std::vector<std::string>& out, std::chrono::milliseconds timeout);
    // The full state replaces whatever was queued; the resync mark is cleared.
    void replaceWith(std::vector<std::string> events);
    void close();

    bool isClosed() const;
    bool needsResync() const;
    std::size_t queuedEvents() const;
    std::size_t queuedBytes() const;
    // How many times this channel overflowed.
    std::size_t overflows() const;

private:
    const std::size_t _maxEvents;
    const std::size_t _maxBytes;
    mutable std::mutex _mutex;
    std::condition_variable _ready;
    std::vector<std::string> _events;
    std::size_t _bytes = 0;
    std::size_t _overflows = 0;
    bool _resync = false;
    bool _closed = false;
};

} // namespace ostrel
