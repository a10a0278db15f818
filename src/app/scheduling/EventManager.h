#pragma once

#include "base/UniqueID.h"
#include "base/thread/Mutex.h"

#include <functional>
#include <optional>
#include <vector>

namespace ostrel {

class EventListener;
struct ArchivingEvent;

// Hands every archiving event to its listeners (the main view) and writes the
// matching system log entry for the event's site. Disabled until enable():
// events posted while disabled are dropped, neither heard nor logged.
class EventManager {
public:
    // The site identifier of a schedule handle, or none when no schedule has it.
    using OwnerLookup = std::function<std::optional<UniqueID>(int siteHandle)>;
    // Writes one error entry into the system log.
    using LogWriter = std::function<void(const UniqueID& owner, int code, const std::string& text)>;

    // The process-wide manager, created on first call. Its owners come from the
    // ArchivingScheduler and its entries go to the SystemLogger.
    static EventManager& instance();

    // A manager of one's own (tests): owners and log entries through the given
    // functions; an empty function means the process-wide default.
    explicit EventManager(OwnerLookup owners = nullptr, LogWriter writer = nullptr);
    EventManager(const EventManager&) = delete;
    EventManager& operator=(const EventManager&) = delete;

    void addListener(EventListener* listener);
    void removeListener(EventListener* listener);
    void enable();
    void disable();
    bool isEnabled() const;

    // Calls every listener in order (under the manager's lock), then, after
    // releasing it, logs the event: storage full, storage errors, connect
    // failures, internal exceptions and error disconnects are logged with their
    // code; speed changes and the normal disconnect are not. An event whose
    // schedule is gone is logged without an owner (the nil identifier).
    void post(const ArchivingEvent& event);

private:
    OwnerLookup _owners;
    LogWriter _writer;
    mutable Mutex _mutex;
    std::vector<EventListener*> _listeners;
    bool _enabled = false;
};

} // namespace ostrel
