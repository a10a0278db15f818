#pragma once

#include "app/scheduling/ActionLoop.h"
#include "app/scheduling/ConnectionInfo.h"
#include "base/Clock.h"
#include "base/DateTime.h"
#include "base/UniqueID.h"
#include "base/thread/Mutex.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace ostrel {

class ArchivingSchedule;
class ScheduleListener;
class SiteStorage;

// The process-wide owner of every site's ArchivingSchedule. It hands out
// schedule handles (0, 1, 2, ... from setup on, never reused), runs every
// schedule's actor on one action loop thread and is the way the document and
// the dialogs reach a schedule.
//
// The map lock is held only to find or change an entry, never while a
// schedule is called, so a schedule's callbacks (which look their site up
// here when they post events) never wait for a caller that waits for them.
class ArchivingScheduler {
public:
    static ArchivingScheduler& instance();

    ArchivingScheduler();
    ~ArchivingScheduler();
    ArchivingScheduler(const ArchivingScheduler&) = delete;
    ArchivingScheduler& operator=(const ArchivingScheduler&) = delete;

    // Starts the network playback context (select and media dispatchers),
    // keeps the default listener of new schedules and the chunk length,
    // restarts the handle count at 0 and starts the action loop. Time comes
    // from `clock` (tests pass a clock they move).
    void setup(ScheduleListener* listener, int chunkSeconds, const Clock& clock = Clock::system());
    // Stops the action loop and the playback context, then tears every
    // schedule down (each stores its resume position and closes its storage)
    // and deletes it.
    void shutdown();
    bool isSetUp() const;

    // A new schedule in PhaseIdle with its actor on the loop; it does nothing
    // until told. Open its storage with schedule(handle)->siteStorage().open(path).
    int createSchedule(const UniqueID& siteId, const std::string& address, uint16_t port, const std::string& user,
                       const std::string& password, bool overwrite);
    int createSchedule(const UniqueID& siteId, const ConnectionInfo& connection, bool overwrite);
    // Takes the schedule's actor off the loop, tears it down and deletes it.
    void deleteSchedule(int handle);
    // The schedule, or null when the handle is unknown.
    ArchivingSchedule* schedule(int handle) const;
    // The site identifier of a schedule, or none when the handle is unknown.
    std::optional<UniqueID> siteIdOf(int handle) const;

    // Forwarded to the schedule (nothing for an unknown handle).
    void startFromTime(int handle, const DateTime& time);
    void startFromFirst(int handle);
    void startFromLast(int handle);
    void resume(int handle);
    void updateConnection(int handle, const ConnectionInfo& connection);
    void stop(int handle);
    void setOverwrite(int handle, bool overwrite);

    // The schedule's storage, or null for an unknown handle.
    SiteStorage* siteStorage(int handle) const;
    // Byte totals of the schedule's storage; 0 for an unknown handle.
    uint64_t storageCapacity(int handle) const;
    uint64_t storageUsed(int handle) const;
    // Storage files listed in every schedule's group file.
    int totalStorageCount() const;
    int chunkSeconds() const;

private:
    std::unique_ptr<ActionLoop> _loop;
    mutable Mutex _mapMutex;
    int _handleCounter = 0;
    ScheduleListener* _listener = nullptr;
    int _chunkSeconds = 1800;
    const Clock* _clock = &Clock::system();
    bool _setUp = false;
    std::map<int, std::unique_ptr<ArchivingSchedule>> _schedules;
};

} // namespace ostrel
