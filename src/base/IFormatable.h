#pragma once

#include <cstdarg>
#include <cstddef>

namespace ostrel {

// A text sink that receives printf-style formatted text with a fixed capacity.
class IFormatable {
public:
    virtual ~IFormatable() = default;

    // Clears the text, then appends. Returns false when the text did not fit whole.
    bool format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    // Appends to the current text. Returns false when nothing or only part was written.
    bool append(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    virtual bool vformat(const char* fmt, va_list args) = 0;
    virtual bool vappend(const char* fmt, va_list args) = 0;
    virtual const char* c_str() const = 0;
};

} // namespace ostrel
