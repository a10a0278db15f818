#include "app/ui/PageChannel.h"

namespace ostrel {

PageChannel::PageChannel(std::size_t maxEvents, std::size_t maxBytes)
    : _maxEvents(maxEvents), _maxBytes(maxBytes) {}

void PageChannel::push(const std::string& event) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_closed || _resync) {
            return;
        }
        if (_events.size() + 1 > _maxEvents || _bytes + event.size() > _maxBytes) {
            _events.clear();
            _events.shrink_to_fit();
            _bytes = 0;
            _resync = true;
            ++_overflows;
        } else {
            _events.push_back(event);
            _bytes += event.size();
        }
    }
    _ready.notify_all();
}

PageChannel::Take PageChannel::take(std::vector<std::string>& out, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(_mutex);
    _ready.wait_for(lock, timeout, [&] { return _closed || _resync || !_events.empty(); });
    // What was queued before the close still goes out (the page's last words).
    if (_events.empty() || _resync) {
        if (_closed) {
            return Take::Closed;
        }
        if (_resync) {
            return Take::Resync;
        }
        return Take::Timeout;
    }
    out.swap(_events);
    _events.clear();
    _bytes = 0;
    return Take::Events;
}

void PageChannel::replaceWith(std::vector<std::string> events) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _events = std::move(events);
        _bytes = 0;
        for (const auto& e : _events) {
            _bytes += e.size();
        }
        _resync = false;
    }
    _ready.notify_all();
}

void PageChannel::close() {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _closed = true;
    }
    _ready.notify_all();
}

bool PageChannel::isClosed() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _closed;
}

bool PageChannel::needsResync() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _resync;
}

std::size_t PageChannel::queuedEvents() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _events.size();
}

std::size_t PageChannel::queuedBytes() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _bytes;
}

std::size_t PageChannel::overflows() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _overflows;
}

} // namespace ostrel
