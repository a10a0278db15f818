#pragma once

#include "ostrel-sitesim/SiteSettings.h"
#include "ostrel-sitesim/SyntheticRecording.h"
#include "ostrel-sitesim/UniqueFd.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace ostrel {

// A simulated site: the server end of the remote-playback protocol over a
// deterministic synthetic recording. It listens on one TCP port (IPv4) and
// serves every client on a thread of its own (SiteConnection).
//
// Typical use in a test:
//     SiteSettings settings;               // the default recording, loopback, any port
//     SiteServer site(settings);
//     const uint16_t port = site.start();  // connect to 127.0.0.1:port
//     ...
//     site.stop();                         // or let the destructor do it
class SiteServer {
public:
    // Raises SiteSettingsException for invalid settings.
    explicit SiteServer(SiteSettings settings);
    ~SiteServer();
    SiteServer(const SiteServer&) = delete;
    SiteServer& operator=(const SiteServer&) = delete;

    // Binds, listens and starts accepting; returns the port it listens on.
    // Raises SystemException when the address cannot be bound.
    uint16_t start();
    // Stops accepting, tells every client (FIN to logged-in ones) and closes
    // them, and waits for every connection thread; at most a few seconds.
    void stop();

    uint16_t port() const { return _port; }
    const SiteSettings& settings() const { return _settings; }
    // The recording served (anchored to the start time when asked to).
    const SyntheticRecording& recording() const { return *_recording; }
    // Seconds since start, by the settings' clock or the monotonic clock.
    int64_t elapsed() const;
    uint64_t connectionsAccepted() const { return _accepted.load(); }

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void acceptLoop();
    void acceptOne();
    // Joins the workers that have finished (all of them when `all`).
    void reap(bool all);

    SiteSettings _settings;
    std::unique_ptr<SyntheticRecording> _recording;
    UniqueFd _listener;
    UniqueFd _wake;
    uint16_t _port = 0;
    std::chrono::steady_clock::time_point _started;
    std::atomic<bool> _stopping{false};
    std::atomic<uint64_t> _accepted{0};
    std::thread _acceptThread;
    std::mutex _workersMutex;
    std::list<Worker> _workers;
};

} // namespace ostrel
