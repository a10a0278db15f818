#include "app/ui/CTidevaultDoc.h"

#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteContainer.h"
#include "app/persistence/SiteStorage.h"
#include "app/persistence/StorageGroupFile.h"
#include "app/persistence/SystemLogger.h"
#include "app/scheduling/ArchivingSchedule.h"
#include "app/scheduling/ArchivingScheduler.h"
#include "app/scheduling/ConnectionInfo.h"
#include "app/scheduling/LogCodes.h"
#include "app/ui/CLogDialog.h"
#include "app/ui/CScheduleInfoSheet.h"
#include "app/ui/CScheduleWizard.h"
#include "app/ui/CScheduleWizardWorker.h"
#include "app/ui/CSiteListView.h"
#include "app/ui/CStorageGroupManagerDialog.h"
#include "app/ui/ControllerThread.h"
#include "app/ui/DialogHost.h"
#include "app/ui/MenuDialog.h"
#include "base/Exception.h"
#include "base/File.h"
#include "base/Trace.h"
#include "storage/FixedSizeFileStorage.h"

#include <algorithm>
#include <filesystem>
#include <sys/stat.h>

namespace ostrel {

namespace {
// A stop that has not reported its end after this long no longer holds back a start.
constexpr int StopPendingLimitSeconds = 15;
constexpr int MaximumStorages = 1000;
} // namespace

CTidevaultDoc::CTidevaultDoc(ControllerThread& controller, DialogHost& dialogs, ArchivingScheduler& scheduler,
                             SiteContainer& sites, SystemLogger& logger, const Clock& clock)
    : _controller(controller), _dialogs(dialogs), _scheduler(scheduler), _sites(sites), _logger(logger),
      _clock(clock) {
    _global = std::make_unique<GlobalCommand>([this](int command) { performGlobal(command); }, clock);
}

CTidevaultDoc::~CTidevaultDoc() {
    joinLoader();
    stopLoop();
    // A schedule wizard's thread may still be letting its site go.
    CScheduleWizardWorker::waitForAll(std::chrono::seconds(10));
}

// ---- start-up and shut-down ---------------------------------------------------------------

void CTidevaultDoc::startLoop() {
    _loop.add(*_global);
    _loop.start();
    _loopRunning = true;
}

void CTidevaultDoc::stopLoop() {
    if (_loopRunning) {
        _loop.stop();
        _loopRunning = false;
    }
    std::lock_guard<std::recursive_mutex> lock(_restartMutex);
    _archives.clear();
}

void CTidevaultDoc::loadSchedules() {
    if (_loaded || _loading) {
        return;
    }
    _loading = true;
    _progress = std::make_shared<ProgressDialog>("Loading...");
    _dialogs.open(_progress);
    _loader = std::thread([this] { loaderWork(); });
}

void CTidevaultDoc::joinLoader() {
    if (_loader.joinable()) {
        _loader.join();
    }
}

void CTidevaultDoc::loaderWork() {
    pthread_setname_np(pthread_self(), "LoadSchedule");
    const std::vector<RecordSite*> sites = _sites.sites(false);
    const int n = static_cast<int>(sites.size());
    int i = 0;
    for (RecordSite* site : sites) {
        ++i;
        {
            std::lock_guard<std::mutex> lock(_progressMutex);
            _progressText = site->name();
        }
        _controller.post(Message{Msg::ProgressText, 0, 0});
        _controller.post(Message{Msg::ProgressPosition, i, n});
        try {
            const int handle = _scheduler.createSchedule(site->id(), site->address(), site->port(), site->username(),
                                                         site->password(), site->overwrite());
            if (handle < 0) {
                continue;
            }
            ArchivingSchedule* schedule = _scheduler.schedule(handle);
            site->setSchedule(schedule, handle);
            SiteStorage* storage = _scheduler.siteStorage(handle);
            if (storage && storage->open(site->storageGroupFile())) {
                site->setStorageUsage(_scheduler.storageUsed(handle), _scheduler.storageCapacity(handle));
                const ResumeRecord position = schedule->resumePosition();
                if (position.isValid()) {
                    site->setLastArchivedTime(position.time);
                }
            }
            site->setArchiving(false);
            _sites.save(handle);
        } catch (const Exception& e) {
            traceException(e);
        }
    }
    _controller.post(Message{Msg::LoadingFinished, 0, 0});
    _controller.post(Message{Msg::ProgressFinished, 0, 0});
}

void CTidevaultDoc::onProgressMessage(const Message& message) {
    switch (message.id) {
    case Msg::ProgressText: {
        std::string text;
        {
            std::lock_guard<std::mutex> lock(_progressMutex);
            text = _progressText;
        }
        if (_progress) {
            _progress->setText(text);
        }
        break;
    }
    case Msg::ProgressPosition:
        if (_progress) {
            _progress->setPosition(static_cast<int>(message.wParam), static_cast<int>(message.lParam));
        }
        break;
    case Msg::ProgressFinished:
        if (_progress) {
            _progress->finish();
            _progress.reset();
        }
        joinLoader();
        break;
    default:
        break;
    }
}

// ---- per-site actors ------------------------------------------------------------------------

ScheduledArchive* CTidevaultDoc::scheduledArchive(int handle) const {
    for (const auto& archive : _archives) {
        if (archive->handle() == handle) {
            return archive.get();
        }
    }
    return nullptr;
}

void CTidevaultDoc::addScheduledArchive(int handle) {
    std::lock_guard<std::recursive_mutex> lock(_restartMutex);
    if (scheduledArchive(handle)) {
        return;
    }
    auto archive = std::make_unique<ScheduledArchive>(
        handle, [this](const Message& message) { _controller.post(message); }, _clock);
    if (RecordSite* site = _sites.findByHandle(handle); site && !site->alwaysArchive()) {
        archive->addDaily(ScheduledArchive::DailyStart, site->archiveStart());
        archive->addDaily(ScheduledArchive::DailyStop, site->archiveStop());
    }
    _loop.add(*archive);
    _archives.push_back(std::move(archive));
}

void CTidevaultDoc::removeScheduledArchive(int handle) {
    std::lock_guard<std::recursive_mutex> lock(_restartMutex);
    auto it = std::find_if(_archives.begin(), _archives.end(), [&](const auto& a) { return a->handle() == handle; });
    if (it != _archives.end()) {
        _loop.remove(**it);
        _archives.erase(it);
    }
}

void CTidevaultDoc::cancelRestart(int handle) {
    std::lock_guard<std::recursive_mutex> lock(_restartMutex);
    if (ScheduledArchive* archive = scheduledArchive(handle)) {
        archive->cancel();
        archive->restartDelay().reset();
    }
}

bool CTidevaultDoc::hasScheduledArchive(int handle) const {
    std::lock_guard<std::recursive_mutex> lock(_restartMutex);
    return scheduledArchive(handle) != nullptr;
}

int32_t CTidevaultDoc::nextRestartDelay(int handle) {
    std::lock_guard<std::recursive_mutex> lock(_restartMutex);
    ScheduledArchive* archive = scheduledArchive(handle);
    return archive ? archive->restartDelay().next() : -1;
}

int32_t CTidevaultDoc::pendingCommand(int handle) const {
    std::lock_guard<std::recursive_mutex> lock(_restartMutex);
    ScheduledArchive* archive = scheduledArchive(handle);
    return archive ? archive->pendingCommand() : Actor::NoCommand;
}

bool CTidevaultDoc::restartAfterStop(int handle) const {
    std::lock_guard<std::recursive_mutex> lock(_restartMutex);
    ScheduledArchive* archive = scheduledArchive(handle);
    return archive && archive->restartAfterStop();
}

// ---- commands on one site ----------------------------------------------------------------------

bool CTidevaultDoc::isStopPending(int handle) const {
    auto it = _stopPending.find(handle);
    if (it == _stopPending.end()) {
        return false;
    }
    return DateTime::secondsBetween(_clock.now(), it->second) < StopPendingLimitSeconds;
}

void CTidevaultDoc::start(int handle, bool byUser) {
    RecordSite* site = _sites.findByHandle(handle);
    if (!site || !site->isArchivable() || site->archiving()) {
        return;
    }
    if (isStopPending(handle)) {
        // The schedule is still finishing its last stop: a start now would
        // replace the pending finish. It starts when the stop has completed.
        _startAfterStop[handle] = _startAfterStop[handle] || byUser;
        return;
    }
    startNow(handle, byUser);
}

void CTidevaultDoc::startNow(int handle, bool byUser) {
    RecordSite* site = _sites.findByHandle(handle);
    if (!site) {
        return;
    }
    site->setArchiving(true);
    _sites.save(handle);
    if (!site->isArchivable()) {
        return; // the save found the storage gone
    }
    if (byUser) {
        std::lock_guard<std::recursive_mutex> lock(_restartMutex);
        if (ScheduledArchive* archive = scheduledArchive(handle)) {
            archive->restartDelay().reset();
        }
    }
    if (!site->rescheduled()) {
        _scheduler.resume(handle);
    } else {
        switch (site->archiveFrom()) {
        case RecordSite::ArchiveFromTime:
            _scheduler.startFromTime(handle, site->timeToStart());
            break;
        case RecordSite::ArchiveFromFirst:
            _scheduler.startFromFirst(handle);
            break;
        default:
            _scheduler.startFromLast(handle);
            break;
        }
    }
    _logger.log(site->id(), LogCode::StartArchiving);
}

void CTidevaultDoc::stop(int handle) {
    RecordSite* site = _sites.findByHandle(handle);
    if (!site) {
        return;
    }
    site->setArchiving(false);
    _sites.save(handle);
    cancelRestart(handle);
    _startAfterStop.erase(handle);
    _stopPending[handle] = _clock.now();
    _scheduler.stop(handle);
}

void CTidevaultDoc::reschedule(int handle, int choice, const DateTime& time) {
    RecordSite* site = _sites.findByHandle(handle);
    if (!site) {
        return;
    }
    site->setRescheduled(true);
    site->setArchiveFrom(choice, time);
    saveAndRefresh(handle);
    if (site->archiving()) {
        switch (choice) {
        case RecordSite::ArchiveFromFirst:
            _scheduler.startFromFirst(handle);
            break;
        case RecordSite::ArchiveFromLast:
            _scheduler.startFromLast(handle);
            break;
        case RecordSite::ArchiveFromTime:
            _scheduler.startFromTime(handle, time);
            break;
        default:
            break;
        }
    }
}

void CTidevaultDoc::updateSiteAndReschedule(int handle, const ConnectionInfo& connection, int choice,
                                            const DateTime& time) {
    changeConnection(handle, connection, [choice, &time](RecordSite& site) {
        site.setRescheduled(true);
        site.setArchiveFrom(choice, time);
    });
}

void CTidevaultDoc::updateSite(int handle, const ConnectionInfo& connection) {
    changeConnection(handle, connection, [](RecordSite&) {});
}

void CTidevaultDoc::changeConnection(int handle, const ConnectionInfo& connection,
                                     const std::function<void(RecordSite&)>& change) {
    RecordSite* site = _sites.findByHandle(handle);
    if (!site) {
        return;
    }
    // The schedule keeps its connection while it runs: it stops, takes the
    // new one and starts again once its stop has been reported.
    const bool wasArchiving = site->archiving();
    if (wasArchiving) {
        stop(handle);
    }
    site->setConnection(connection.address, connection.port, connection.user, connection.password);
    change(*site);
    saveAndRefresh(handle);
    _scheduler.updateConnection(handle, connection);
    if (wasArchiving) {
        std::lock_guard<std::recursive_mutex> lock(_restartMutex);
        if (ScheduledArchive* archive = scheduledArchive(handle)) {
            archive->setRestartAfterStop(true);
        }
    }
}

void CTidevaultDoc::saveAndRefresh(int handle) {
    _sites.save(handle);
    if (_view) {
        _view->refreshRow(handle, false);
    }
}

void CTidevaultDoc::rename(int handle, const std::string& name) {
    RecordSite* site = _sites.findByHandle(handle);
    if (!site) {
        return;
    }
    site->setName(name);
    saveAndRefresh(handle);
}

void CTidevaultDoc::setOverwrite(int handle, bool overwrite) {
    RecordSite* site = _sites.findByHandle(handle);
    if (!site) {
        return;
    }
    site->setOverwrite(overwrite);
    saveAndRefresh(handle);
    _logger.log(site->id(), overwrite ? LogCode::OverwriteEnabled : LogCode::OverwriteDisabled);
    _scheduler.setOverwrite(handle, overwrite);
}

void CTidevaultDoc::setPeriod(int handle, const Time& start, const Time& stop) {
    RecordSite* site = _sites.findByHandle(handle);
    if (!site) {
        return;
    }
    site->setAlwaysArchive(false);
    site->setArchivePeriod(start, stop);
    _sites.save(handle);
    std::lock_guard<std::recursive_mutex> lock(_restartMutex);
    if (ScheduledArchive* archive = scheduledArchive(handle)) {
        archive->clearDaily();
        archive->addDaily(ScheduledArchive::DailyStart, start);
        archive->addDaily(ScheduledArchive::DailyStop, stop);
    }
}

void CTidevaultDoc::setAlways(int handle) {
    RecordSite* site = _sites.findByHandle(handle);
    if (!site) {
        return;
    }
    site->setAlwaysArchive(true);
    _sites.save(handle);
    std::lock_guard<std::recursive_mutex> lock(_restartMutex);
    if (ScheduledArchive* archive = scheduledArchive(handle)) {
        archive->clearDaily();
    }
}

void CTidevaultDoc::deleteSchedule(int handle, bool deleteFiles) {
    RecordSite* site = _sites.findByHandle(handle);
    if (!site) {
        return;
    }
    const std::string groupFile = site->storageGroupFile();
    const UniqueID siteId = site->id();
    removeScheduledArchive(handle);
    _scheduler.deleteSchedule(handle);
    _sites.removeByHandle(handle);
    _stopPending.erase(handle);
    _startAfterStop.erase(handle);
    if (deleteFiles) {
        deleteStorageFiles(groupFile, siteId);
    }
}

// ---- new schedule ---------------------------------------------------------------------------------

bool CTidevaultDoc::startsNow(int handle) const {
    RecordSite* site = _sites.findByHandle(handle);
    if (!site || !site->isArchivable()) {
        return false;
    }
    if (site->alwaysArchive()) {
        return true;
    }
    // Within one day: a period across midnight starts at its next daily start.
    const Time now = _clock.now().time();
    return !(now < site->archiveStart()) && now < site->archiveStop();
}

int CTidevaultDoc::newSchedule(const NewScheduleRequest& request) {
    const int handle = beginNewSchedule(request);
    if (handle < 0) {
        return -1;
    }
    return finishNewSchedule(handle, request, storageGroupJob(request)({}));
}

CTidevaultDoc::StorageGroupJob CTidevaultDoc::storageGroupJob(const NewScheduleRequest& request) {
    if (!mayReplaceGroupFile(request.groupFilePath, request.siteId)) {
        trace("CTidevaultDoc::storageGroupJob : %s belongs to another site", request.groupFilePath.c_str());
        return [](const BuildProgress&) { return StorageGroupBuild(); };
    }
    const int existing = _scheduler.totalStorageCount();
    return [request, existing](const BuildProgress& progress) {
        return buildStorageGroup(request.siteId, request.groupFilePath, request.storagePaths, request.storageSize,
                                 existing, progress);
    };
}

int CTidevaultDoc::beginNewSchedule(const NewScheduleRequest& request) {
    if (_sites.isFull()) {
        // Said before any storage file is made for a site that could not be kept.
        _dialogs.messageBox(SiteContainer::FullText, MessageIcon::Error);
        return -1;
    }
    const int handle = _scheduler.createSchedule(request.siteId, request.address, request.port, request.user,
                                                 request.password, false);
    if (handle < 0) {
        _dialogs.messageBox("Cannot create new schedule", MessageIcon::Error);
        return -1;
    }
    return handle;
}

int CTidevaultDoc::finishNewSchedule(int handle, const NewScheduleRequest& request, const StorageGroupBuild& build) {
    if (!reportStorageGroup(handle, request.groupFilePath, build)) {
        // Nothing may keep a schedule whose storage group does not exist.
        _scheduler.deleteSchedule(handle);
        _dialogs.messageBox("Cannot create storage group", MessageIcon::Error);
        return -1;
    }
    RecordSite site(request.siteId);
    site.setName(request.name);
    site.setConnection(request.address, request.port, request.user, request.password);
    site.setStorageGroupFile(request.groupFilePath);
    site.setStorageUsage(_scheduler.storageUsed(handle), _scheduler.storageCapacity(handle));
    site.setOverwrite(request.overwrite);
    _scheduler.setOverwrite(handle, request.overwrite);
    site.setRescheduled(true);
    site.setArchiveFrom(request.archiveFrom, request.timeToStart);
    site.setAlwaysArchive(request.alwaysArchive);
    if (!request.alwaysArchive) {
        site.setArchivePeriod(request.dailyStart, request.dailyStop);
    }
    site.setSchedule(_scheduler.schedule(handle), handle);
    site.checkArchivable();
    if (!_sites.add(site)) {
        // The sites table is full: the new site cannot be kept, so neither is its schedule.
        _scheduler.deleteSchedule(handle);
        deleteStorageFiles(request.groupFilePath, request.siteId);
        _dialogs.messageBox(SiteContainer::FullText, MessageIcon::Error);
        return -1;
    }
    sendToViews(Message{Msg::UpdateRow, handle, 1});
    addScheduledArchive(handle);
    _logger.log(request.siteId, LogCode::ScheduleAdded);
    if (startsNow(handle)) {
        start(handle, true);
    }
    return handle;
}

namespace {
// Whether two paths name the same file: the same inode when both exist, else the same text.
bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0) {
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }
    return std::filesystem::path(a).lexically_normal() == std::filesystem::path(b).lexically_normal();
}
} // namespace

