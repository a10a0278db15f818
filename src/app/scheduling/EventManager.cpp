#include "app/scheduling/EventManager.h"

#include "app/persistence/SystemLogger.h"
#include "app/scheduling/ArchivingEvent.h"
#include "app/scheduling/ArchivingScheduler.h"
#include "app/scheduling/EventListener.h"
#include "app/scheduling/LogCodes.h"

#include <algorithm>

namespace ostrel {

EventManager& EventManager::instance() {
    static EventManager manager;
    return manager;
}

EventManager::EventManager(OwnerLookup owners, LogWriter writer)
    : _owners(owners ? std::move(owners)
                     : OwnerLookup([](int handle) { return ArchivingScheduler::instance().siteIdOf(handle); })),
      _writer(writer ? std::move(writer) : LogWriter([](const UniqueID& owner, int code, const std::string& text) {
          SystemLogger::instance().error(owner, code, text);
      })) {}

void EventManager::addListener(EventListener* listener) {
    if (listener == nullptr) {
        return;
    }
    Mutex::ScopedLock lock(_mutex);
    _listeners.push_back(listener);
}

void EventManager::removeListener(EventListener* listener) {
    Mutex::ScopedLock lock(_mutex);
    _listeners.erase(std::remove(_listeners.begin(), _listeners.end(), listener), _listeners.end());
}

void EventManager::enable() {
    Mutex::ScopedLock lock(_mutex);
    _enabled = true;
}

void EventManager::disable() {
    Mutex::ScopedLock lock(_mutex);
    _enabled = false;
}

bool EventManager::isEnabled() const {
    Mutex::ScopedLock lock(_mutex);
    return _enabled;
}

void EventManager::post(const ArchivingEvent& event) {
    {
        Mutex::ScopedLock lock(_mutex);
        if (!_enabled) {
            return;
        }
        for (EventListener* listener : _listeners) {
            listener->onEvent(event);
        }
    }
    int code = 0;
    std::string text;
    switch (event.type) {
    case ArchivingEvent::StorageFull:
        code = logCodeOf(event);
        break;
    case ArchivingEvent::StorageIOError:
    case ArchivingEvent::ConnectFailed:
    case ArchivingEvent::InternalException:
    case ArchivingEvent::StorageBad:
        code = logCodeOf(event);
        text = event.text;
        break;
    case ArchivingEvent::Disconnected:
        code = isErrorReason(event.value) ? logCodeOfReason(event.value) : 0;
        break;
    case ArchivingEvent::StorageDamaged:
        // Logged as a bad storage, with what was taken out; the site is not
        // failed for it (its failure code stays 0).
        code = LogCode::RecordingStorageBad;
        text = event.text;
        break;
    default:
        break;
    }
    if (code == 0) {
        return;
    }
    // The owner is copied out of the scheduler's map under its lock; no lock
    // of the manager is held while the scheduler or the logger is asked.
    const std::optional<UniqueID> owner = _owners(event.siteHandle);
    _writer(owner.value_or(UniqueID::nil()), code, text);
}

} // namespace ostrel
