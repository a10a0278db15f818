#pragma once

#include "ostrel-sitesim/RecordingDescription.h"
#include "ostrel-sitesim/SiteFaults.h"

#include <cstdint>
#include <functional>
#include <string>

namespace ostrel {

// Everything a simulated site is: where it listens, who may log in, what it
// has recorded and how it misbehaves.
struct SiteSettings {
    std::string listenAddress = "127.0.0.1";
    // 0: any free port (SiteServer::start tells which).
    uint16_t port = 0;
    std::string user = "admin";
    std::string password = "admin";
    // Sent as the RemoteSystemInfo name (at most 32 characters).
    std::string name = "Ostrel simulated site";
    // Sent in ProductInfo; the version says whether storages are supported.
    uint32_t modelCode = 301;
    std::string productName = "OSTREL-SIM";
    std::string version = "2.1";
    // Clients beyond this many at once get COMMON_MESSAGE_CHANNEL_FULL.
    int maxConnections = 16;
    RecordingDescription recording = RecordingDescription::defaults();
    SiteFaults faults;

    // Seconds since the site started, for recordings that change with the
    // wall clock; tests put a clock of their own here. Empty: the monotonic clock.
    std::function<int64_t()> clock;
    // One line per connection event (accepted, logged in, closed ...); empty: silent.
    std::function<void(const std::string&)> log;

    // Raises SiteSettingsException for settings that cannot describe a site.
    void validate() const;
};

} // namespace ostrel