bool CTidevaultDoc::mayReplaceGroupFile(const std::string& groupFilePath, const UniqueID& siteId) const {
    // Site names need not be unique, so a new site's proposed group file may be
    // another site's: replacing it would take that site's storages from it.
    for (const RecordSite* site : _sites.sites(false)) {
        if (site->id() != siteId && sameFile(site->storageGroupFile(), groupFilePath)) {
            return false;
        }
    }
    try {
        if (!File::exists(groupFilePath)) {
            return true;
        }
        StorageGroupFile file;
        if (!file.load(groupFilePath)) {
            return true; // not a storage group file: nobody's group
        }
        const UniqueID owner = file.repositoryID();
        file.close();
        if (owner == siteId) {
            return true;
        }
        const RecordSite* site = _sites.findById(owner);
        return site == nullptr || site->deleted();
    } catch (const Exception& e) {
        traceException(e);
        return false;
    }
}

bool CTidevaultDoc::createStorageGroup(int handle, const UniqueID& siteId, const std::string& groupFilePath,
                                       const std::vector<std::string>& storagePaths, uint64_t storageSize) {
    if (!mayReplaceGroupFile(groupFilePath, siteId)) {
        trace("CTidevaultDoc::createStorageGroup : %s belongs to another site", groupFilePath.c_str());
        return false;
    }
    return reportStorageGroup(
        handle, groupFilePath,
        buildStorageGroup(siteId, groupFilePath, storagePaths, storageSize, _scheduler.totalStorageCount()));
}

