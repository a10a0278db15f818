#include "app/ui/CStorageDetailDialog.h"

#include "app/scheduling/MergedTimeTable.h"
#include "app/ui/CStorageListCtrl.h"
#include "base/BitMask32.h"
#include "base/Exception.h"
#include "base/Trace.h"
#include "storage/RecordingRun.h"
#include "storage/Storage.h"

namespace ostrel {

std::vector<Interval> CStorageDetailDialog::recordedIntervals(const Storage& storage) {
    std::vector<RecordingRun> runs;
    storage.recordingTimeTable(BitMask32(0xFFFFFFFFu),
                               Interval(DateTime(1970, 1, 1, 0, 0, 0), DateTime(2100, 12, 31, 11, 59, 59)), runs);
    MergedTimeTable table;
    for (const RecordingRun& run : runs) {
        table.merge(run.interval);
    }
    std::vector<Interval> intervals;
    table.coalesce(GapSeconds, intervals);
    return intervals;
}

CStorageDetailDialog::CStorageDetailDialog(const Storage& storage) : _path(storage.path()) {
    try {
        const uint64_t pages = storage.pageCount();
        const uint64_t freePages = storage.freePageCount();
        const uint64_t pageSize = pages == 0 ? 0 : storage.capacity() / pages;
        const uint64_t used = freePages >= pages ? 0 : (pages - freePages) * pageSize;
        _usage = CStorageListCtrl::sizeText(used) + " / " + CStorageListCtrl::sizeText(storage.fileSize());
        _intervals = recordedIntervals(storage);
    } catch (const Exception& e) {
        // A storage that fails to answer shows what was read before.
        traceException(e);
        if (_usage.empty()) {
            _usage = "-";
        }
    }
    _list.setColumns({{"", 0}, {"Recording Interval", -1, "center"}});
    std::vector<CToolTipListCtrl::Row> rows;
    for (const Interval& interval : _intervals) {
        rows.push_back({{"", CStorageListCtrl::periodText(interval)}, static_cast<int64_t>(rows.size())});
    }
    _list.setRows(std::move(rows));
}

nlohmann::json CStorageDetailDialog::state() const {
    return {{"title", Title},   {"fileLabel", "Storage File :"}, {"file", _path},
            {"usageLabel", "Usage :"}, {"usage", _usage},          {"list", _list.toJson()}};
}

nlohmann::json CStorageDetailDialog::call(const std::string& function, const nlohmann::json& args) {
    if (function == "ok") {
        close();
        return true;
    }
    return DialogController::call(function, args);
}

} // namespace ostrel
