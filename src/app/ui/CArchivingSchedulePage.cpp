#include "app/ui/CArchivingSchedulePage.h"

#include "app/ui/CScheduleWizard.h"

#include <cstdio>

namespace ostrel {

nlohmann::json CArchivingSchedulePage::state() const {
    return {{"always", _always},
            {"start", timeText(_start)},
            {"stop", timeText(_stop)},
            {"timesEnabled", !_always},
            {"overwrite", _overwrite}};
}

std::optional<Time> CArchivingSchedulePage::parseTime(const std::string& text) {
    int field[3] = {0, 0, 0};
    int index = 0;
    int digits = 0;
    for (char c : text) {
        if (c == ':') {
            if (digits == 0 || ++index > 2) {
                return std::nullopt;
            }
            digits = 0;
        } else if (c >= '0' && c <= '9' && digits < 2) {
            field[index] = field[index] * 10 + (c - '0');
            ++digits;
        } else {
            return std::nullopt;
        }
    }
    if (index != 2 || digits == 0 || field[0] > 23 || field[1] > 59 || field[2] > 59) {
        return std::nullopt;
    }
    return Time(field[0], field[1], field[2]);
}

std::string CArchivingSchedulePage::timeText(const Time& time) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", time.hour(), time.minute(), time.second());
    return text;
}

void CArchivingSchedulePage::apply(const nlohmann::json& values) {
    takeFlag(values, "always", _always);
    takeFlag(values, "overwrite", _overwrite);
    for (auto [key, field] : {std::pair{"start", &_start}, std::pair{"stop", &_stop}}) {
        std::string text;
        takeText(values, key, text);
        if (auto time = parseTime(text)) {
            *field = *time;
        }
    }
}

void CArchivingSchedulePage::onWizardNext(std::function<void()> proceed) {
    if (!_always && _start == _stop) {
        _wizard.showError(EqualTimesText, "start", false);
        return;
    }
    proceed();
}

} // namespace ostrel