bool CTidevaultDoc::reportStorageGroup(int handle, const std::string& groupFilePath, const StorageGroupBuild& build) {
    if (!build.created) {
        return false;
    }
    for (const std::string& path : build.failedPaths) {
        _dialogs.messageBox("Cannot create " + path + ".", MessageIcon::Error);
    }
    if (build.leftOver || build.error) {
        _dialogs.messageBox("Some storage files cannot be created properly. Please check the storages created on "
                            "Storage Manager.",
                            MessageIcon::Warning);
    }
    if (SiteStorage* storage = _scheduler.siteStorage(handle)) {
        storage->open(groupFilePath);
    }
    return true;
}

StorageGroupBuild CTidevaultDoc::buildStorageGroup(const UniqueID& siteId, const std::string& groupFilePath,
                                                   const std::vector<std::string>& storagePaths, uint64_t storageSize,
                                                   int existingStorages, const BuildProgress& progress) {
    StorageGroupBuild build;
    StorageGroupFile groupFile;
    try {
        if (File::exists(groupFilePath)) {
            File::remove(groupFilePath);
        }
        if (!groupFile.create(groupFilePath, siteId) || !groupFile.load(groupFilePath)) {
            throw Exception("Exception", 0, "cannot create the storage group file " + groupFilePath);
        }
    } catch (const Exception& e) {
        traceException(e);
        try {
            if (File::exists(groupFilePath)) {
                File::remove(groupFilePath);
            }
        } catch (const Exception&) {
        }
        return build;
    }
    build.created = true;
    int count = existingStorages + 1;
    const int total = static_cast<int>(storagePaths.size());
    for (int i = 0; i < total; ++i) {
        const std::string& path = storagePaths[static_cast<std::size_t>(i)];
        if (count > MaximumStorages || (progress && !progress(i, total, path))) {
            build.leftOver = true;
            break;
        }
        bool exists = true; // a path that cannot be checked is left alone too
        try {
            exists = File::exists(path);
        } catch (const Exception& e) {
            traceException(e);
        }
        if (exists) {
            // Not made here, so not this group's (it may be another site's
            // storage): neither overwritten nor listed.
            build.error = true;
            continue;
        }
        if (!SiteStorage::createStorageFile(path, storageSize, siteId)) {
            // createStorageFile removes what it made.
            build.failedPaths.push_back(path);
            build.error = true;
            continue;
        }
        groupFile.addStorage(path);
        ++count;
    }
    groupFile.saveAndClose();
    return build;
}

