#include "app/ui/CSiteListView.h"

#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteContainer.h"
#include "app/persistence/SiteStorage.h"
#include "app/persistence/SystemLogger.h"
#include "app/scheduling/ArchivingSchedule.h"
#include "app/scheduling/ArchivingScheduler.h"
#include "app/scheduling/EventManager.h"
#include "app/scheduling/LogCodes.h"
#include "app/ui/CTidevaultDoc.h"
#include "app/ui/ControllerThread.h"
#include "app/ui/DialogHost.h"
#include "app/ui/MenuDialog.h"
#include "app/ui/PageHub.h"
#include "base/Exception.h"
#include "base/Trace.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace ostrel {

namespace {
constexpr const char* WaitingForData = "Waiting for data...";
}

CSiteListView::CSiteListView(ControllerThread& controller, PageHub& pages, DialogHost& dialogs,
                             CTidevaultDoc& document, ArchivingScheduler& scheduler, SiteContainer& sites,
                             SystemLogger& logger, EventManager& events)
    : _controller(controller), _pages(pages), _dialogs(dialogs), _document(document), _scheduler(scheduler),
      _sites(sites), _logger(logger), _events(events) {}

CSiteListView::~CSiteListView() { destroy(); }

void CSiteListView::create(const Clock& clock) {
    _clock = &clock;
    _scheduler.setup(this, ChunkSeconds, clock);
    _events.enable();
    _events.addListener(this);
    _document.startLoop();
    _created = true;
}

void CSiteListView::destroy() {
    if (!_created) {
        return;
    }
    _created = false;
    _scheduler.shutdown();
    _document.stopLoop();
    _events.removeListener(this);
    _events.disable();
}

// ---- page rows ------------------------------------------------------------------------------

int CSiteListView::pageStatus(int siteStatus) {
    switch (siteStatus) {
    case RecordSite::StatusConnecting:
        return 0;
    case RecordSite::StatusArchiving:
        return 1;
    case RecordSite::StatusStopped:
        return 2;
    case RecordSite::StatusFailed:
        return 3;
    case RecordSite::StatusStorageFull:
    case RecordSite::StatusNotArchivable:
        return 4;
    default:
        return 2;
    }
}

std::string CSiteListView::timeText(const DateTime& time) {
    char text[64];
    std::snprintf(text, sizeof text, "%d/%02d/%02d %02d:%02d:%02d", time.year(), time.month(), time.day(),
                  time.hour(), time.minute(), time.second());
    return text;
}

std::string CSiteListView::periodText(const RecordSite& site) {
    if (site.status() != RecordSite::StatusArchiving) {
        return "";
    }
    if (!site.lastArchivedTime().isSet()) {
        return WaitingForData;
    }
    return timeText(site.lastArchivedTime());
}

nlohmann::json CSiteListView::rowArguments(const RecordSite& site) {
    int speed = site.speedState();
    if (site.status() == RecordSite::StatusArchiving && !site.lastArchivedTime().isSet()) {
        speed = RecordSite::SpeedGood;
    }
    const auto mb = [](uint64_t bytes) { return static_cast<int64_t>(bytes / 1000 / 1000); };
    return nlohmann::json::array({site.scheduleHandle(), site.name(), site.address(), pageStatus(site.status()),
                                  mb(site.storageUsed()), mb(site.storageCapacity()), site.overwrite(), speed,
                                  periodText(site)});
}

void CSiteListView::refreshRow(int handle, bool add) {
    RecordSite* site = _sites.findByHandle(handle);
    if (!site) {
        return;
    }
    if (add) {
        if (std::find(_rows.begin(), _rows.end(), handle) == _rows.end()) {
            _rows.push_back(handle);
        }
        _pages.run("schedule.addSchedule", rowArguments(*site));
    } else {
        _pages.run("schedule.updateSchedule", rowArguments(*site));
    }
}

void CSiteListView::deleteRow(int handle) {
    _rows.erase(std::remove(_rows.begin(), _rows.end(), handle), _rows.end());
    if (_selected == handle) {
        _selected = -1;
    }
    _pages.run("schedule.deleteSchedule", nlohmann::json::array({handle}));
}

