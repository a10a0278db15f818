#include "app/ui/CSchedulePage.h"

#include "app/ui/CScheduleWizard.h"
#include "app/ui/CSitePage.h"

#include <cstdio>

namespace ostrel {

namespace {
std::string pickerText(const DateTime& time) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", time.year(), time.month(), time.day(),
                  time.hour(), time.minute(), time.second());
    return text;
}
} // namespace

CSchedulePage::CSchedulePage(CScheduleWizard& wizard) : CScheduleWizardPage(wizard) {
    const DateTime now = wizard.clock().now();
    _time = DateTime(now.year(), now.month(), now.day(), now.hour(), now.minute(), now.second());
    _specificTime = _time;
}

nlohmann::json CSchedulePage::state() const {
    return {{"choice", _choice},      {"time", pickerText(_time)}, {"timeEnabled", _choice == 3},
            {"column", ColumnText},   {"rows", _rows},             {"status", _status},
            {"loading", _loading}};
}

std::optional<DateTime> CSchedulePage::parseTime(const std::string& text) {
    auto time = DateTime::parse(text);
    if (!time || time->year() < 1900 || time->year() > 2100) {
        return std::nullopt;
    }
    return time;
}

void CSchedulePage::apply(const nlohmann::json& values) {
    if (values.is_object() && values.contains("time") && values["time"].is_string()) {
        if (auto time = parseTime(values["time"].get<std::string>())) {
            _time = *time;
        }
    }
    if (values.is_object() && values.contains("choice") && values["choice"].is_number_integer()) {
        const int choice = values["choice"].get<int>();
        // A click on First or Last (again) puts the recordings' first or last second into the field.
        if (choice >= 1 && choice <= 3) {
            _choice = choice;
            if (!_table.empty() && choice == 1) {
                _time = _table.front().from();
            } else if (!_table.empty() && choice == 2) {
                _time = _table.back().to();
            }
        }
    }
}

void CSchedulePage::clearList() {
    ++_generation;
    _table.clear();
    _rows.clear();
    _status.clear();
    _loading = false;
}

void CSchedulePage::onSetActive() {
    if (_wizard.sitePage().takeChanged()) {
        clearList();
    }
}

void CSchedulePage::onWizardNext(std::function<void()> proceed) {
    _specificTime = _time;
    proceed();
}

void CSchedulePage::load() {
    clearList();
    _loading = true;
    _status = ConnectingText;
    _wizard.queryRecordings(_generation);
}

std::string CSchedulePage::rowText(const Interval& interval) {
    const DateTime& a = interval.from();
    const DateTime& b = interval.to();
    char text[96];
    std::snprintf(text, sizeof text, "%d/%02d/%02d %02d:%02d:%02d ~ %d/%02d/%02d %02d:%02d:%02d", a.year(), a.month(),
                  a.day(), a.hour(), a.minute(), a.second(), b.year(), b.month(), b.day(), b.hour(), b.minute(),
                  b.second());
    return text;
}

void CSchedulePage::loaded(int generation, const std::optional<std::vector<RecordingTimeTableEntry>>& table) {
    if (generation != _generation || !_loading) {
        return; // an answer for values that have changed since
    }
    _loading = false;
    if (!table) {
        _status = CannotConnectText;
        return;
    }
    _table.assign(*table);
    _status = _table.empty() ? NoDataText : "";
    std::vector<Interval> merged;
    _table.coalesce(MergeGapSeconds, merged);
    _rows.clear();
    for (const Interval& interval : merged) {
        _rows.push_back(rowText(interval));
    }
}

} // namespace ostrel
