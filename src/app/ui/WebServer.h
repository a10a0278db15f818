#pragma once

#include "app/ui/AccessGuard.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

namespace ostrel {

class ControllerThread;
class DialogHost;
class PageHub;
class ScriptBridge;

// The embedded HTTP server of the main list page, on loopback:
//   GET  /?token=T           sets the token cookie and sends the page to /
//   GET  /, /app.js, /style.css, /img/NAME   the page and its assets
//   GET  /events             the page's event stream (script calls from the native side)
//   GET  /tooltip?title=T    a tooltip text the page asks for
//   POST /archiver/NAME      one of the page's eight native functions, {"args": [...]}
//   POST /dialog/ID/FN       a call to an open dialog's controller, {"args": ...}
//   POST /tray               the application menu at {"x", "y"}
// Every request needs the token (AccessGuard); handlers only hand work to the
// controller thread.
class WebServer {
public:
    static constexpr int MaxPages = 8;

    WebServer(ControllerThread& controller, PageHub& pages, ScriptBridge& bridge, DialogHost& dialogs,
              std::string webRoot);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds host:port (port 0: any free port) for the given token; returns the
    // port. Throws SystemException when the address cannot be bound, and
    // Exception for an address that is not loopback.
    uint16_t bind(const std::string& host, uint16_t port, const std::string& token);
    // Serves on a thread of its own.
    void start();
    // Ends every page stream, stops serving and waits for the server thread.
    void stop();

    const AccessGuard& guard() const { return *_guard; }
    const std::string& webRoot() const { return _webRoot; }

private:
    struct Impl;
    std::unique_ptr<Impl> _impl;
    ControllerThread& _controller;
    PageHub& _pages;
    ScriptBridge& _bridge;
    DialogHost& _dialogs;
    std::string _webRoot;
    std::unique_ptr<AccessGuard> _guard;
    std::thread _thread;
    std::atomic<int> _streams{0};
};

} // namespace ostrel