std::vector<std::string> CSiteListView::snapshot() const {
    std::vector<std::string> calls;
    if (_toolbarEnabled) {
        calls.push_back(PageHub::encode("toolbar.initialEnable", nlohmann::json::array({true})));
    }
    for (int handle : _rows) {
        if (RecordSite* site = _sites.findByHandle(handle)) {
            calls.push_back(PageHub::encode("schedule.addSchedule", rowArguments(*site)));
        }
    }
    return calls;
}

std::string CSiteListView::tooltip(const std::string& title) const {
    const auto space = title.find(' ');
    if (space == std::string::npos) {
        return title;
    }
    const std::string keyword = title.substr(0, space);
    if (keyword != "indicator" && keyword != "statusBar" && keyword != "period") {
        return title;
    }
    char* end = nullptr;
    const long handle = std::strtol(title.c_str() + space + 1, &end, 10);
    if (*end != '\0') {
        return title;
    }
    RecordSite* site = _sites.findByHandle(static_cast<int>(handle));
    if (!site) {
        return "";
    }
    if (keyword == "indicator") {
        return site->statusText();
    }
    if (keyword == "statusBar") {
        return site->speedText();
    }
    if (!site->lastArchivedTime().isSet()) {
        return WaitingForData;
    }
    ArchivingSchedule* schedule = _scheduler.schedule(site->scheduleHandle());
    const Interval interval = schedule ? schedule->recordedInterval() : Interval();
    if (!interval.from().isSet() || !interval.to().isSet()) {
        return "-";
    }
    return timeText(interval.from()) + " ~ " + timeText(interval.to());
}

// ---- messages ---------------------------------------------------------------------------------

void CSiteListView::handleMessage(const Message& message) {
    const int handle = static_cast<int>(message.wParam);
    switch (message.id) {
    case Msg::UpdateRow:
        refreshRow(handle, message.lParam != 0);
        break;
    case Msg::LoadingFinished: {
        _document.loadingFinished();
        _pages.run("toolbar.initialEnable", nlohmann::json::array({true}));
        _toolbarEnabled = true;
        const Time now = (_clock ? *_clock : Clock::system()).now().time();
        for (RecordSite* site : _sites.sites(false)) {
            const int h = site->scheduleHandle();
            if (h < 0) {
                continue;
            }
            refreshRow(h, true);
            _document.addScheduledArchive(h);
            if (site->inPeriod(now)) {
                _document.start(h, true);
            }
        }
        break;
    }
    case Msg::Selected:
        _selected = handle;
        break;
    case Msg::ContextMenu:
        showContextMenu(static_cast<int>(message.wParam), static_cast<int>(message.lParam));
        break;
    case Msg::LaunchInfo:
        _document.onCommand(Command::Info, _selected);
        break;
    case Msg::StartArchiving:
        _document.start(handle, message.lParam != 0);
        break;
    case Msg::StopArchiving:
        _document.stop(handle);
        break;
    case Msg::EventQueued:
        onEventQueued();
        break;
    default:
        if (message.id >= Msg::ScheduleConnecting && message.id <= Msg::SchedulePositionChanged) {
            onReport(message);
        }
        break;
    }
}

void CSiteListView::showContextMenu(int x, int y) {
    RecordSite* site = _selected >= 0 ? _sites.findByHandle(_selected) : nullptr;
    bool start = site != nullptr;
    bool stop = site != nullptr;
    bool remove = site != nullptr;
    const bool info = site != nullptr;
    if (site) {
        if (site->archiving()) {
            remove = false;
            start = false;
        } else {
            stop = false;
            if (!site->isArchivable()) {
                start = false;
            }
        }
    }
    const int selected = _selected;
    _dialogs.open(std::make_shared<MenuDialog>(
        "MainList", x, y,
        std::vector<MenuDialog::Item>{{Command::Start, "Start", start},
                                      {Command::Stop, "Stop", stop},
                                      {Command::Delete, "Delete", remove},
                                      {Command::Info, "Info..", info}},
        [this, selected](int command) { _document.onCommand(command, selected); }));
}

