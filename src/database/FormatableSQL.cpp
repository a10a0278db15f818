#include "database/FormatableSQL.h"

#include <sqlite3.h>

namespace ostrel {

FormatableSQL::FormatableSQL(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vformat(fmt, args);
    va_end(args);
}

FormatableSQL::~FormatableSQL() { sqlite3_free(_text); }

bool FormatableSQL::vformat(const char* fmt, va_list args) {
    sqlite3_free(_text);
    _text = sqlite3_vmprintf(fmt, args);
    return _text != nullptr;
}

bool FormatableSQL::vappend(const char* fmt, va_list args) {
    char* part = sqlite3_vmprintf(fmt, args);
    if (part == nullptr) {
        return false;
    }
    if (_text == nullptr) {
        _text = part;
        return true;
    }
    char* joined = sqlite3_mprintf("%s%s", _text, part);
    sqlite3_free(part);
    if (joined == nullptr) {
        return false;
    }
    sqlite3_free(_text);
    _text = joined;
    return true;
}

} // namespace ostrel