void CTidevaultDoc::deleteStorageFiles(const std::string& groupFilePath, const UniqueID& siteId) {
    try {
        StorageGroupFile groupFile;
        if (!File::exists(groupFilePath) || !groupFile.load(groupFilePath)) {
            return;
        }
        if (groupFile.repositoryID() != siteId) {
            // Another site's group: none of its files is ours to delete.
            groupFile.close();
            return;
        }
        for (const std::string& path : groupFile.storageFiles()) {
            try {
                if (!File::exists(path)) {
                    continue;
                }
                bool ours = false;
                {
                    FixedSizeFileStorage storage(FixedSizeFileStorage::Access::ReadOnly);
                    try {
                        ours = storage.open(path, false, Storage::CheckOnly) && storage.repositoryID() == siteId;
                    } catch (const Exception& e) {
                        traceException(e);
                    }
                    storage.close(false);
                }
                if (!ours) {
                    trace("CTidevaultDoc::deleteStorageFiles : %s does not belong to the site, kept", path.c_str());
                    continue;
                }
                File::remove(path);
                groupFile.removeStorage(path);
            } catch (const Exception& e) {
                traceException(e);
            }
        }
        groupFile.saveAndClose();
        File::remove(groupFilePath);
    } catch (const Exception& e) {
        traceException(e);
    }
}

