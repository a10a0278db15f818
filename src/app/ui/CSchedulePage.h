#pragma once

#include "app/scheduling/MergedTimeTable.h"
#include "app/ui/CScheduleWizardPage.h"
#include "base/DateTime.h"
#include "network/protocol/playback/RecordingTimeTableEntry.h"

#include <optional>
#include <string>
#include <vector>

namespace ostrel {

// Schedule wizard page 2 "Recording Data to Archive": where archiving starts.
// Radio buttons First (default), Last and Specific, a date-and-time field
// ("yyyy/MM/dd HH:mm:ss", enabled for Specific), and the site's recordings:
// "Load" asks the site (through the wizard's own playback client) for its
// recording time table and lists it merged, one "from ~ to" row per interval.
class CSchedulePage : public CScheduleWizardPage {
public:
    static constexpr const char* Title = "Schedule Wizard : 2. Recording Data to Archive";
    static constexpr const char* ConnectingText = "Connecting...";
    static constexpr const char* NoDataText = "There is no data recorded.";
    static constexpr const char* CannotConnectText = "Cannot connect to the site..";
    // Intervals less than this many seconds apart are shown as one row.
    static constexpr int MergeGapSeconds = 5;
    // The list's one column.
    static constexpr const char* ColumnText = "Recording Interval";

    explicit CSchedulePage(CScheduleWizard& wizard);

    const char* title() const override { return Title; }
    const char* name() const override { return "schedule"; }
    nlohmann::json state() const override;
    // "choice" (1 First, 2 Last, 3 Specific), "time" ("yyyy/MM/dd HH:mm:ss";
    // a text that is not such a time within 1900 to 2100 is ignored, as a
    // date-and-time picker never holds one).
    void apply(const nlohmann::json& values) override;
    // Clears the list and the status line when page 1's values changed.
    void onSetActive() override;
    // Takes the field's time as the specific time.
    void onWizardNext(std::function<void()> proceed) override;

    // "Load": asks the site of page 1 for its recordings.
    void load();
    // The answer of the load `generation` (controller thread): the site's
    // time table, or nothing when it could not be reached.
    void loaded(int generation, const std::optional<std::vector<RecordingTimeTableEntry>>& table);

    int choice() const { return _choice; }
    const DateTime& time() const { return _time; }
    const DateTime& specificTime() const { return _specificTime; }
    const std::vector<std::string>& rows() const { return _rows; }
    const std::string& status() const { return _status; }
    bool isLoading() const { return _loading; }
    int generation() const { return _generation; }

    // "%d/%02d/%02d %02d:%02d:%02d ~ %d/%02d/%02d %02d:%02d:%02d".
    static std::string rowText(const Interval& interval);
    // A "yyyy/MM/dd HH:mm:ss" time of the years 1900 to 2100.
    static std::optional<DateTime> parseTime(const std::string& text);

private:
    void clearList();

    int _choice = 1;
    DateTime _time;
    DateTime _specificTime;
    MergedTimeTable _table;
    std::vector<std::string> _rows;
    std::string _status;
    bool _loading = false;
    // Bumped by every load and every clear, so a late answer is dropped.
    int _generation = 0;
};

} // namespace ostrel
