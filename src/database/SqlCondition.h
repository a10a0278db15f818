#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace ostrel {

class RowSet;

// A WHERE clause with "?" placeholders and the values bound to them in order,
// so a condition that carries user input never pastes it into SQL.
class SqlCondition {
public:
    using Value = std::variant<int64_t, std::string>;

    SqlCondition() = default;
    explicit SqlCondition(std::string text) : _text(std::move(text)) {}

    // Appends text and one value for each of its placeholders.
    SqlCondition& append(const std::string& text) {
        _text += text;
        return *this;
    }
    SqlCondition& value(int64_t v) {
        _values.emplace_back(v);
        return *this;
    }
    SqlCondition& value(const std::string& v) {
        _values.emplace_back(v);
        return *this;
    }

    const std::string& text() const { return _text; }
    const std::vector<Value>& values() const { return _values; }
    bool empty() const { return _text.empty(); }

    // Binds the values to parameters firstIndex, firstIndex + 1, ...
    void bindTo(RowSet& rows, int firstIndex = 1) const;

private:
    std::string _text;
    std::vector<Value> _values;
};

} // namespace ostrel
