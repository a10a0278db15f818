#include "base/IFormatable.h"

namespace ostrel {

bool IFormatable::format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const bool ok = vformat(fmt, args);
    va_end(args);
    return ok;
}

bool IFormatable::append(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const bool ok = vappend(fmt, args);
    va_end(args);
    return ok;
}

} // namespace ostrel
