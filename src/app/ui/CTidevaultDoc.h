#pragma once

#include "app/scheduling/ActionLoop.h"
#include "app/ui/Message.h"
#include "app/ui/ScheduledArchive.h"
#include "base/Clock.h"
#include "base/DateTime.h"
#include "base/Time.h"
#include "base/UniqueID.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostrel {

class ArchivingScheduler;
class CSiteListView;
class ControllerThread;
class DialogController;
class DialogHost;
class ProgressDialog;
class RecordSite;
class ScheduleListener;
class SiteContainer;
class SystemLogger;
struct ConnectionInfo;

// What the schedule wizard hands the document for a new site.
struct NewScheduleRequest {
    UniqueID siteId;
    std::string name;
    std::string address;
    uint16_t port = 0;
    std::string user;
    std::string password;
    int archiveFrom = 1; // 1 first, 2 last, 3 from `timeToStart`
    DateTime timeToStart;
    bool overwrite = true;
    bool alwaysArchive = true;
    Time dailyStart{0, 0, 0};
    Time dailyStop{23, 59, 59};
    std::string groupFilePath;
    std::vector<std::string> storagePaths; // to create; empty: the group gets none
    uint64_t storageSize = 0;              // bytes per storage file
};

// What building a new site's storage group files gave (CTidevaultDoc::buildStorageGroup).
struct StorageGroupBuild {
    bool created = false;                 // the group file was written
    std::vector<std::string> failedPaths; // storage files that could not be made ("Cannot create %s.")
    bool error = false;                   // a storage file failed or existed already
    bool leftOver = false;                // paths were left out (the storage limit, or stopped)
};

// The document: every user command on sites and schedules, the per-site
// ScheduledArchive actors and the GlobalCommand on the document's own action
// loop. All operations run on the controller thread (the loop's actors only
// post messages to it); the loader thread of start-up is the one exception,
// and it runs before any command is accepted.
class CTidevaultDoc {
public:
    CTidevaultDoc(ControllerThread& controller, DialogHost& dialogs, ArchivingScheduler& scheduler,
                  SiteContainer& sites, SystemLogger& logger, const Clock& clock = Clock::system());
    ~CTidevaultDoc();
    CTidevaultDoc(const CTidevaultDoc&) = delete;
    CTidevaultDoc& operator=(const CTidevaultDoc&) = delete;

    void setView(CSiteListView* view) { _view = view; }
    CSiteListView* view() const { return _view; }
    void setStoragesFolder(const std::string& folder) { _storagesFolder = folder; }
    const std::string& storagesFolder() const { return _storagesFolder; }

    // ---- start-up and shut-down ----
    void startLoop();
    void stopLoop();
    // Once per run: creates every active site's schedule and opens its storage
    // on a loader thread under the "Loading..." progress dialog; the view gets
    // message 1033 when it is done.
    void loadSchedules();
    bool schedulesLoaded() const { return _loaded; }
    // The view got message 1033: commands are accepted from now on.
    void loadingFinished() {
        _loaded = true;
        _loading = false;
    }
    bool isLoading() const { return _loading; }
    // Waits for the loader thread (shut-down while loading).
    void joinLoader();
    // The progress dialog's messages 1039 to 1041.
    void onProgressMessage(const Message& message);

    // ---- per-site actors ----
    void addScheduledArchive(int handle);
    void removeScheduledArchive(int handle);
    void cancelRestart(int handle);
    bool hasScheduledArchive(int handle) const;
    // The restart delay's next value and whether a restart is pending (tests).
    int32_t nextRestartDelay(int handle);
    int32_t pendingCommand(int handle) const;
    bool restartAfterStop(int handle) const;

    // ---- commands on one site ----
    void start(int handle, bool byUser);
    void stop(int handle);
    void reschedule(int handle, int choice, const DateTime& time);
    void updateSiteAndReschedule(int handle, const ConnectionInfo& connection, int choice, const DateTime& time);
    void updateSite(int handle, const ConnectionInfo& connection);
    void rename(int handle, const std::string& name);
    void setOverwrite(int handle, bool overwrite);
    void setPeriod(int handle, const Time& start, const Time& stop);
    void setAlways(int handle);
    void deleteSchedule(int handle, bool deleteFiles);