void CSiteListView::passOn(const Message& message, const DateTime& time) {
    const int handle = static_cast<int>(message.wParam);
    switch (message.id) {
    case Msg::ScheduleConnecting:
        ScheduleListener::scheduleConnecting(handle);
        break;
    case Msg::ScheduleConnected:
        ScheduleListener::scheduleConnected(handle);
        break;
    case Msg::ScheduleDisconnected:
        ScheduleListener::scheduleDisconnected(handle, static_cast<int>(message.lParam));
        break;
    case Msg::ScheduleStarting:
        ScheduleListener::scheduleStarting(handle);
        break;
    case Msg::ScheduleResuming:
        ScheduleListener::scheduleResuming(handle);
        break;
    case Msg::ScheduleRetrying:
        ScheduleListener::scheduleRetrying(handle);
        break;
    case Msg::ScheduleIntervalChosen:
        ScheduleListener::scheduleIntervalChosen(handle);
        break;
    case Msg::ScheduleStopped:
        ScheduleListener::scheduleStopped(handle);
        break;
    case Msg::ScheduleFailed:
        ScheduleListener::scheduleFailed(handle);
        break;
    case Msg::SchedulePositionChanged:
        ScheduleListener::schedulePositionChanged(handle, time);
        break;
    default:
        break;
    }
}

void CSiteListView::onReport(const Message& message) {
    const int handle = static_cast<int>(message.wParam);
    RecordSite* site = _sites.findByHandle(handle);
    if (!site) {
        passOn(message);
        return;
    }
    switch (message.id) {
    case Msg::ScheduleConnecting:
    case Msg::ScheduleConnected:
        site->setStatus(RecordSite::StatusConnecting);
        refreshRow(handle, false);
        passOn(message);
        break;
    case Msg::ScheduleDisconnected:
        passOn(message);
        break;
    case Msg::ScheduleStarting:
    case Msg::ScheduleIntervalChosen:
        site->setStatus(RecordSite::StatusArchiving);
        refreshRow(handle, false);
        passOn(message);
        break;
    case Msg::ScheduleResuming:
        site->setLastArchivedTime(DateTime());
        refreshRow(handle, false);
        passOn(message);
        break;
    case Msg::ScheduleRetrying:
        site->setLastArchivedTime(DateTime());
        refreshRow(handle, false);
        break;
    case Msg::ScheduleStopped: {
        if (site->status() == RecordSite::StatusConnecting || site->status() == RecordSite::StatusArchiving) {
            site->setStatus(RecordSite::StatusStopped);
            site->setStorageUsage(_scheduler.storageUsed(handle), _scheduler.storageCapacity(handle));
            refreshRow(handle, false);
            _document.onArchivingEnded(handle, true);
            _logger.log(site->id(), LogCode::ArchivingStopped);
        }
        // The schedule has finished its stop: failed storage files may leave the group now.
        auto removal = _storageToRemove.find(handle);
        if (removal != _storageToRemove.end()) {
            const std::vector<std::string> paths = std::move(removal->second);
            _storageToRemove.erase(removal);
            if (SiteStorage* storage = _scheduler.siteStorage(handle)) {
                for (const std::string& path : paths) {
                    try {
                        storage->removeStorage(path);
                    } catch (const Exception& e) {
                        traceException(e);
                    }
                }
            }
            site->setStorageUsage(_scheduler.storageUsed(handle), _scheduler.storageCapacity(handle));
            site->checkArchivable();
            refreshRow(handle, false);
        }
        _document.onScheduleFinished(handle);
        passOn(message);
        break;
    }
    case Msg::ScheduleFailed:
        site->setStatus(RecordSite::StatusFailed);
        site->setArchiving(false);
        _sites.save(handle);
        refreshRow(handle, false);
        _document.onArchivingEnded(handle, false);
        passOn(message);
        break;
    case Msg::SchedulePositionChanged: {
        if (site->rescheduled()) {
            _logger.log(site->id(), LogCode::Scheduled, site->archiveFromText());
            site->setRescheduled(false);
            _sites.save(handle);
        }
        DateTime time;
        {
            std::lock_guard<std::mutex> lock(_positionMutex);
            auto it = _positions.find(handle);
            if (it != _positions.end()) {
                time = it->second;
            }
        }
        if (time.isSet() && !(time == site->lastArchivedTime())) {
            site->setLastArchivedTime(time);
            site->setStorageUsage(_scheduler.storageUsed(handle), _scheduler.storageCapacity(handle));
            refreshRow(handle, false);
        }
        passOn(message, time);
        break;
    }
    default:
        break;
    }
}