// ---- reports from the view ----------------------------------------------------------------------

void CTidevaultDoc::onArchivingEnded(int handle, bool stoppedNormally) {
    std::lock_guard<std::recursive_mutex> lock(_restartMutex);
    ScheduledArchive* archive = scheduledArchive(handle);
    if (!archive) {
        return;
    }
    if (stoppedNormally) {
        if (archive->restartAfterStop()) {
            archive->setRestartAfterStop(false);
            archive->requestNow(ScheduledArchive::Restart);
        }
        return;
    }
    // A failed schedule is stopping now; it may start again once that is done.
    _stopPending[handle] = _clock.now();
    RecordSite* site = _sites.findByHandle(handle);
    const DateTime now = _clock.now();
    if (site && site->inPeriod(now.time())) {
        DateTime due = now;
        due.addSeconds(archive->restartDelay().next());
        archive->requestAt(ScheduledArchive::Restart, due);
    }
}

void CTidevaultDoc::onScheduleFinished(int handle) {
    _stopPending.erase(handle);
    auto it = _startAfterStop.find(handle);
    if (it != _startAfterStop.end()) {
        const bool byUser = it->second;
        _startAfterStop.erase(it);
        start(handle, byUser);
    }
}

// ---- user-interface commands ------------------------------------------------------------------------

