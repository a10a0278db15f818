// ostrel: the application. Serves the main list page on loopback, archives
// every site on its schedule, and runs until "Exit" is confirmed in the page
// or SIGTERM/SIGINT arrives.

#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteContainer.h"
#include "app/persistence/SiteStorage.h"
#include "app/ui/AccessGuard.h"
#include "app/ui/CTidevaultApp.h"
#include "app/ui/CTidevaultDoc.h"
#include "app/ui/SingleInstance.h"
#include "base/Exception.h"
#include "base/UniqueID.h"
#include "ostrel-sitesim/SiteServer.h"

#include <systemd/sd-daemon.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ostrel;

namespace {

constexpr const char* DemoSiteName = "Demo Site";

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: ostrel [--listen ADDR:PORT] [--demo] [--web DIR]\n"
                 "  --listen ADDR:PORT  where the page is served (loopback only; default 127.0.0.1:10180,\n"
                 "                      port 0: any free port)\n"
                 "  --demo              also run a simulated site on loopback and, when app.db has no\n"
                 "                      sites, add \"Demo Site\" archiving it into a small storage group\n"
                 "  --web DIR           the page's files (default: web/ beside the binary, or\n"
                 "                      ../share/ostrel/web)\n"
                 "Ostrel keeps app.db in the working directory and prints the address to open.\n");
}

bool isDirectoryWithPage(const std::string& dir) {
    struct stat st {};
    return ::stat((dir + "/index.html").c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string findWebRoot() {
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        exe[n] = '\0';
        std::string dir(exe);
        dir = dir.substr(0, dir.rfind('/'));
        for (const std::string& candidate : {dir + "/web", dir + "/../share/ostrel/web"}) {
            if (isDirectoryWithPage(candidate)) {
                return candidate;
            }
        }
    }
    return "web";
}

bool parseListen(const std::string& text, std::string& host, uint16_t& port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    char* end = nullptr;
    const long value = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || end == text.c_str() + colon + 1 || value < 0 || value > 65535) {
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

bool desktopPresent() {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (display && *display) || (wayland && *wayland);
}

void openInBrowser(const std::string& address) {
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("xdg-open", "xdg-open", address.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid > 0) {
        int status = 0;
        waitpid(pid, &status, 0);
    }
}

// The simulated site of --demo: the default recording moved to end now and
// growing with the clock, so there is always something new to archive.
std::unique_ptr<SiteServer> startDemoSite() {
    SiteSettings settings;
    settings.listenAddress = "127.0.0.1";
    settings.port = 0;
    settings.recording.growing = true;
    settings.recording.anchorToNow = true;
    settings.recording.retainSeconds = 4 * 3600;
    auto site = std::make_unique<SiteServer>(settings);
    site->start();
    return site;
}

NewScheduleRequest demoRequest(const std::string& storagesFolder, uint16_t port) {
    NewScheduleRequest request;
    request.siteId = UniqueID();
    request.name = DemoSiteName;
    request.address = "127.0.0.1";
    request.port = port;
    request.user = "admin";
    request.password = "admin";
    request.archiveFrom = RecordSite::ArchiveFromFirst;
    request.overwrite = true;
    request.alwaysArchive = true;
    const std::string folder = storagesFolder + DemoSiteName + "/";
    ::mkdir(folder.c_str(), 0755);
    request.groupFilePath = folder + SiteStorage::groupFileName(DemoSiteName);
    for (int i = 1; i <= 2; ++i) {
        request.storagePaths.push_back(folder + SiteStorage::storageFileName(DemoSiteName, i, 2));
    }
    request.storageSize = SiteStorage::storageBytes(0.064);
    return request;
}

} // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    uint16_t port = 10180;
    bool demo = false;
    std::string webRoot;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else if (arg == "--listen" && i + 1 < argc) {
            if (!parseListen(argv[++i], host, port)) {
                std::fprintf(stderr, "ostrel: --listen takes ADDR:PORT, not %s\n", argv[i]);
                return 2;
            }
        } else if (arg == "--demo") {
            demo = true;
        } else if (arg == "--web" && i + 1 < argc) {
            webRoot = argv[++i];
        } else {
            std::fprintf(stderr, "ostrel: unknown argument %s\n", arg.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (!AccessGuard::isLoopback(host)) {
        std::fprintf(stderr, "ostrel: the page is served on loopback only, not on %s\n", host.c_str());
        return 2;
    }
    if (webRoot.empty()) {
        webRoot = findWebRoot();
    }
    if (!isDirectoryWithPage(webRoot)) {
        std::fprintf(stderr, "ostrel: no page found in %s (use --web DIR)\n", webRoot.c_str());
        return 1;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    SingleInstance instance;
    try {
        if (!instance.acquire()) {
            const std::string address = SingleInstance::runningAddress(5000);
            if (address.empty()) {
                std::printf("Ostrel is already running.\n");
            } else {
                std::printf("Ostrel is already running: %s\n", address.c_str());
                if (desktopPresent()) {
                    openInBrowser(address);
                }
            }
            return 0;
        }
    } catch (const Exception& e) {
        std::fprintf(stderr, "ostrel: %s\n", e.what());
        return 1;
    }

    // Every thread made from here on leaves SIGINT and SIGTERM to this one.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<SiteServer> demoSite;
    CTidevaultApp app;
    try {
        AppOptions options;
        options.listenHost = host;
        options.port = port;
        options.webRoot = webRoot;
        if (demo) {
            demoSite = startDemoSite();
            const uint16_t demoPort = demoSite->port();
            std::printf("Demo site listening on 127.0.0.1:%u\n", demoPort);
            // A demo site from an earlier run points at that run's port.
            options.beforeLoading = [demoPort] {
                SiteContainer& sites = SiteContainer::instance();
                for (RecordSite* site : sites.sites(false)) {
                    if (site->name() == DemoSiteName && site->address() == "127.0.0.1") {
                        site->setConnection(site->address(), demoPort, site->username(), site->password());
                        sites.update(*site);
                    }
                }
            };
        }
        app.initInstance(options);
        if (demo) {
            const uint16_t demoPort = demoSite->port();
            app.setAfterLoading([&app, demoPort] {
                if (SiteContainer::instance().sites(false).empty()) {
                    app.document().newSchedule(demoRequest(app.storagesFolder(), demoPort));
                }
            });
        }
    } catch (const Exception& e) {
        std::fprintf(stderr, "ostrel: %s\n", e.what());
        return 1;
    }
    const std::string address = app.address();
    instance.publish(address);
    std::printf("Ostrel is running. Open %s\n", address.c_str());
    sd_notify(0, "READY=1");

    for (;;) {
        timespec wait{0, 200 * 1000 * 1000};
        const int received = sigtimedwait(&signals, nullptr, &wait);
        if (received == SIGINT || received == SIGTERM) {
            std::printf("Ostrel is stopping (%s).\n", received == SIGINT ? "SIGINT" : "SIGTERM");
            break;
        }
        if (app.exitRequested()) {
            std::printf("Ostrel is stopping (Exit).\n");
            break;
        }
    }
    sd_notify(0, "STOPPING=1");
    app.exitInstance();
    if (demoSite) {
        demoSite->stop();
    }
    std::printf("Ostrel stopped.\n");
    return 0;
}
