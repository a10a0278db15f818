#include "app/ui/CTidevaultApp.h"

#include "app/persistence/SiteContainer.h"
#include "app/persistence/SystemLogger.h"
#include "app/scheduling/ArchivingScheduler.h"
#include "app/scheduling/EventManager.h"
#include "app/ui/AccessGuard.h"
#include "app/ui/CMainFrame.h"
#include "app/ui/CSiteListView.h"
#include "app/ui/CTidevaultDoc.h"
#include "app/ui/ControllerThread.h"
#include "app/ui/DialogHost.h"
#include "app/ui/PageHub.h"
#include "app/ui/ScriptBridge.h"
#include "app/ui/WebServer.h"
#include "base/Exception.h"
#include "base/Trace.h"
#include "database/DataWarehouse.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace ostrel {

namespace {
void makeFolders(const std::string& path) {
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            throw SystemException(errno, partial);
        }
    }
}
} // namespace

CTidevaultApp::CTidevaultApp(const Clock& clock) : _clock(clock) {}

CTidevaultApp::~CTidevaultApp() { exitInstance(); }

std::string CTidevaultApp::documentsFolder() {
    if (const char* dir = std::getenv("XDG_DOCUMENTS_DIR"); dir && *dir) {
        return dir;
    }
    const char* home = std::getenv("HOME");
    const std::string homeDir = home && *home ? home : ".";
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const std::string configDir = config && *config ? config : homeDir + "/.config";
    std::ifstream dirs(configDir + "/user-dirs.dirs");
    std::string line;
    while (std::getline(dirs, line)) {
        const std::string key = "XDG_DOCUMENTS_DIR=\"";
        if (line.rfind(key, 0) == 0 && line.size() > key.size() && line.back() == '"') {
            std::string value = line.substr(key.size(), line.size() - key.size() - 1);
            if (value.rfind("$HOME", 0) == 0) {
                value = homeDir + value.substr(5);
            }
            if (!value.empty() && value[0] == '/') {
                return value;
            }
        }
    }
    return homeDir + "/Documents";
}

void CTidevaultApp::initInstance(const AppOptions& options) {
    char cwd[PATH_MAX];
    _workingDirectory = getcwd(cwd, sizeof cwd) ? cwd : ".";

    // The database, then the sites and the log (errors are logged and swallowed inside).
    try {
        DataWarehouse::instance().open(_workingDirectory + "/app.db");
    } catch (const Exception& e) {
        traceException(e);
    }
    SiteContainer::instance().load();
    SystemLogger::instance().load();
    if (options.beforeLoading) {
        options.beforeLoading();
    }

    _storagesFolder = options.storagesFolder.empty() ? documentsFolder() + "/Ostrel Storages/" : options.storagesFolder;
    if (_storagesFolder.back() != '/') {
        _storagesFolder += '/';
    }
    makeFolders(_storagesFolder.substr(0, _storagesFolder.size() - 1));

    _controller = std::make_unique<ControllerThread>();
    _pages = std::make_unique<PageHub>(*_controller);
    _dialogs = std::make_unique<DialogHost>(*_pages);
    _bridge = std::make_unique<ScriptBridge>(*_controller);
    _document = std::make_unique<CTidevaultDoc>(*_controller, *_dialogs, ArchivingScheduler::instance(),
                                                SiteContainer::instance(), SystemLogger::instance(), _clock);
    _document->setStoragesFolder(_storagesFolder);
    _view = std::make_unique<CSiteListView>(*_controller, *_pages, *_dialogs, *_document,
                                            ArchivingScheduler::instance(), SiteContainer::instance(),
                                            SystemLogger::instance(), EventManager::instance());
    _document->setView(_view.get());
    _frame = std::make_unique<CMainFrame>(*_dialogs, *_view, *_document, [this] { _exitRequested = true; });
    _controller->setHandler(_frame.get());
    _pages->setSnapshot([this] {
        std::vector<std::string> calls = _view->snapshot();
        for (auto& call : _dialogs->snapshot()) {
            calls.push_back(std::move(call));
        }
        return calls;
    });
    _bridge->setTooltipResolver([this](const std::string& title) { return _view->tooltip(title); });
    _controller->start();
    _running = true;
    _controller->send([this] { _view->create(_clock); });

    _server = std::make_unique<WebServer>(*_controller, *_pages, *_bridge, *_dialogs, options.webRoot);
    _server->bind(options.listenHost, options.port, AccessGuard::newToken());
    _server->start();

    _controller->send([this] { _document->loadSchedules(); });
}

std::string CTidevaultApp::address() const { return _server ? _server->guard().address() : std::string(); }

void CTidevaultApp::setAfterLoading(std::function<void()> afterLoading) {
    _frame->setAfterLoading(std::move(afterLoading));
}

bool CTidevaultApp::send(const std::function<void()>& work) { return _controller && _controller->send(work); }

void CTidevaultApp::exitInstance() {
    if (!_running) {
        return;
    }
    _running = false;
    // The pages learn that Ostrel ends; no message of the document's loop
    // reaches the controller from now on.
    _controller->send([this] {
        _dialogs->closeAll();
        _pages->run("page.closed", nlohmann::json::array({"Ostrel has ended. You can close this page."}));
        _document->stopLoop();
    });
    // Every message already queued runs; nothing is accepted after it.
    _controller->stop();
    _server->stop();
    _document->joinLoader();
    // The schedules stop: each stores its resume position, every storage group is flushed and closed.
    _view->destroy();
    SystemLogger::instance().unload();
    SiteContainer::instance().unload();
    DataWarehouse::instance().close();
}

} // namespace ostrel
