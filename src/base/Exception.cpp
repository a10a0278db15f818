#include "base/Exception.h"

#include "base/FormatableBuffer.h"

#include <cerrno>
#include <cstring>

namespace ostrel {

Exception::Exception(const char* typeName, int code, std::optional<std::string> message,
                     std::source_location where)
    : Exception(typeName, code, std::move(message), where.file_name(), where.function_name(),
                static_cast<int>(where.line())) {}

Exception::Exception(const char* typeName, int code, std::optional<std::string> message,
                     const char* file, const char* function, int line)
    : _typeName(typeName),
      _file(file),
      _line(line),
      _function(function),
      _code(code),
      _message(std::move(message)) {}

void Exception::toString(IFormatable& out) const {
    const char* text = message();
    out.format("%s: %s\tat %s(%s:%d)", _typeName, text ? text : "", _function, _file, _line);
}

const char* Exception::what() const noexcept {
    if (_what.empty()) {
        try {
            _what = toString();
        } catch (...) {
            return _typeName;
        }
    }
    return _what.c_str();
}

SystemException::SystemException(std::source_location where) : SystemException(errno, where) {}

SystemException::SystemException(int error, std::source_location where)
    : Exception("SystemException", error, systemText(error), where) {}

SystemException::SystemException(int error, const std::string& context, std::source_location where)
    : Exception("SystemException", error,
                systemText(error) ? std::optional<std::string>(*systemText(error) + " (" + context + ")")
                                  : std::optional<std::string>(context),
                where) {}

std::optional<std::string> SystemException::systemText(int error) {
    const char* text = ::strerrordesc_np(error);
    if (text == nullptr) {
        return std::nullopt;
    }
    return std::string(text);
}

AssertionFailException::AssertionFailException(const char* condition, std::source_location where)
    : Exception("AssertionFailException", 0, std::string(condition), where) {}

StandardException::StandardException(const std::exception& cause)
    : Exception("UnknownException", 0, std::string(cause.what()), "unknown_file", "unknown_function", 0) {}

void StandardException::toString(IFormatable& out) const {
    out.format("%s: %s", typeName(), message() ? message() : "");
}

UnknownException::UnknownException()
    : Exception("UnknownException", 0, std::string("unknown_message"), "unknown_file", "unknown_function",
                0) {}

void UnknownException::toString(IFormatable& out) const { out.format("%s", typeName()); }

} // namespace ostrel
