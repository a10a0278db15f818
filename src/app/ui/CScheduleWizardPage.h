#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <string>

namespace ostrel {

class CScheduleWizard;

// One page of the schedule wizard: its fields, what it shows and its checks.
// The page in the browser only draws state() and sends the fields back as the
// user edits them (apply); every check runs here, on the controller thread.
class CScheduleWizardPage {
public:
    explicit CScheduleWizardPage(CScheduleWizard& wizard) : _wizard(wizard) {}
    virtual ~CScheduleWizardPage() = default;
    CScheduleWizardPage(const CScheduleWizardPage&) = delete;
    CScheduleWizardPage& operator=(const CScheduleWizardPage&) = delete;

    // The wizard's title while the page shows.
    virtual const char* title() const = 0;
    // The page's name in the wizard's state ("site", "schedule", ...).
    virtual const char* name() const = 0;
    virtual nlohmann::json state() const = 0;
    // The fields as the browser sends them; unknown keys and values of the
    // wrong type are ignored, so the fields keep their last good values.
    virtual void apply(const nlohmann::json& values) = 0;
    // The page is about to show.
    virtual void onSetActive() {}
    // Whether Next (Finish on the last page) is enabled.
    virtual bool canGoOn() const { return true; }
    // Next (Finish on the last page): checks the page and runs `proceed` when
    // it may be left, perhaps later, after the user answered a question.
    virtual void onWizardNext(std::function<void()> proceed) { proceed(); }

protected:
    CScheduleWizard& _wizard;
};

// Reads one string field of the browser's values into `field`.
inline void takeText(const nlohmann::json& values, const char* key, std::string& field) {
    if (values.is_object() && values.contains(key) && values[key].is_string()) {
        field = values[key].get<std::string>();
    }
}

inline void takeFlag(const nlohmann::json& values, const char* key, bool& field) {
    if (values.is_object() && values.contains(key) && values[key].is_boolean()) {
        field = values[key].get<bool>();
    }
}

} // namespace ostrel
