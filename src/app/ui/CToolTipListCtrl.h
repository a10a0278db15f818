#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace ostrel {

// A report-view list with a tool tip per cell. The page finds the cell under
// the cursor itself (the row whose rectangle holds the point, then the column
// whose header rectangle holds its x) and asks for its tip by row and column;
// subclasses say which cells have one and what it says. The tool of a cell is
// row x 1000 + column, so moving within a cell keeps its tip and moving to the
// next cell asks again. An empty text shows no tip.
class CToolTipListCtrl {
public:
    struct Column {
        std::string header;
        int width = 0; // pixels; -1: the rest of the list's width
        std::string align = "left";
    };
    struct Row {
        std::vector<std::string> cells;
        int64_t itemData = 0;
    };

    virtual ~CToolTipListCtrl() = default;

    // 1. Whether the cell shows a tip.
    virtual bool hasCellTip(int row, int column) const;
    // 2. The tip's text.
    virtual std::string cellTipText(int row, int column) const;

    // The tip the page shows for a cell ("" for none, also outside the list).
    std::string tipAt(int row, int column) const;
    static int toolId(int row, int column) { return row * 1000 + column; }

    void setColumns(std::vector<Column> columns) { _columns = std::move(columns); }
    const std::vector<Column>& columns() const { return _columns; }
    void setRows(std::vector<Row> rows);
    const std::vector<Row>& rows() const { return _rows; }
    int rowCount() const { return static_cast<int>(_rows.size()); }
    int64_t itemData(int row) const;
    // The row whose item data is `data`, or -1.
    int findItem(int64_t data) const;

    // Selected rows, ascending (the list allows several).
    const std::vector<int>& selection() const { return _selection; }
    // Selects exactly these rows; rows outside the list are dropped. True when
    // the selection changed.
    bool setSelection(const std::vector<int>& rows);

    // {columns: [{header, width, align}], rows: [{cells, item}], selected: [row...]}
    nlohmann::json toJson() const;

private:
    std::vector<Column> _columns;
    std::vector<Row> _rows;
    std::vector<int> _selection;
};

} // namespace ostrel
