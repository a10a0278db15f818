#include "app/ui/CToolTipListCtrl.h"

#include <algorithm>

namespace ostrel {

bool CToolTipListCtrl::hasCellTip(int, int) const { return false; }

std::string CToolTipListCtrl::cellTipText(int, int) const { return std::string(); }

std::string CToolTipListCtrl::tipAt(int row, int column) const {
    if (row < 0 || row >= rowCount() || column < 0 || column >= static_cast<int>(_columns.size())) {
        return std::string();
    }
    return hasCellTip(row, column) ? cellTipText(row, column) : std::string();
}

void CToolTipListCtrl::setRows(std::vector<Row> rows) {
    _rows = std::move(rows);
    _selection.clear();
}

int64_t CToolTipListCtrl::itemData(int row) const {
    return row >= 0 && row < rowCount() ? _rows[static_cast<std::size_t>(row)].itemData : -1;
}

int CToolTipListCtrl::findItem(int64_t data) const {
    for (int row = 0; row < rowCount(); ++row) {
        if (_rows[static_cast<std::size_t>(row)].itemData == data) {
            return row;
        }
    }
    return -1;
}

bool CToolTipListCtrl::setSelection(const std::vector<int>& rows) {
    std::vector<int> selection;
    for (int row : rows) {
        if (row >= 0 && row < rowCount()) {
            selection.push_back(row);
        }
    }
    std::sort(selection.begin(), selection.end());
    selection.erase(std::unique(selection.begin(), selection.end()), selection.end());
    if (selection == _selection) {
        return false;
    }
    _selection = std::move(selection);
    return true;
}

nlohmann::json CToolTipListCtrl::toJson() const {
    nlohmann::json columns = nlohmann::json::array();
    for (const Column& c : _columns) {
        columns.push_back({{"header", c.header}, {"width", c.width}, {"align", c.align}});
    }
    nlohmann::json rows = nlohmann::json::array();
    for (const Row& r : _rows) {
        rows.push_back({{"cells", r.cells}, {"item", r.itemData}});
    }
    return {{"columns", columns}, {"rows", rows}, {"selected", _selection}};
}

} // namespace ostrel
