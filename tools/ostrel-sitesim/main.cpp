// ostrel-sitesim: a simulated site for tests, benchmarks and demonstrations.
#include "base/Exception.h"
#include "ostrel-sitesim/SiteServer.h"
#include "ostrel-sitesim/SiteSettingsReader.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

std::string stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local);
    return text;
}

} // namespace

int main(int argc, char** argv) {
    SiteSettings settings;
    try {
        const std::vector<std::string> arguments(argv + 1, argv + argc);
        switch (SiteSettingsReader::applyCommandLine(arguments, settings)) {
        case SiteSettingsReader::Action::Help:
            std::fputs(SiteSettingsReader::helpText(), stdout);
            return 0;
        case SiteSettingsReader::Action::PrintConfig:
            settings.validate();
            std::fputs(SiteSettingsReader::toJsonText(settings).c_str(), stdout);
            return 0;
        case SiteSettingsReader::Action::Run:
            break;
        }
    } catch (const Exception& e) {
        std::fprintf(stderr, "ostrel-sitesim: %s\n", e.messageText().c_str());
        return 2;
    }

    // Only this thread takes the stop signals: every thread started below
    // inherits the blocked set, and sigwait collects them here.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    auto printLock = std::make_shared<std::mutex>();
    settings.log = [printLock](const std::string& line) {
        std::lock_guard<std::mutex> lock(*printLock);
        std::printf("%s %s\n", stamp().c_str(), line.c_str());
        std::fflush(stdout);
    };
    try {
        SiteServer site(settings);
        const uint16_t port = site.start();
        {
            std::lock_guard<std::mutex> lock(*printLock);
            std::printf("%u\n", port);
            const std::vector<SyntheticRecording::Span> spans = site.recording().spans(0);
            std::printf("%s listening on %s:%u, %zu section(s)", stamp().c_str(), settings.listenAddress.c_str(),
                        port, spans.size());
            if (!spans.empty()) {
                std::printf(" from %s to %s", DateTime::fromEpochSeconds(spans.front().firstEpoch()).toString().c_str(),
                            DateTime::fromEpochSeconds(spans.back().lastEpoch()).toString().c_str());
            }
            std::printf("%s\n", settings.recording.growing ? ", growing" : "");
            std::fflush(stdout);
        }
        int received = 0;
        sigwait(&signals, &received);
        settings.log(std::string("stopping on ") + (received == SIGINT ? "SIGINT" : "SIGTERM"));
        site.stop();
    } catch (const Exception& e) {
        std::fprintf(stderr, "ostrel-sitesim: %s\n", e.toString().c_str());
        return 1;
    }
    return 0;
}
