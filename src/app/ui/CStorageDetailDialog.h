#pragma once

#include "app/ui/CToolTipListCtrl.h"
#include "app/ui/DialogController.h"
#include "base/Interval.h"

#include <string>
#include <vector>

namespace ostrel {

class Storage;

// "Storage Detail": one open storage's file, its usage and its recorded
// intervals (every channel's recording time table merged, neighbours less
// than 5 seconds apart shown as one row). Everything is read when the dialog
// is made, so nothing refers to the storage once it is shown (the group may
// reopen meanwhile).
class CStorageDetailDialog : public DialogController {
public:
    static constexpr const char* Title = "Storage Detail";
    static constexpr int GapSeconds = 5;

    explicit CStorageDetailDialog(const Storage& storage);

    std::string kind() const override { return "storageDetail"; }
    nlohmann::json state() const override;
    // "ok": closes.
    nlohmann::json call(const std::string& function, const nlohmann::json& args) override;

    const std::string& path() const { return _path; }
    // "%s / %s": used and file size as size texts.
    const std::string& usage() const { return _usage; }
    const std::vector<Interval>& intervals() const { return _intervals; }
    const CToolTipListCtrl& list() const { return _list; }

    // The storage's recorded intervals over all channels, merged and coalesced.
    static std::vector<Interval> recordedIntervals(const Storage& storage);

private:
    std::string _path;
    std::string _usage;
    std::vector<Interval> _intervals;
    CToolTipListCtrl _list;
};

} // namespace ostrel
