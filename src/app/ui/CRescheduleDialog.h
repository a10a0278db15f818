#pragma once

#include "app/ui/DialogController.h"
#include "base/Clock.h"
#include "base/DateTime.h"
#include "base/Interval.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ostrel {

class ArchivingScheduler;
class ControllerThread;
class DialogHost;
class RescheduleQueryListener;

// "Reschedule": chooses where a site's archiving starts over (its first or
// last recorded data, or a time picked in "yyyy/MM/dd HH:mm:ss"). "Load" asks
// the site's schedule for the recorded intervals (queryRecordings) and lists
// them merged, as the schedule wizard's second page does.
//
// While open, the dialog listens to the schedule. Those reports arrive on the
// scheduler's and the network threads, inside the schedule's listener lock:
// the listener only copies what it got and posts it to the controller thread,
// where the dialog shows it (a dialog closed meanwhile is simply not found).
class CRescheduleDialog : public DialogController, public std::enable_shared_from_this<CRescheduleDialog> {
public:
    // OK: the choice (1 first, 2 last, 3 the picked time, 0 none) and the picker's time.
    using Result = std::function<void(int choice, const DateTime& time)>;

    static constexpr const char* Title = "Reschedule";
    static constexpr const char* Connecting = "Connecting...";
    static constexpr const char* NoData = "There is no data recorded.";
    static constexpr const char* CannotConnect = "Cannot connect to the site..";
    // Neighbouring intervals closer than this are listed as one.
    static constexpr int ListGapSeconds = 5;

    // Builds the dialog, attaches it to the schedule of `handle` and opens it.
    static std::shared_ptr<CRescheduleDialog> open(DialogHost& dialogs, ControllerThread& controller,
                                                   ArchivingScheduler& scheduler, int handle, Result onOK,
                                                   const Clock& clock = Clock::system());

    CRescheduleDialog(ControllerThread& controller, ArchivingScheduler& scheduler, int handle, Result onOK,
                      const Clock& clock = Clock::system());
    ~CRescheduleDialog() override;

    std::string kind() const override { return "reschedule"; }
    nlohmann::json state() const override;
    // "choose" {choice: 1|2|3}, "setTime" {time: "yyyy/MM/dd HH:mm:ss"}, "load", "ok".
    nlohmann::json call(const std::string& function, const nlohmann::json& args) override;
    void cancel() override;

    int choice() const { return _choice; }
    const DateTime& time() const { return _time; }
    const std::string& statusText() const { return _status; }
    // The rows of the list, "%d/%02d/%02d %02d:%02d:%02d ~ ...".
    std::vector<std::string> rows() const;
    bool isLoading() const { return _loading; }

    // Reports, on the controller thread.
    void onQueryList(const std::vector<Interval>& intervals);
    void onQueryFailed();

    static std::string intervalText(const Interval& interval);

private:
    void attach();
    void detach();
    void choose(int choice);

    ControllerThread& _controller;
    ArchivingScheduler& _scheduler;
    const int _handle;
    Result _onOK;
    int _choice = 1;
    DateTime _time;
    std::vector<Interval> _intervals;
    std::string _status;
    bool _loading = false;
    // The picker changed on the native side (First, Last): the page takes its value again.
    int _revision = 0;
    std::unique_ptr<RescheduleQueryListener> _listener;
    bool _attached = false;
};

} // namespace ostrel
