#include "app/ui/CStorageListCtrl.h"

#include <cstdio>

namespace ostrel {

CStorageListCtrl::CStorageListCtrl() {
    setColumns({{"", 0}, {"Filename", 180}, {"Capacity", 80}, {"Period", 280}, {"Status", -1}});
}

std::string CStorageListCtrl::sizeText(uint64_t bytes) {
    const uint64_t mb = bytes / 1000 / 1000;
    char text[48];
    if (mb < 1000) {
        std::snprintf(text, sizeof text, "%d MB", static_cast<int>(mb));
    } else {
        // Tenths of a GB, half up, in integers (a double would round 1,050 MB down).
        const uint64_t tenths = (mb + 50) / 100;
        std::snprintf(text, sizeof text, "%llu.%llu GB", static_cast<unsigned long long>(tenths / 10),
                      static_cast<unsigned long long>(tenths % 10));
    }
    return text;
}

std::string CStorageListCtrl::periodText(const Interval& interval) {
    const DateTime& a = interval.from();
    const DateTime& b = interval.to();
    if (!a.isSet() || !b.isSet()) {
        return "-";
    }
    char text[96];
    std::snprintf(text, sizeof text, "%d/%02d/%02d %02d:%02d:%02d ~ %d/%02d/%02d %02d:%02d:%02d", a.year(), a.month(),
                  a.day(), a.hour(), a.minute(), a.second(), b.year(), b.month(), b.day(), b.hour(), b.minute(),
                  b.second());
    return text;
}

std::string CStorageListCtrl::fileName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void CStorageListCtrl::setEntries(const std::map<int, StorageEntry>& entries) {
    _entries = entries;
    std::vector<Row> rows;
    for (const auto& [number, entry] : entries) {
        const bool known = entry.status != StorageEntry::Unknown && entry.status != StorageEntry::NotFound;
        const char* status = StorageEntry::statusText(entry.status);
        rows.push_back({{"", fileName(entry.path), known ? sizeText(entry.fileSize) : "-",
                         known ? periodText(entry.recorded) : "-",
                         entry.status >= StorageEntry::Good && entry.status <= StorageEntry::OpenError ? status
                                                                                                        : "Unknown"},
                        number});
    }
    setRows(std::move(rows));
}

std::vector<int> CStorageListCtrl::selectedEntries() const {
    std::vector<int> numbers;
    for (int row : selection()) {
        numbers.push_back(static_cast<int>(itemData(row)));
    }
    return numbers;
}

StorageEntry CStorageListCtrl::entryOfRow(int row) const {
    const auto it = _entries.find(static_cast<int>(itemData(row)));
    return it == _entries.end() ? StorageEntry() : it->second;
}

bool CStorageListCtrl::hasCellTip(int row, int column) const { return row >= 0 && column == ColumnFilename; }

std::string CStorageListCtrl::cellTipText(int row, int) const { return entryOfRow(row).path; }

} // namespace ostrel
