#include "app/ui/PageHub.h"

#include "app/ui/ControllerThread.h"

#include <algorithm>

namespace ostrel {

PageHub::PageHub(ControllerThread& controller, std::size_t maxEvents, std::size_t maxBytes)
    : _controller(controller), _maxEvents(maxEvents), _maxBytes(maxBytes) {}

void PageHub::setSnapshot(Snapshot snapshot) { _snapshot = std::move(snapshot); }

std::string PageHub::encode(const std::string& function, const nlohmann::json& args) {
    nlohmann::json call{{"fn", function}, {"args", args.is_array() ? args : nlohmann::json::array({args})}};
    // Invalid UTF-8 in a site's name must not break the stream: replace it.
    return call.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void PageHub::run(const std::string& function, const nlohmann::json& args) {
    const std::string event = encode(function, args);
    std::lock_guard<std::mutex> lock(_mutex);
    for (const auto& channel : _channels) {
        channel->push(event);
    }
}

std::vector<std::string> PageHub::snapshot() const {
    std::vector<std::string> events{encode("page.reset", nlohmann::json::array())};
    if (_snapshot) {
        for (auto& e : _snapshot()) {
            events.push_back(std::move(e));
        }
    }
    return events;
}

std::shared_ptr<PageChannel> PageHub::connect() {
    auto channel = std::make_shared<PageChannel>(_maxEvents, _maxBytes);
    bool added = false;
    _controller.send([&] {
        channel->replaceWith(snapshot());
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_closed) {
            _channels.push_back(channel);
            added = true;
        }
    });
    return added ? channel : nullptr;
}

void PageHub::disconnect(const std::shared_ptr<PageChannel>& channel) {
    channel->close();
    std::lock_guard<std::mutex> lock(_mutex);
    _channels.erase(std::remove(_channels.begin(), _channels.end(), channel), _channels.end());
}

bool PageHub::resync(PageChannel& channel) {
    return _controller.send([&] { channel.replaceWith(snapshot()); });
}

void PageHub::closeAll() {
    std::lock_guard<std::mutex> lock(_mutex);
    _closed = true;
    for (const auto& channel : _channels) {
        channel->close();
    }
    _channels.clear();
}

std::size_t PageHub::pageCount() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _channels.size();
}

} // namespace ostrel
