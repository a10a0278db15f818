#pragma once

#include "base/Exception.h"

#include <source_location>

namespace ostrel {

// Failure of a ByteBuffer operation. Thrown by value; the code says what went
// wrong, so parsers can tell a truncated message (Underflow) from a malformed
// one (IllegalArgument).
class ByteBufferException : public Exception {
public:
    static constexpr int Overflow = 0;         // fewer bytes remain than a put needs
    static constexpr int Underflow = 1;        // fewer bytes remain than a get needs
    static constexpr int IllegalArgument = 2;  // bad position, limit, size or string terminator
    static constexpr int IndexOutOfRange = 3;  // negative offset or length, index outside the buffer
    static constexpr int OutOfMemory = 5;      // the data array could not be allocated

    explicit ByteBufferException(int code, std::source_location where = std::source_location::current());

    // The short text of a code ("overflow", "underflow", ...).
    static const char* codeText(int code);
};

} // namespace ostrel