void CTidevaultDoc::performGlobal(int command) {
    // On the document's loop: the walk over the sites happens on the controller thread.
    _controller.post([this, command] {
        for (RecordSite* site : _sites.sites(false)) {
            if (command == GlobalCommand::StartAll && !site->archiving()) {
                postToViews(Message{Msg::StartArchiving, site->scheduleHandle(), 1});
            } else if (command == GlobalCommand::StopAll && site->archiving()) {
                postToViews(Message{Msg::StopArchiving, site->scheduleHandle(), 0});
            }
        }
    });
}

void CTidevaultDoc::requestStartAll() { _global->requestNow(GlobalCommand::StartAll); }

void CTidevaultDoc::requestStopAll() {
    _dialogs.messageBox("Do you want to stop all archiving schedules?", MessageIcon::Question, MessageButtons::YesNo,
                        [this](int answer) {
                            if (answer == Answer::Yes) {
                                _global->requestNow(GlobalCommand::StopAll);
                            }
                        });
}

void CTidevaultDoc::confirmDelete(int handle) {
    _dialogs.checkBox("Do you really want to delete the schedule?",
                      "delete all storage files of the schedule from the system", true, MessageIcon::Question,
                      MessageButtons::YesNo, [this, handle](int answer, bool deleteFiles) {
                          if (answer != Answer::Yes) {
                              return;
                          }
                          RecordSite* site = _sites.findByHandle(handle);
                          if (!site) {
                              return;
                          }
                          // Nothing is deleted under a schedule that runs or is still stopping.
                          if (site->status() == RecordSite::StatusArchiving ||
                              site->status() == RecordSite::StatusConnecting || site->archiving() ||
                              isStopPending(handle)) {
                              _dialogs.messageBox("Please stop archiving before delete the schedule.",
                                                  MessageIcon::Warning);
                              return;
                          }
                          _logger.log(site->id(), LogCode::ScheduleDeleted);
                          deleteSchedule(handle, deleteFiles);
                          if (_view) {
                              _view->deleteRow(handle);
                          }
                      });
}

