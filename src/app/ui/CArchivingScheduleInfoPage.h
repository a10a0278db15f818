#pragma once

#include "base/Clock.h"
#include "base/Time.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>

namespace ostrel {

class CTidevaultDoc;
class DialogHost;
class RecordSite;
class SiteContainer;

// The "Archiving Schedule" page of a site's info sheet: archive always or
// daily between a start and a stop time ("HH:mm:ss"), and whether the oldest
// data is overwritten when the storage is full. Apply hands the changes to
// the document and starts, stops or leaves archiving as the new period says.
class CArchivingScheduleInfoPage {
public:
    static constexpr const char* Title = "Archiving Schedule";
    static constexpr const char* EqualTimes = "Start/Stop time must not be equal.";
    static constexpr const char* StopQuestion =
        "Archiving is in progress, but new archiving schedule does NOT include current time. Do you want to stop?";

    CArchivingScheduleInfoPage(CTidevaultDoc& document, SiteContainer& sites, int handle,
                               const Clock& clock = Clock::system());

    // Takes the controls from the site; the period counts as untouched.
    void load();
    nlohmann::json state() const;
    // "always" (bool), "start" and "stop" ("HH:mm:ss"), "overwrite" (bool).
    // The first three mark the period as touched. Throws std::invalid_argument
    // for anything else.
    void edit(const nlohmann::json& fields);

    // The refusal of the entered values, if any ("Start/Stop time must not be equal.").
    std::optional<std::string> validate() const;
    // Applies the page; `done(true)` once it is applied (after the stop question
    // when one is asked), `done(false)` when the site no longer exists.
    void apply(DialogHost& dialogs, std::function<void(bool)> done);

    bool isModified() const;
    bool periodTouched() const { return _touched; }

    // "HH:mm:ss" (one or two digits each) into a time; nullopt for anything else.
    static std::optional<Time> parseTime(const std::string& text);

private:
    RecordSite* site() const;

    CTidevaultDoc& _document;
    SiteContainer& _sites;
    const int _handle;
    const Clock& _clock;

    bool _always = true;
    Time _start{0, 0, 0};
    Time _stop{23, 59, 59};
    bool _overwrite = true;
    bool _touched = false;
};

} // namespace ostrel
