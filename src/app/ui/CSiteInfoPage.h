#pragma once

#include "base/DateTime.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace ostrel {

class ArchivingScheduler;
class CTidevaultDoc;
class RecordSite;
class SiteContainer;
class SystemLogger;

// The "Site" page of a site's info sheet: its name and connection (the
// password is never shown: the page gets a fixed placeholder, and only a
// password the user typed comes back), its recorded period, status and
// storage usage, and the archive-from point chosen with "Reschedule..." that
// waits for Apply. Apply validates, logs each change and hands the changes to
// the document's commands.
class CSiteInfoPage {
public:
    static constexpr const char* Title = "Site";
    // What the masked password edit holds until the user changes it (12 characters).
    static constexpr const char* PasswordPlaceholder = "************";
    static constexpr int MinimumPort = 1501;
    static constexpr int MaximumPort = 32001;
    static constexpr const char* NoData = "No Data";

    // Why Apply did not go on: the message (error icon) and the field to focus.
    struct Refusal {
        std::string text;
        std::string field;
        bool select = false; // the field's text is selected too
    };

    CSiteInfoPage(CTidevaultDoc& document, SiteContainer& sites, ArchivingScheduler& scheduler,
                  SystemLogger& logger, int handle);

    // Takes every field from the site (nothing pending, password untouched).
    void load();
    // Status, period and usage from the site and its schedule; true when any changed.
    bool refreshDisplay();
    nlohmann::json state() const;
    // Fields typed in the page: "name", "address", "port" (text), "user",
    // "password" (the first change marks the password as edited). Throws
    // std::invalid_argument for a field it does not know or a value that is not text.
    void edit(const nlohmann::json& fields);

    // The first refusal of the entered values, in the order the page checks them.
    std::optional<Refusal> validate() const;
    // Applies valid values (validate() first): logs the changes, renames the
    // site and updates its connection and archive-from point through the
    // document; then reloads the page. False when the site no longer exists.
    bool apply();

    // A choice of the reschedule dialog (1 first, 2 last, 3 `time`) that waits for Apply.
    void setPending(int choice, const DateTime& time);
    int pendingChoice() const { return _pendingChoice; }
    bool isModified() const;
    bool passwordEdited() const { return _passwordEdited; }
    int handle() const { return _handle; }

    // "" or why a site name cannot be used, by the schedule wizard's rules: the
    // nine characters a file name cannot hold, control characters, "." and "..".
    static std::string nameRefusal(const std::string& name);
    // "%d MB" below 1000 MB, else "%.1f GB" (decimal units).
    static std::string sizeText(uint64_t bytes);
    // "(Scheduled from First)", "(Scheduled from Last)", "(Scheduled from %s)" or "".
    static std::string pendingText(int choice, const DateTime& time);
    // The port's number, or -1 when the text is not a decimal number.
    static long parsePort(const std::string& text);

private:
    RecordSite* site() const;
    // The address without the blanks around it.
    std::string trimmedAddress() const;

    CTidevaultDoc& _document;
    SiteContainer& _sites;
    ArchivingScheduler& _scheduler;
    SystemLogger& _logger;
    const int _handle;

    // What the page shows in its edits.
    std::string _name;
    std::string _address;
    std::string _port;
    std::string _user;
    std::string _password; // only when edited
    bool _passwordEdited = false;
    int _pendingChoice = 0;
    DateTime _pendingTime;

    // Read-only lines.
    std::string _period;
    std::string _status;
    std::string _usage;
};

} // namespace ostrel