void CTidevaultDoc::openStorageManager(int handle, ScheduleListener* relay, std::function<void()> closed) {
    CStorageGroupManagerDialog::open({_dialogs, *this, _scheduler, _sites, _logger, _storagesFolder}, handle,
                                     relay != nullptr ? relay : _view, std::move(closed));
}

void CTidevaultDoc::onCommand(int command, int selected) {
    if (!_loaded && command != Command::About) {
        return; // the progress dialog is modal while the schedules load
    }
    switch (command) {
    case Command::NewSchedule:
        // One wizard at a time: its group file and storages are judged against the sites that exist.
        if (auto open = _wizard.lock(); !open || !open->isOpen()) {
            auto wizard = std::make_shared<CScheduleWizard>(*this, _sites, _controller, _clock);
            _wizard = wizard;
            _dialogs.open(wizard);
        }
        break;
    case Command::Delete:
        if (selected >= 0) {
            confirmDelete(selected);
        }
        break;
    case Command::Info:
        if (selected >= 0) {
            if (_view && _sites.findByHandle(selected)) {
                CScheduleInfoSheet::open({_controller, _dialogs, *this, *_view, _sites, _scheduler, _logger, _clock},
                                         selected,
                                         [this](int handle, ScheduleListener& relay, std::function<void()> closed) {
                                             openStorageManager(handle, &relay, std::move(closed));
                                         });
            }
        }
        break;
    case Command::Start:
        if (selected >= 0) {
            start(selected, true);
        }
        break;
    case Command::Stop:
        if (selected >= 0) {
            stop(selected);
        }
        break;
    case Command::StartAll:
        requestStartAll();
        break;
    case Command::StopAll:
        requestStopAll();
        break;
    case Command::Log: {
        auto log = std::make_shared<CLogDialog>(_sites, _logger, _clock);
        log->initialize();
        _dialogs.open(log);
        break;
    }
    case Command::StorageManager:
        openStorageManager(selected);
        break;
    case Command::About:
        _dialogs.messageBox("Ostrel\nCopies the recordings of network video recorders into its own storage files.",
                            MessageIcon::Information);
        break;
    default:
        break;
    }
}

void CTidevaultDoc::postToViews(const Message& message) { _controller.post(message); }

void CTidevaultDoc::sendToViews(const Message& message) { _controller.send(message); }

} // namespace ostrel
