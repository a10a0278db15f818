#include "database/SqlCondition.h"

#include "database/RowSet.h"

namespace ostrel {

void SqlCondition::bindTo(RowSet& rows, int firstIndex) const {
    int index = firstIndex;
    for (const Value& value : _values) {
        if (const auto* number = std::get_if<int64_t>(&value)) {
            rows.bind(index, *number);
        } else {
            rows.bind(index, std::get<std::string>(value));
        }
        ++index;
    }
}

} // namespace ostrel
