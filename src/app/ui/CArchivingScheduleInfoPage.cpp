#include "app/ui/CArchivingScheduleInfoPage.h"

#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteContainer.h"
#include "app/ui/CTidevaultDoc.h"
#include "app/ui/DialogHost.h"

#include <stdexcept>

namespace ostrel {

CArchivingScheduleInfoPage::CArchivingScheduleInfoPage(CTidevaultDoc& document, SiteContainer& sites, int handle,
                                                       const Clock& clock)
    : _document(document), _sites(sites), _handle(handle), _clock(clock) {}

RecordSite* CArchivingScheduleInfoPage::site() const { return _sites.findByHandle(_handle); }

void CArchivingScheduleInfoPage::load() {
    if (RecordSite* s = site()) {
        _always = s->alwaysArchive();
        _overwrite = s->overwrite();
        // A site that always archives shows the pickers' defaults.
        _start = s->alwaysArchive() ? Time(0, 0, 0) : s->archiveStart();
        _stop = s->alwaysArchive() ? Time(23, 59, 59) : s->archiveStop();
    }
    _touched = false;
}

nlohmann::json CArchivingScheduleInfoPage::state() const {
    return {{"title", Title},
            {"always", _always},
            {"start", _start.toString()},
            {"stop", _stop.toString()},
            {"timesEnabled", !_always},
            {"overwrite", _overwrite}};
}

std::optional<Time> CArchivingScheduleInfoPage::parseTime(const std::string& text) {
    int field[3] = {0, 0, 0};
    int index = 0;
    int digits = 0;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            if (++digits > 2) {
                return std::nullopt;
            }
            field[index] = field[index] * 10 + (c - '0');
        } else if (c == ':' && digits > 0 && index < 2) {
            ++index;
            digits = 0;
        } else {
            return std::nullopt;
        }
    }
    if (index != 2 || digits == 0 || field[0] > 23 || field[1] > 59 || field[2] > 59) {
        return std::nullopt;
    }
    return Time(field[0], field[1], field[2]);
}

void CArchivingScheduleInfoPage::edit(const nlohmann::json& fields) {
    if (!fields.is_object()) {
        throw std::invalid_argument("the schedule page's fields are an object");
    }
    // Checked whole before anything changes.
    bool always = _always;
    bool overwrite = _overwrite;
    Time start = _start;
    Time stop = _stop;
    bool touched = _touched;
    for (const auto& [key, value] : fields.items()) {
        if (key == "always" || key == "overwrite") {
            if (!value.is_boolean()) {
                throw std::invalid_argument(key + " is true or false");
            }
            (key == "always" ? always : overwrite) = value.get<bool>();
            touched = touched || key == "always";
        } else if (key == "start" || key == "stop") {
            const auto time = value.is_string() ? parseTime(value.get<std::string>()) : std::nullopt;
            if (!time) {
                throw std::invalid_argument(key + " is written HH:mm:ss");
            }
            (key == "start" ? start : stop) = *time;
            touched = true;
        } else {
            throw std::invalid_argument("the schedule page has no field " + key);
        }
    }
    _always = always;
    _overwrite = overwrite;
    _start = start;
    _stop = stop;
    _touched = touched;
}

std::optional<std::string> CArchivingScheduleInfoPage::validate() const {
    if (_touched && !_always && _start == _stop) {
        return std::string(EqualTimes);
    }
    return std::nullopt;
}

bool CArchivingScheduleInfoPage::isModified() const {
    RecordSite* s = site();
    return s && (_touched || _overwrite != s->overwrite());
}

void CArchivingScheduleInfoPage::apply(DialogHost& dialogs, std::function<void(bool)> done) {
    RecordSite* s = site();
    if (!s) {
        done(false);
        return;
    }
    if (_overwrite != s->overwrite()) {
        _document.setOverwrite(_handle, _overwrite);
    }
    if (!_touched) {
        done(true);
        return;
    }
    _touched = false;
    if (_always) {
        _document.setAlways(_handle);
        _document.start(_handle, true);
        done(true);
        return;
    }
    _document.setPeriod(_handle, _start, _stop);
    s = site();
    if (s && s->inPeriod(_clock.now().time())) {
        _document.start(_handle, true);
        done(true);
        return;
    }
    if (s && s->archiving()) {
        const int handle = _handle;
        CTidevaultDoc& document = _document;
        dialogs.messageBox(StopQuestion, MessageIcon::Question, MessageButtons::YesNo,
                           [handle, &document, done = std::move(done)](int answer) {
                               if (answer == Answer::Yes) {
                                   document.stop(handle);
                               } else {
                                   document.cancelRestart(handle);
                               }
                               done(true);
                           });
        return;
    }
    _document.cancelRestart(_handle);
    done(true);
}

} // namespace ostrel
