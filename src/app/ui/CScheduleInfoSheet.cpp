#include "app/ui/CScheduleInfoSheet.h"

#include "app/persistence/SiteContainer.h"
#include "app/ui/CRescheduleDialog.h"
#include "app/ui/CSiteListView.h"
#include "app/ui/ControllerThread.h"
#include "app/ui/DialogHost.h"

#include <stdexcept>

namespace ostrel {

std::shared_ptr<CScheduleInfoSheet> CScheduleInfoSheet::open(const Context& context, int handle,
                                                             StorageManagerOpener opener) {
    auto sheet = std::make_shared<CScheduleInfoSheet>(context, handle);
    sheet->_openStorageManager = std::move(opener);
    context.view.attach(sheet.get());
    sheet->_attached = true;
    context.dialogs.open(sheet);
    return sheet;
}

CScheduleInfoSheet::CScheduleInfoSheet(const Context& context, int handle)
    : _controller(context.controller), _dialogs(context.dialogs), _document(context.document), _view(context.view),
      _sites(context.sites), _scheduler(context.scheduler), _clock(context.clock), _handle(handle),
      _sitePage(context.document, context.sites, context.scheduler, context.logger, handle),
      _schedulePage(context.document, context.sites, handle, context.clock) {
    _sitePage.load();
    _schedulePage.load();
    _lastRefreshTick = _clock.tickCount();
}

CScheduleInfoSheet::~CScheduleInfoSheet() {
    // The sheet goes on the controller thread, where the view relays its
    // reports: no report is running in it now.
    if (_attached) {
        _view.detach(this);
    }
}

nlohmann::json CScheduleInfoSheet::state() const {
    return {{"title", Title},
            {"site", _sitePage.state()},
            {"schedule", _schedulePage.state()},
            {"applyEnabled", derivedState()[0]},
            {"storageManagerEnabled", static_cast<bool>(_openStorageManager)},
            {"revision", _revision},
            {"focus", _focus}};
}

nlohmann::json CScheduleInfoSheet::call(const std::string& function, const nlohmann::json& args) {
    if (function == "edit") {
        if (!args.is_object() || !args.contains("page") || !args["page"].is_string() || !args.contains("fields")) {
            throw std::invalid_argument("edit takes {page, fields}");
        }
        const std::string page = args["page"].get<std::string>();
        const nlohmann::json before = derivedState();
        if (page == "site") {
            _sitePage.edit(args["fields"]);
        } else if (page == "schedule") {
            _schedulePage.edit(args["fields"]);
        } else {
            throw std::invalid_argument("no such page " + page);
        }
        // The page that typed has its text; the pages hear only of what the
        // edit changed elsewhere (the buttons, the pickers' enabling).
        if (derivedState() != before) {
            update();
        }
        return state();
    } else if (function == "apply" || function == "ok") {
        applyAll(function == "ok");
        return true;
    } else if (function == "reschedule") {
        openReschedule();
        return true;
    } else if (function == "storageManager") {
        if (!_openStorageManager) {
            throw std::invalid_argument("no storage manager here");
        }
        // The manager hears the reports through this sheet and lets go of it
        // when it closes: its callback holds the sheet until then, also when
        // the sheet itself is closed first (another page, shut-down).
        _openStorageManager(_handle, *this, [sheet = shared_from_this()] {
            if (sheet->isOpen()) {
                sheet->_sitePage.refreshDisplay();
                sheet->update();
            }
        });
        return true;
    } else {
        return DialogController::call(function, args);
    }
    update();
    return state();
}

nlohmann::json CScheduleInfoSheet::derivedState() const {
    return {_sitePage.isModified() || _schedulePage.isModified(), _schedulePage.state()["timesEnabled"],
            _sitePage.passwordEdited()};
}

void CScheduleInfoSheet::openReschedule() {
    std::weak_ptr<CScheduleInfoSheet> weak = weak_from_this();
    CRescheduleDialog::open(_dialogs, _controller, _scheduler, _handle,
                            [weak](int choice, const DateTime& time) {
                                auto sheet = weak.lock();
                                if (!sheet || !sheet->isOpen()) {
                                    return;
                                }
                                sheet->_sitePage.setPending(choice, time);
                                sheet->update();
                            },
                            _clock);
}

void CScheduleInfoSheet::refuse(const std::string& text, const std::string& page, const std::string& field,
                                bool select) {
    std::weak_ptr<CScheduleInfoSheet> weak = weak_from_this();
    _dialogs.messageBox(text, MessageIcon::Error, MessageButtons::OK, [weak, page, field, select](int) {
        auto sheet = weak.lock();
        if (!sheet || !sheet->isOpen()) {
            return;
        }
        // The field gets the focus once the message is gone, as it did under the box.
        sheet->_focus = {{"page", page}, {"field", field}, {"select", select}, {"seq", ++sheet->_focusSeq}};
        sheet->update();
    });
}

void CScheduleInfoSheet::applyAll(bool closeAfter) {
    if (_applying) {
        return;
    }
    // Nothing is applied while either page refuses its values.
    if (auto refusal = _sitePage.validate()) {
        refuse(refusal->text, "site", refusal->field, refusal->select);
        return;
    }
    if (auto refusal = _schedulePage.validate()) {
        refuse(*refusal, "schedule", "start", false);
        return;
    }
    if (!_sitePage.apply()) {
        close(); // the site is gone
        return;
    }
    ++_revision;
    _applying = true;
    std::weak_ptr<CScheduleInfoSheet> weak = weak_from_this();
    _schedulePage.apply(_dialogs, [weak, closeAfter](bool applied) {
        auto sheet = weak.lock();
        if (!sheet || !sheet->isOpen()) {
            return;
        }
        sheet->_applying = false;
        if (!applied || closeAfter) {
            sheet->close();
            return;
        }
        sheet->_schedulePage.load();
        sheet->_sitePage.refreshDisplay();
        ++sheet->_revision;
        sheet->update();
    });
}

void CScheduleInfoSheet::refresh(int handle, bool throttled) {
    if (handle != _handle || !isOpen()) {
        return;
    }
    const uint32_t now = _clock.tickCount();
    if (throttled && now - _lastRefreshTick < PositionRefreshMilliseconds) {
        return;
    }
    _lastRefreshTick = now;
    if (_sitePage.refreshDisplay()) {
        update();
    }
}

void CScheduleInfoSheet::scheduleConnecting(int handle) {
    refresh(handle, false);
    ScheduleListener::scheduleConnecting(handle);
}
void CScheduleInfoSheet::scheduleConnected(int handle) {
    refresh(handle, false);
    ScheduleListener::scheduleConnected(handle);
}
void CScheduleInfoSheet::scheduleDisconnected(int handle, int reason) {
    refresh(handle, false);
    ScheduleListener::scheduleDisconnected(handle, reason);
}
void CScheduleInfoSheet::scheduleStarting(int handle) {
    refresh(handle, false);
    ScheduleListener::scheduleStarting(handle);
}
void CScheduleInfoSheet::scheduleResuming(int handle) {
    refresh(handle, false);
    ScheduleListener::scheduleResuming(handle);
}
void CScheduleInfoSheet::scheduleRetrying(int handle) {
    refresh(handle, false);
    ScheduleListener::scheduleRetrying(handle);
}
void CScheduleInfoSheet::scheduleIntervalChosen(int handle) {
    refresh(handle, false);
    ScheduleListener::scheduleIntervalChosen(handle);
}
void CScheduleInfoSheet::scheduleStopped(int handle) {
    refresh(handle, false);
    ScheduleListener::scheduleStopped(handle);
}
void CScheduleInfoSheet::scheduleFailed(int handle) {
    refresh(handle, false);
    ScheduleListener::scheduleFailed(handle);
}
void CScheduleInfoSheet::schedulePositionChanged(int handle, const DateTime& time) {
    refresh(handle, true);
    ScheduleListener::schedulePositionChanged(handle, time);
}

} // namespace ostrel
