#include "app/ui/CRescheduleDialog.h"

#include "app/scheduling/ArchivingSchedule.h"
#include "app/scheduling/ArchivingScheduler.h"
#include "app/scheduling/MergedTimeTable.h"
#include "app/scheduling/ScheduleListener.h"
#include "app/ui/ControllerThread.h"
#include "app/ui/DialogHost.h"

#include <cstdio>
#include <stdexcept>

namespace ostrel {

namespace {
constexpr int NormalDisconnect = 301;

std::string dateTimeText(const DateTime& time) {
    if (!time.isSet()) {
        return "-";
    }
    char text[64];
    std::snprintf(text, sizeof text, "%d/%02d/%02d %02d:%02d:%02d", time.year(), time.month(), time.day(),
                  time.hour(), time.minute(), time.second());
    return text;
}

// The whole recorded time a site can hold.
const DateTime QueryFirst(1970, 1, 1, 0, 0, 0);
const DateTime QueryLast(2100, 12, 31, 23, 59, 59);
} // namespace

// Hears the schedule on its threads. It never calls into the dialog there:
// it copies the report and posts it to the controller thread, so nothing it
// does can block the schedule or wait for a lock the controller holds.
class RescheduleQueryListener : public ScheduleListener {
public:
    RescheduleQueryListener(ControllerThread& controller, std::weak_ptr<CRescheduleDialog> dialog, int handle)
        : _controller(controller), _dialog(std::move(dialog)), _handle(handle) {}

    void scheduleQueryListReceived(int handle, const MergedTimeTable& list) override {
        if (handle != _handle) {
            return;
        }
        std::vector<Interval> intervals;
        list.coalesce(CRescheduleDialog::ListGapSeconds, intervals);
        _controller.post([dialog = _dialog, intervals = std::move(intervals)] {
            if (auto d = dialog.lock()) {
                d->onQueryList(intervals);
            }
        });
    }
    void scheduleQueryFailed(int handle) override { failed(handle); }
    void scheduleFailed(int handle) override { failed(handle); }
    void scheduleDisconnected(int handle, int reason) override {
        (void)reason; // a disconnect ends a query that is still waiting, whatever its reason
        failed(handle);
    }

private:
    void failed(int handle) {
        if (handle != _handle) {
            return;
        }
        _controller.post([dialog = _dialog] {
            if (auto d = dialog.lock()) {
                d->onQueryFailed();
            }
        });
    }

    ControllerThread& _controller;
    std::weak_ptr<CRescheduleDialog> _dialog;
    const int _handle;
};

std::shared_ptr<CRescheduleDialog> CRescheduleDialog::open(DialogHost& dialogs, ControllerThread& controller,
                                                           ArchivingScheduler& scheduler, int handle, Result onOK,
                                                           const Clock& clock) {
    auto dialog = std::make_shared<CRescheduleDialog>(controller, scheduler, handle, std::move(onOK), clock);
    dialog->attach();
    dialogs.open(dialog);
    return dialog;
}

CRescheduleDialog::CRescheduleDialog(ControllerThread& controller, ArchivingScheduler& scheduler, int handle,
                                     Result onOK, const Clock& clock)
    : _controller(controller), _scheduler(scheduler), _handle(handle), _onOK(std::move(onOK)) {
    // The picker starts at the current time, to the second.
    const DateTime now = clock.now();
    _time = DateTime(now.year(), now.month(), now.day(), now.hour(), now.minute(), now.second(),
                     now.zoneOffsetSeconds());
}

CRescheduleDialog::~CRescheduleDialog() { detach(); }

void CRescheduleDialog::attach() {
    if (_attached) {
        return;
    }
    _listener = std::make_unique<RescheduleQueryListener>(_controller, weak_from_this(), _handle);
    if (ArchivingSchedule* schedule = _scheduler.schedule(_handle)) {
        schedule->addListener(_listener.get());
        _attached = true;
    }
}

void CRescheduleDialog::detach() {
    if (!_attached) {
        return;
    }
    _attached = false;
    // On the controller thread, where schedules are also deleted: a schedule
    // that is still known is alive. Once removeListener returns, no report is
    // running in the listener any more (the schedule reports under that lock).
    if (ArchivingSchedule* schedule = _scheduler.schedule(_handle)) {
        schedule->removeListener(_listener.get());
    }
}

std::string CRescheduleDialog::intervalText(const Interval& interval) {
    return dateTimeText(interval.from()) + " ~ " + dateTimeText(interval.to());
}

std::vector<std::string> CRescheduleDialog::rows() const {
    std::vector<std::string> rows;
    for (const Interval& interval : _intervals) {
        rows.push_back(intervalText(interval));
    }
    return rows;
}

nlohmann::json CRescheduleDialog::state() const {
    return {{"title", Title},
            {"choice", _choice},
            {"time", dateTimeText(_time)},
            {"timeEnabled", _choice == 3},
            {"revision", _revision},
            {"column", "Recording Interval"},
            {"rows", rows()},
            {"status", _status},
            {"loading", _loading}};
}

void CRescheduleDialog::choose(int choice) {
    _choice = choice;
    if (_intervals.empty()) {
        return;
    }
    if (choice == 1 && _intervals.front().from().isSet()) {
        _time = _intervals.front().from();
        ++_revision;
    } else if (choice == 2 && _intervals.back().to().isSet()) {
        _time = _intervals.back().to();
        ++_revision;
    }
}

nlohmann::json CRescheduleDialog::call(const std::string& function, const nlohmann::json& args) {
    if (function == "choose") {
        if (!args.is_object() || !args.contains("choice") || !args["choice"].is_number_integer()) {
            throw std::invalid_argument("choose takes {choice}");
        }
        const int choice = args["choice"].get<int>();
        if (choice < 1 || choice > 3) {
            throw std::invalid_argument("the choice is 1, 2 or 3");
        }
        choose(choice);
    } else if (function == "setTime") {
        if (!args.is_object() || !args.contains("time") || !args["time"].is_string()) {
            throw std::invalid_argument("setTime takes {time}");
        }
        const auto time = DateTime::parse(args["time"].get<std::string>(), _time.zoneOffsetSeconds());
        if (!time) {
            throw std::invalid_argument("the time is written yyyy/MM/dd HH:mm:ss");
        }
        _time = *time;
        return state(); // the page that picked has the time; nothing else changed
    } else if (function == "load") {
        _status = Connecting;
        _loading = true;
        ArchivingSchedule* schedule = _scheduler.schedule(_handle);
        if (schedule == nullptr || !_attached) {
            onQueryFailed();
            return state();
        }
        schedule->queryRecordings(Interval(QueryFirst, QueryLast));
    } else if (function == "ok") {
        if (!isOpen()) {
            return true;
        }
        detach();
        Result onOK = std::move(_onOK);
        const int choice = _choice;
        const DateTime time = _time;
        close();
        if (onOK) {
            onOK(choice, time);
        }
        return true;
    } else {
        return DialogController::call(function, args);
    }
    update();
    return state();
}

void CRescheduleDialog::cancel() {
    detach();
    close();
}

void CRescheduleDialog::onQueryList(const std::vector<Interval>& intervals) {
    if (!isOpen()) {
        return;
    }
    _intervals = intervals;
    _loading = false;
    _status = _intervals.empty() ? NoData : "";
    update();
}

void CRescheduleDialog::onQueryFailed() {
    if (!isOpen() || !_loading) {
        return; // a failure of archiving while no list is awaited is none of this dialog's business
    }
    _loading = false;
    _status = CannotConnect;
    update();
}

} // namespace ostrel
