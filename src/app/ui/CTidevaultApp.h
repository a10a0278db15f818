#pragma once

#include "base/Clock.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ostrel {

class CMainFrame;
class CSiteListView;
class CTidevaultDoc;
class ControllerThread;
class DialogHost;
class PageHub;
class ScriptBridge;
class WebServer;
struct NewScheduleRequest;

struct AppOptions {
    std::string listenHost = "127.0.0.1";
    uint16_t port = 10180;
    // Where the page's files are.
    std::string webRoot;
    // The storages folder; empty: the documents folder + "/Ostrel Storages/".
    std::string storagesFolder;
    // Runs after the sites have loaded from app.db, before their schedules are made.
    std::function<void()> beforeLoading;
};

// The application: start-up in order, the running state, and shut-down in order.
class CTidevaultApp {
public:
    explicit CTidevaultApp(const Clock& clock = Clock::system());
    ~CTidevaultApp();
    CTidevaultApp(const CTidevaultApp&) = delete;
    CTidevaultApp& operator=(const CTidevaultApp&) = delete;

    // Opens app.db in the working directory and loads the sites and the log,
    // creates the storages folder, starts the controller thread, the view (the
    // scheduler, the event manager, the document's loop) and the page server,
    // then loads the schedules. Throws when the server cannot listen.
    void initInstance(const AppOptions& options);
    // The address to open (with the access token).
    std::string address() const;
    // Runs once the schedules have loaded, on the controller thread.
    void setAfterLoading(std::function<void()> afterLoading);
    // Runs the work on the controller thread and waits for it.
    bool send(const std::function<void()>& work);

    // Set when the user confirmed "Exit" (any thread may wait for it).
    bool exitRequested() const { return _exitRequested.load(); }
    // Shut-down in order: the page is told, the document's loop stops, the
    // controller queue drains, the server stops, the scheduler shuts down (every
    // schedule stores its resume position, every group is flushed and closed),
    // then the log, the sites and the database close.
    void exitInstance();

    CTidevaultDoc& document() { return *_document; }
    CSiteListView& view() { return *_view; }
    const std::string& storagesFolder() const { return _storagesFolder; }

    // The user's documents folder (XDG).
    static std::string documentsFolder();

private:
    const Clock& _clock;
    std::string _workingDirectory;
    std::string _storagesFolder;
    std::unique_ptr<ControllerThread> _controller;
    std::unique_ptr<PageHub> _pages;
    std::unique_ptr<DialogHost> _dialogs;
    std::unique_ptr<ScriptBridge> _bridge;
    std::unique_ptr<CTidevaultDoc> _document;
    std::unique_ptr<CSiteListView> _view;
    std::unique_ptr<CMainFrame> _frame;
    std::unique_ptr<WebServer> _server;
    std::atomic<bool> _exitRequested{false};
    bool _running = false;
};

} // namespace ostrel
