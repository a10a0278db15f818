#include "base/ByteBufferException.h"

namespace ostrel {

ByteBufferException::ByteBufferException(int code, std::source_location where)
    : Exception("ByteBufferException", code, std::string(codeText(code)), where) {}

const char* ByteBufferException::codeText(int code) {
    switch (code) {
    case Overflow:
        return "overflow";
    case Underflow:
        return "underflow";
    case IllegalArgument:
        return "illegal argument";
    case IndexOutOfRange:
        return "index out of range";
    case OutOfMemory:
        return "out of memory";
    default:
        return "unknown";
    }
}

} // namespace ostrel
