#pragma once

#include "app/scheduling/ArchivingEvent.h"
#include "app/scheduling/EventListener.h"
#include "app/scheduling/ScheduleListener.h"
#include "app/ui/Message.h"
#include "base/Clock.h"
#include "base/DateTime.h"

#include <nlohmann/json.hpp>

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel {

class ArchivingScheduler;
class CTidevaultDoc;
class ControllerThread;
class DialogHost;
class EventManager;
class PageHub;
class RecordSite;
class SiteContainer;
class SystemLogger;

// The main list: where the archiving world meets the controller thread. As the
// default ScheduleListener of every schedule and an EventListener of the
// EventManager it turns reports (arriving on scheduler and network threads)
// into posted messages; on the controller thread it updates the sites, runs
// the page's script calls (rows, toolbar), tells the document and passes the
// reports on to the dialogs attached to it.
class CSiteListView : public ScheduleListener, public EventListener {
public:
    static constexpr int ChunkSeconds = 1800;

    CSiteListView(ControllerThread& controller, PageHub& pages, DialogHost& dialogs, CTidevaultDoc& document,
                  ArchivingScheduler& scheduler, SiteContainer& sites, SystemLogger& logger, EventManager& events);
    ~CSiteListView() override;

    // View creation: sets the scheduler up with this listener, enables the
    // event manager and listens to it, starts the document's loop.
    void create(const Clock& clock);
    // View destruction in reverse: the scheduler shuts down (every schedule
    // stores its position and closes its group), the document's loop stops, the
    // event manager lets go of the view.
    void destroy();

    // Messages 1025 and 1033 to 1036, 1043 to 1055 (controller thread).
    void handleMessage(const Message& message);

    // The row of a site in the page: added (flag true) or refreshed.
    void refreshRow(int handle, bool add);
    void deleteRow(int handle);
    int selected() const { return _selected; }

    // The calls that bring a fresh page to the current rows and toolbar.
    std::vector<std::string> snapshot() const;
    // A tooltip text for "indicator N", "statusBar N" or "period N".
    std::string tooltip(const std::string& title) const;

    // The arguments of schedule.addSchedule / updateSchedule for a site.
    static nlohmann::json rowArguments(const RecordSite& site);
    static int pageStatus(int siteStatus);
    static std::string periodText(const RecordSite& site);
    static std::string timeText(const DateTime& time);

    // ScheduleListener (scheduler and network threads): post only.
    void scheduleConnecting(int handle) override;
    void scheduleConnected(int handle) override;
    void scheduleDisconnected(int handle, int reason) override;
    void scheduleStarting(int handle) override;
    void scheduleResuming(int handle) override;
    void scheduleRetrying(int handle) override;
    void scheduleIntervalChosen(int handle) override;
    void scheduleStopped(int handle) override;
    void scheduleFailed(int handle) override;
    void schedulePositionChanged(int handle, const DateTime& time) override;
    void scheduleQueryListReceived(int handle, const MergedTimeTable& list) override;
    void scheduleQueryFailed(int handle) override;

    // EventListener (any thread): queue only.
    void onEvent(const ArchivingEvent& event) override;
    std::size_t queuedEvents() const;

private:
    void onReport(const Message& message);
    void onEventQueued();
    void passOn(const Message& message, const DateTime& time = DateTime());
    void showContextMenu(int x, int y);

    ControllerThread& _controller;
    PageHub& _pages;
    DialogHost& _dialogs;
    CTidevaultDoc& _document;
    ArchivingScheduler& _scheduler;
    SiteContainer& _sites;
    SystemLogger& _logger;
    EventManager& _events;
    bool _created = false;
    const Clock* _clock = nullptr;

    int _selected = -1;
    // Rows the page shows, in the order they were added.
    std::vector<int> _rows;
    bool _toolbarEnabled = false;

    // Events handed over by the EventManager, under their own lock.
    mutable std::mutex _eventMutex;
    std::deque<ArchivingEvent> _eventQueue;

    // Storage files that failed while archiving, taken out of their group once
    // the schedule's stop has completed (the archiver may still hold them before).
    std::map<int, std::vector<std::string>> _storageToRemove;

    std::mutex _positionMutex;
    std::map<int, DateTime> _positions;
};

} // namespace ostrel
