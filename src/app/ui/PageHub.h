#pragma once

#include "app/ui/PageChannel.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel {

class ControllerThread;

// Runs script calls in every connected page: the native side's
// "schedule.addSchedule(...)", "toolbar.initialEnable(true)", the dialogs'
// updates. A call travels as one JSON text {"fn": name, "args": [...]} on each
// page's event stream; the page looks the name up in a fixed table of its own
// functions and renders every text with textContent.
//
// Calls are made on the controller thread, and a page that connects (or falls
// behind and resyncs) gets its full state built there too, so it sees every
// call after its snapshot exactly once and in order.
class PageHub {
public:
    // Builds the calls that bring a fresh page to the current state.
    using Snapshot = std::function<std::vector<std::string>()>;

    static constexpr std::size_t DefaultMaxEvents = 2000;
    static constexpr std::size_t DefaultMaxBytes = 4 * 1024 * 1024;

    explicit PageHub(ControllerThread& controller, std::size_t maxEvents = DefaultMaxEvents,
                     std::size_t maxBytes = DefaultMaxBytes);

    void setSnapshot(Snapshot snapshot);

    // The encoded form of one call.
    static std::string encode(const std::string& function, const nlohmann::json& args);
    // Runs the call in every connected page (controller thread).
    void run(const std::string& function, const nlohmann::json& args = nlohmann::json::array());
    // The calls that build the current state, as a fresh page needs them.
    std::vector<std::string> snapshot() const;

    // A new page's channel, already holding the current state; nullptr once
    // the controller no longer runs.
    std::shared_ptr<PageChannel> connect();
    void disconnect(const std::shared_ptr<PageChannel>& channel);
    // Refills a channel that overflowed with the full state; false once the
    // controller no longer runs.
    bool resync(PageChannel& channel);
    // Ends every page's stream (shut-down).
    void closeAll();
    std::size_t pageCount() const;

private:
    ControllerThread& _controller;
    const std::size_t _maxEvents;
    const std::size_t _maxBytes;
    Snapshot _snapshot;
    mutable std::mutex _mutex;
    std::vector<std::shared_ptr<PageChannel>> _channels;
    bool _closed = false;
};

} // namespace ostrel
