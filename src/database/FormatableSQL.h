#pragma once

#include "base/IFormatable.h"

#include <cstdarg>

namespace ostrel {

// SQL text built by SQLite's own formatter, so the directives %q (a text with
// its single quotes doubled), %Q (the same, quoted, or NULL) and %w (an
// identifier with its double quotes doubled) are available beside printf's.
// Used for the parts of a statement that cannot be bound, such as a table name;
// values are bound through RowSet instead.
class FormatableSQL final : public IFormatable {
public:
    FormatableSQL() = default;
    // Formats at once.
    explicit FormatableSQL(const char* fmt, ...);
    ~FormatableSQL() override;
    FormatableSQL(const FormatableSQL&) = delete;
    FormatableSQL& operator=(const FormatableSQL&) = delete;

    bool vformat(const char* fmt, va_list args) override;
    bool vappend(const char* fmt, va_list args) override;
    // The text, "" when none was formatted.
    const char* c_str() const override { return _text ? _text : ""; }

private:
    char* _text = nullptr;
};

} // namespace ostrel
