#include "app/ui/CScheduleWizard.h"

#include "app/ui/CArchivingSchedulePage.h"
#include "app/ui/CQuickStoragePage.h"
#include "app/ui/CScheduleWizardWorker.h"
#include "app/ui/CSchedulePage.h"
#include "app/ui/CSitePage.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <stdexcept>

namespace ostrel {

CScheduleWizard::CScheduleWizard(CTidevaultDoc& document, const SiteContainer& sites, ControllerThread& controller,
                                 const Clock& clock, std::chrono::milliseconds queryTimeout)
    : _document(document), _sites(sites), _controller(controller), _clock(clock), _queryTimeout(queryTimeout),
      _site(std::make_unique<CSitePage>(*this, sites)), _schedule(std::make_unique<CSchedulePage>(*this)),
      _archiving(std::make_unique<CArchivingSchedulePage>(*this)),
      _storage(std::make_unique<CQuickStoragePage>(*this, document.storagesFolder())) {
    _pages = {_site.get(), _schedule.get(), _archiving.get(), _storage.get()};
}

CScheduleWizard::~CScheduleWizard() {
    if (_worker) {
        _worker->finish();
    }
}

nlohmann::json CScheduleWizard::state() const {
    const CScheduleWizardPage& current = page();
    const bool last = _index == PageCount - 1;
    nlohmann::json state{{"title", current.title()},
                         {"page", _index},
                         {"pageName", current.name()},
                         {"back", _index > 0 && !_busy},
                         {"next", !last && !_busy && current.canGoOn()},
                         {"finish", last && !_busy && current.canGoOn()},
                         {"cancel", !_busy},
                         {"busy", _busy}};
    for (const CScheduleWizardPage* p : _pages) {
        state[p->name()] = p->state();
    }
    if (!_focusField.empty()) {
        state["focus"] = {{"field", _focusField}, {"select", _focusSelect}, {"serial", _focusSerial}};
    }
    if (_busy) {
        char text[96];
        if (_progressCount > 0) {
            std::snprintf(text, sizeof text, CreatingText, std::min(_progressIndex + 1, _progressCount),
                          _progressCount);
        } else {
            std::snprintf(text, sizeof text, "%s", CreatingGroupText);
        }
        state["progress"] = {{"text", text}, {"path", _progressPath}, {"position", _progressIndex},
                             {"total", _progressCount}};
    }
    return state;
}

nlohmann::json CScheduleWizard::call(const std::string& function, const nlohmann::json& args) {
    static const char* const functions[] = {"change", "next", "back", "finish", "load", "browse"};
    if (std::find(std::begin(functions), std::end(functions), function) == std::end(functions)) {
        throw std::invalid_argument("the schedule wizard has no call " + function);
    }
    if (!args.is_object() || !args.contains("page") || !args["page"].is_number_integer()) {
        throw std::invalid_argument("a schedule wizard call takes {page, values}");
    }
    if (_busy || args["page"].get<int>() != _index) {
        // Made for a page that has gone since, or while Finish runs: nothing changes.
        update();
        return false;
    }
    page().apply(args.contains("values") ? args["values"] : nlohmann::json::object());
    const int index = _index;
    if (function == "next" && index < PageCount - 1 && page().canGoOn()) {
        page().onWizardNext([this, index] {
            if (_index == index) {
                goTo(index + 1);
            }
        });
    } else if (function == "back" && index > 0) {
        goTo(index - 1);
    } else if (function == "finish" && index == PageCount - 1 && page().canGoOn()) {
        page().onWizardNext([this, index] {
            if (_index == index && !_busy) {
                createSchedule();
            }
        });
    } else if (function == "load" && &page() == _schedule.get()) {
        _schedule->load();
    } else if (function == "browse" && &page() == _storage.get()) {
        _storage->browse();
    }
    update();
    return true;
}

void CScheduleWizard::cancel() {
    if (!_busy) {
        closeWizard();
    }
}

void CScheduleWizard::goTo(int index) {
    _index = index;
    _focusField.clear();
    page().onSetActive();
    update();
}

void CScheduleWizard::closeWizard() {
    // The wizard's client is disconnected (on the worker's thread) as it goes.
    if (_worker) {
        _worker->finish();
    }
    close();
}

NewScheduleRequest CScheduleWizard::request() const {
    NewScheduleRequest r;
    r.siteId = _siteId;
    r.name = _site->siteName();
    r.address = _site->address();
    r.port = _site->port();
    r.user = _site->user();
    r.password = _site->password();
    r.archiveFrom = _schedule->choice();
    r.timeToStart = _schedule->specificTime();
    r.overwrite = _archiving->overwrite();
    r.alwaysArchive = _archiving->always();
    r.dailyStart = _archiving->start();
    r.dailyStop = _archiving->stop();
    r.groupFilePath = _storage->path();
    r.storagePaths = _storage->storagePaths();
    r.storageSize = _storage->storageBytes();
    return r;
}

// ---- for the pages -------------------------------------------------------------------------------

std::function<void()> CScheduleWizard::whileOpen(std::function<void()> then) {
    std::weak_ptr<CScheduleWizard> weak = weak_from_this();
    return [weak, then = std::move(then)] {
        if (auto self = weak.lock(); self && self->isOpen()) {
            then();
        }
    };
}

void CScheduleWizard::showError(const std::string& text, const std::string& field, bool select) {
    if (!host()) {
        return;
    }
    host()->messageBox(text, MessageIcon::Error, MessageButtons::OK, [focus = whileOpen([this, field, select] {
                                                                          _focusField = field;
                                                                          _focusSelect = select;
                                                                          ++_focusSerial;
                                                                          update();
                                                                      })](int) { focus(); });
}

void CScheduleWizard::ask(const std::string& text, MessageIcon icon, std::function<void(int answer)> then) {
    if (!host()) {
        return;
    }
    std::weak_ptr<CScheduleWizard> weak = weak_from_this();
    host()->messageBox(text, icon, MessageButtons::YesNo, [weak, then = std::move(then)](int answer) {
        if (auto self = weak.lock(); self && self->isOpen()) {
            then(answer);
            self->update();
        }
    });
}

CScheduleWizardWorker& CScheduleWizard::worker() {
    if (!_worker) {
        _worker = CScheduleWizardWorker::start(_controller, _queryTimeout);
    }
    return *_worker;
}

void CScheduleWizard::queryRecordings(int generation) {
    CScheduleWizardWorker::Connection connection{_site->address(), _site->port(), _site->user(), _site->password()};
    std::weak_ptr<CScheduleWizard> weak = weak_from_this();
    worker().query(connection, [weak, generation](std::optional<std::vector<RecordingTimeTableEntry>> table) {
        if (auto self = weak.lock(); self && self->isOpen()) {
            self->_schedule->loaded(generation, table);
            self->update();
        }
    });
}

void CScheduleWizard::createSchedule() {
    const NewScheduleRequest request = this->request();
    const int handle = _document.beginNewSchedule(request);
    if (handle < 0) {
        return; // the document told the user why
    }
    _busy = true;
    _progressIndex = 0;
    _progressCount = static_cast<int>(request.storagePaths.size());
    _progressPath.clear();
    _focusField.clear();
    update();
    CTidevaultDoc::StorageGroupJob job = _document.storageGroupJob(request);
    std::weak_ptr<CScheduleWizard> weak = weak_from_this();
    CScheduleWizardWorker* worker = &this->worker();
    // The job runs on the worker's thread while the worker lives.
    worker->run([worker, job = std::move(job), weak, handle, request] {
        const StorageGroupBuild build = job([worker, weak](int index, int count, const std::string& path) {
            if (worker->isFinishing()) {
                return false; // the wizard was closed under it (the application ends)
            }
            worker->post([weak, index, count, path] {
                if (auto self = weak.lock()) {
                    self->showProgress(index, count, path);
                }
            });
            return true;
        });
        worker->post([weak, handle, request, build] {
            if (auto self = weak.lock()) {
                self->created(handle, request, build);
            }
        });
    });
}

void CScheduleWizard::showProgress(int index, int count, const std::string& path) {
    if (!_busy) {
        return;
    }
    _progressIndex = index;
    _progressCount = count;
    _progressPath = path;
    update();
}

void CScheduleWizard::created(int handle, const NewScheduleRequest& request, const StorageGroupBuild& build) {
    _busy = false;
    _createdHandle = _document.finishNewSchedule(handle, request, build);
    if (_createdHandle >= 0) {
        closeWizard();
    } else {
        update(); // the document told the user why; the values may be changed and tried again
    }
}

} // namespace ostrel
