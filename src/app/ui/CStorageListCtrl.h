#pragma once

#include "app/persistence/StorageEntry.h"
#include "app/ui/CToolTipListCtrl.h"
#include "base/Interval.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ostrel {

// The storage manager's list of a site's storage files: one row per storage
// entry in entry-number order, the row's item data being the entry number;
// the file name cell's tip is the entry's full path.
class CStorageListCtrl : public CToolTipListCtrl {
public:
    enum ColumnIndex { ColumnNone = 0, ColumnFilename = 1, ColumnCapacity = 2, ColumnPeriod = 3, ColumnStatus = 4 };

    CStorageListCtrl();

    // Refills the rows (the selection is dropped: entry numbers change on every reopen).
    void setEntries(const std::map<int, StorageEntry>& entries);
    const std::map<int, StorageEntry>& entries() const { return _entries; }
    // The entry numbers of the selected rows, in list order.
    std::vector<int> selectedEntries() const;
    // The entry of a row (an Unknown entry outside the list).
    StorageEntry entryOfRow(int row) const;

    bool hasCellTip(int row, int column) const override;
    std::string cellTipText(int row, int column) const override;

    // "%d MB" below 1000 MB (bytes / 1000 / 1000), else "%.1f GB" of the MB
    // rounded to hundreds (1,049 MB: 1.0 GB; 1,050 MB: 1.1 GB).
    static std::string sizeText(uint64_t bytes);
    // "%d/%02d/%02d %02d:%02d:%02d ~ %d/%02d/%02d %02d:%02d:%02d", "-" when either end is unset.
    static std::string periodText(const Interval& interval);
    // The part of the path after its last "/" (the whole path when there is none).
    static std::string fileName(const std::string& path);

private:
    std::map<int, StorageEntry> _entries;
};

} // namespace ostrel
