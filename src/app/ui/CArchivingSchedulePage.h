#pragma once

#include "app/ui/CScheduleWizardPage.h"
#include "base/Time.h"

#include <optional>
#include <string>

namespace ostrel {

// Schedule wizard page 3 "Archiving Schedule": when to archive. "Always"
// (default) or "Auto Connection Scheduler" between a daily Start and Stop
// ("HH:mm:ss", defaults 00:00:00 and 23:59:59, enabled only for the
// scheduler), and "Overwrite" (default ticked).
class CArchivingSchedulePage : public CScheduleWizardPage {
public:
    static constexpr const char* Title = "Schedule Wizard : 3. Archiving Schedule";
    static constexpr const char* EqualTimesText = "Start/Stop time must not be equal.";

    explicit CArchivingSchedulePage(CScheduleWizard& wizard) : CScheduleWizardPage(wizard) {}

    const char* title() const override { return Title; }
    const char* name() const override { return "archiving"; }
    nlohmann::json state() const override;
    // "always", "overwrite" (flags), "start", "stop" ("HH:mm:ss"; any other
    // text is ignored, as a time picker never holds one).
    void apply(const nlohmann::json& values) override;
    void onWizardNext(std::function<void()> proceed) override;

    bool always() const { return _always; }
    bool overwrite() const { return _overwrite; }
    const Time& start() const { return _start; }
    const Time& stop() const { return _stop; }

    // "HH:mm:ss" (one or two digits each) within a day.
    static std::optional<Time> parseTime(const std::string& text);
    static std::string timeText(const Time& time);

private:
    bool _always = true;
    Time _start{0, 0, 0};
    Time _stop{23, 59, 59};
    bool _overwrite = true;
};

} // namespace ostrel