    // ---- new schedule ----
    // Creates the schedule, its storage group and the site, adds its row and
    // starts it when it is in its period. Returns the handle, -1 on failure
    // (after telling the user).
    int newSchedule(const NewScheduleRequest& request);
    bool createStorageGroup(int handle, const UniqueID& siteId, const std::string& groupFilePath,
                            const std::vector<std::string>& storagePaths, uint64_t storageSize);
    // newSchedule in three steps, for a caller that makes the storage files on
    // a thread of its own and shows their progress (the schedule wizard):
    // beginNewSchedule (the schedule; -1 after telling the user), then the
    // storageGroupJob run on any thread, then finishNewSchedule with its
    // result (the site, its row, its start; -1 after telling the user).
    using BuildProgress = std::function<bool(int index, int count, const std::string& path)>;
    using StorageGroupJob = std::function<StorageGroupBuild(const BuildProgress& progress)>;
    int beginNewSchedule(const NewScheduleRequest& request);
    // Judged now, on the controller thread: whether the group file may be
    // replaced (a job that builds nothing when not) and the storages of the
    // other sites. finishNewSchedule opens the group.
    StorageGroupJob storageGroupJob(const NewScheduleRequest& request);
    int finishNewSchedule(int handle, const NewScheduleRequest& request, const StorageGroupBuild& build);
    // Whether the group file at the path may be replaced by a new group of
    // `siteId`: not when an active site other than `siteId` keeps its storage
    // group there, or the file names such a site as its repository.
    bool mayReplaceGroupFile(const std::string& groupFilePath, const UniqueID& siteId) const;
    // Writes a new group file for `siteId` (replacing one that is there) and
    // creates, formats and lists each storage file, `existingStorages` counting
    // towards the limit of 1000. A path where a file exists already is never
    // listed: that file is not this group's. `progress` (may be empty) hears
    // (index, count, path) before each file and stops the build when it
    // answers false. Touches nothing of the document: safe on any thread.
    static StorageGroupBuild buildStorageGroup(const UniqueID& siteId, const std::string& groupFilePath,
                                               const std::vector<std::string>& storagePaths, uint64_t storageSize,
                                               int existingStorages, const BuildProgress& progress = {});
    // Deletes the storage files listed in the group file that belong to the
    // site `siteId` (their superblock names its repository), then the group file.
    void deleteStorageFiles(const std::string& groupFilePath, const UniqueID& siteId);

    // ---- reports from the view ----
    void onArchivingEnded(int handle, bool stoppedNormally);
    // Every stop report (1053), whatever the site's status: the schedule has finished.
    void onScheduleFinished(int handle);
    // Whether a stop was asked for the schedule and has not finished yet.
    bool isStopPending(int handle) const;

    // ---- user-interface commands ----
    // Runs a command identifier for the row `selected` (-1: none).
    void onCommand(int command, int selected);
    void requestStartAll();
    void requestStopAll();
    // The storage manager for the site `handle` (-1: none chosen yet), hearing
    // the schedule reports of `relay` (the view when null) while it is open;
    // `closed` runs once it has closed.
    void openStorageManager(int handle, ScheduleListener* relay = nullptr, std::function<void()> closed = {});
    // The delete command: asks, then deletes (or refuses for an archiving site).
    void confirmDelete(int handle);

    void postToViews(const Message& message);
    void sendToViews(const Message& message);

private:
    ScheduledArchive* scheduledArchive(int handle) const;
    // The connection of `handle` and what `change` sets besides, saved; an
    // archiving site restarts with them once its stop is reported.
    void changeConnection(int handle, const ConnectionInfo& connection,
                          const std::function<void(RecordSite&)>& change);
    void saveAndRefresh(int handle);
    void performGlobal(int command);
    void loaderWork();
    void startNow(int handle, bool byUser);
    bool startsNow(int handle) const;
    // Tells the user what went wrong in the build and opens the schedule's
    // group; false when there is no group file.
    bool reportStorageGroup(int handle, const std::string& groupFilePath, const StorageGroupBuild& build);

    ControllerThread& _controller;
    DialogHost& _dialogs;
    ArchivingScheduler& _scheduler;
    SiteContainer& _sites;
    SystemLogger& _logger;
    const Clock& _clock;
    CSiteListView* _view = nullptr;
    std::string _storagesFolder;

    bool _loaded = false;
    bool _loading = false;
    std::thread _loader;
    std::shared_ptr<ProgressDialog> _progress;
    std::mutex _progressMutex;
    std::string _progressText;

    mutable std::recursive_mutex _restartMutex;
    std::vector<std::unique_ptr<ScheduledArchive>> _archives;
    std::unique_ptr<GlobalCommand> _global;
    ActionLoop _loop;
    bool _loopRunning = false;

    // Schedules asked to stop that have not reported the end of the stop yet,
    // and the starts that wait for it.
    std::map<int, DateTime> _stopPending;
    std::map<int, bool> _startAfterStop;

    // The schedule wizard while it is open.
    std::weak_ptr<DialogController> _wizard;
};

} // namespace ostrel
