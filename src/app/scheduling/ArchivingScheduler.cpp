#include "app/scheduling/ArchivingScheduler.h"

#include "app/scheduling/ArchivingSchedule.h"
#include "base/Trace.h"
#include "network/client/NetworkPlaybackContext.h"
#include "network/client/PlaybackClient.h"

#include <vector>

namespace ostrel {

ArchivingScheduler& ArchivingScheduler::instance() {
    static ArchivingScheduler scheduler;
    return scheduler;
}

ArchivingScheduler::ArchivingScheduler() = default;

ArchivingScheduler::~ArchivingScheduler() { shutdown(); }

void ArchivingScheduler::setup(ScheduleListener* listener, int chunkSeconds, const Clock& clock) {
    // The select and media dispatchers start with the process-wide context.
    NetworkPlaybackContext::instance();
    {
        Mutex::ScopedLock lock(_mapMutex);
        _listener = listener;
        _chunkSeconds = chunkSeconds;
        _clock = &clock;
        _handleCounter = 0;
        if (!_loop) {
            _loop = std::make_unique<ActionLoop>();
        }
        _setUp = true;
    }
    _loop->start();
}

void ArchivingScheduler::shutdown() {
    std::map<int, std::unique_ptr<ArchivingSchedule>> schedules;
    std::unique_ptr<ActionLoop> loop;
    {
        Mutex::ScopedLock lock(_mapMutex);
        loop = std::move(_loop);
        schedules.swap(_schedules);
        _setUp = false;
    }
    if (loop) {
        loop->stop();
    }
    if (!schedules.empty() || loop) {
        NetworkPlaybackContext::shutdown();
    }
    for (auto& [handle, schedule] : schedules) {
        schedule->teardown();
    }
    schedules.clear();
}

bool ArchivingScheduler::isSetUp() const {
    Mutex::ScopedLock lock(_mapMutex);
    return _setUp;
}

int ArchivingScheduler::createSchedule(const UniqueID& siteId, const std::string& address, uint16_t port,
                                       const std::string& user, const std::string& password, bool overwrite) {
    return createSchedule(siteId, ConnectionInfo{address, port, user, password}, overwrite);
}

int ArchivingScheduler::createSchedule(const UniqueID& siteId, const ConnectionInfo& connection, bool overwrite) {
    int handle = 0;
    ScheduleListener* listener = nullptr;
    int chunkSeconds = 0;
    const Clock* clock = nullptr;
    {
        Mutex::ScopedLock lock(_mapMutex);
        handle = _handleCounter++;
        listener = _listener;
        chunkSeconds = _chunkSeconds;
        clock = _clock;
    }
    auto schedule = std::make_unique<ArchivingSchedule>(handle, siteId, connection, chunkSeconds, *clock);
    schedule->initialise(listener, PlaybackClient::ArchivingQueueSize);
    schedule->setOverwrite(overwrite);
    ArchivingSchedule& added = *schedule;
    ActionLoop* loop = nullptr;
    {
        Mutex::ScopedLock lock(_mapMutex);
        _schedules.emplace(handle, std::move(schedule));
        loop = _loop.get();
    }
    // Not under the map lock: adding waits for the loop's pass, whose steps
    // may wait for a schedule whose callback is looking a site up here.
    if (loop != nullptr) {
        loop->add(added);
    }
    return handle;
}

void ArchivingScheduler::deleteSchedule(int handle) {
    std::unique_ptr<ArchivingSchedule> schedule;
    {
        Mutex::ScopedLock lock(_mapMutex);
        const auto it = _schedules.find(handle);
        if (it == _schedules.end()) {
            return;
        }
        schedule = std::move(it->second);
        _schedules.erase(it);
    }
    // Off the loop first (waiting for a step in progress), so no command of
    // the schedule runs while or after it is torn down.
    ActionLoop* loop = nullptr;
    {
        Mutex::ScopedLock lock(_mapMutex);
        loop = _loop.get();
    }
    if (loop != nullptr) {
        loop->remove(*schedule);
    }
    schedule->teardown();
}

ArchivingSchedule* ArchivingScheduler::schedule(int handle) const {
    Mutex::ScopedLock lock(_mapMutex);
    const auto it = _schedules.find(handle);
    return it == _schedules.end() ? nullptr : it->second.get();
}

std::optional<UniqueID> ArchivingScheduler::siteIdOf(int handle) const {
    Mutex::ScopedLock lock(_mapMutex);
    const auto it = _schedules.find(handle);
    if (it == _schedules.end()) {
        return std::nullopt;
    }
    return it->second->siteId();
}

void ArchivingScheduler::startFromTime(int handle, const DateTime& time) {
    if (ArchivingSchedule* s = schedule(handle)) s->startFromTime(time);
}
void ArchivingScheduler::startFromFirst(int handle) {
    if (ArchivingSchedule* s = schedule(handle)) s->startFromFirst();
}
void ArchivingScheduler::startFromLast(int handle) {
    if (ArchivingSchedule* s = schedule(handle)) s->startFromLast();
}
void ArchivingScheduler::resume(int handle) {
    if (ArchivingSchedule* s = schedule(handle)) s->resume();
}
void ArchivingScheduler::updateConnection(int handle, const ConnectionInfo& connection) {
    if (ArchivingSchedule* s = schedule(handle)) s->updateConnection(connection);
}
void ArchivingScheduler::stop(int handle) {
    if (ArchivingSchedule* s = schedule(handle)) s->stopSchedule();
}
void ArchivingScheduler::setOverwrite(int handle, bool overwrite) {
    if (ArchivingSchedule* s = schedule(handle)) s->setOverwrite(overwrite);
}

SiteStorage* ArchivingScheduler::siteStorage(int handle) const {
    ArchivingSchedule* s = schedule(handle);
    return s != nullptr ? &s->siteStorage() : nullptr;
}

uint64_t ArchivingScheduler::storageCapacity(int handle) const {
    SiteStorage* storage = siteStorage(handle);
    return storage != nullptr ? storage->capacityBytes() : 0;
}

uint64_t ArchivingScheduler::storageUsed(int handle) const {
    SiteStorage* storage = siteStorage(handle);
    return storage != nullptr ? storage->usedBytes() : 0;
}

int ArchivingScheduler::totalStorageCount() const {
    std::vector<ArchivingSchedule*> all;
    {
        Mutex::ScopedLock lock(_mapMutex);
        for (const auto& [handle, schedule] : _schedules) {
            all.push_back(schedule.get());
        }
    }
    int total = 0;
    for (ArchivingSchedule* schedule : all) {
        total += schedule->siteStorage().storageCount();
    }
    return total;
}

int ArchivingScheduler::chunkSeconds() const {
    Mutex::ScopedLock lock(_mapMutex);
    return _chunkSeconds;
}

} // namespace ostrel