void CSiteListView::onEventQueued() {
    ArchivingEvent event;
    {
        std::lock_guard<std::mutex> lock(_eventMutex);
        if (_eventQueue.empty()) {
            return;
        }
        event = _eventQueue.front();
        _eventQueue.pop_front();
    }
    const int handle = event.siteHandle;
    RecordSite* site = _sites.findByHandle(handle);
    if (!site) {
        return;
    }
    switch (event.type) {
    case ArchivingEvent::SpeedChanged: {
        ArchivingSchedule* schedule = _scheduler.schedule(handle);
        site->setSpeedState(schedule ? schedule->archiveSpeed() : event.value);
        refreshRow(handle, false);
        break;
    }
    case ArchivingEvent::StorageFull:
        site->setStatus(RecordSite::StatusStorageFull);
        site->setStorageUsage(_scheduler.storageUsed(handle), site->storageCapacity());
        site->setArchiving(false);
        _sites.save(handle);
        refreshRow(handle, false);
        break;
    case ArchivingEvent::StorageDamaged:
        // The storage took the damage out of use and archiving goes on:
        // only its usage may have changed.
        site->setStorageUsage(_scheduler.storageUsed(handle), _scheduler.storageCapacity(handle));
        refreshRow(handle, false);
        break;
    case ArchivingEvent::StorageIOError:
    case ArchivingEvent::StorageBad:
        site->setLastFailure(event);
        site->setArchiving(false);
        _sites.save(handle);
        if (!event.text.empty()) {
            _storageToRemove[handle].push_back(event.text);
        }
        site->setStorageUsage(_scheduler.storageUsed(handle), _scheduler.storageCapacity(handle));
        refreshRow(handle, false);
        break;
    default:
        site->setLastFailure(event);
        site->setArchiving(false);
        _sites.save(handle);
        break;
    }
}

// ---- listener operations (other threads) ------------------------------------------------------------

void CSiteListView::scheduleConnecting(int handle) { _controller.post(Message{Msg::ScheduleConnecting, handle, 0}); }
void CSiteListView::scheduleConnected(int handle) { _controller.post(Message{Msg::ScheduleConnected, handle, 0}); }
void CSiteListView::scheduleDisconnected(int handle, int reason) {
    _controller.post(Message{Msg::ScheduleDisconnected, handle, reason});
}
void CSiteListView::scheduleStarting(int handle) { _controller.post(Message{Msg::ScheduleStarting, handle, 0}); }
void CSiteListView::scheduleResuming(int handle) { _controller.post(Message{Msg::ScheduleResuming, handle, 0}); }
void CSiteListView::scheduleRetrying(int handle) { _controller.post(Message{Msg::ScheduleRetrying, handle, 0}); }
void CSiteListView::scheduleIntervalChosen(int handle) {
    _controller.post(Message{Msg::ScheduleIntervalChosen, handle, 0});
}
void CSiteListView::scheduleStopped(int handle) { _controller.post(Message{Msg::ScheduleStopped, handle, 0}); }
void CSiteListView::scheduleFailed(int handle) { _controller.post(Message{Msg::ScheduleFailed, handle, 0}); }

void CSiteListView::schedulePositionChanged(int handle, const DateTime& time) {
    {
        std::lock_guard<std::mutex> lock(_positionMutex);
        _positions[handle] = time;
    }
    _controller.post(Message{Msg::SchedulePositionChanged, handle, 0});
}

void CSiteListView::scheduleQueryListReceived(int handle, const MergedTimeTable& list) {
    // The dialog that asked (the reschedule dialog) listens to the schedule
    // itself; the main list has nothing to show for a query.
    (void)handle;
    (void)list;
}

void CSiteListView::scheduleQueryFailed(int handle) {
    // As above: nothing of the site changes when a query cannot be answered.
    (void)handle;
}

void CSiteListView::onEvent(const ArchivingEvent& event) {
    {
        std::lock_guard<std::mutex> lock(_eventMutex);
        _eventQueue.push_back(event);
    }
    _controller.post(Message{Msg::EventQueued, 0, 0});
}

std::size_t CSiteListView::queuedEvents() const {
    std::lock_guard<std::mutex> lock(_eventMutex);
    return _eventQueue.size();
}

} // namespace ostrel
