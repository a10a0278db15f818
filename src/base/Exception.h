#pragma once

#include "base/IStringConvertable.h"

#include <exception>
#include <optional>
#include <source_location>
#include <string>

namespace ostrel {

// Root of every failure the libraries throw. Carries where it was thrown
// (source file, line, function signature), the type name, a code and an
// optional message. Throw sites pass nothing for the location: the
// constructors default it to the caller's std::source_location.
class Exception : public std::exception, public IStringConvertable {
public:
    Exception(const char* typeName, int code, std::optional<std::string> message,
              std::source_location where = std::source_location::current());
    // For exceptions that do not know their origin (file, function and line given).
    Exception(const char* typeName, int code, std::optional<std::string> message, const char* file,
              const char* function, int line);

    using IStringConvertable::toString;
    // "%s: %s\tat %s(%s:%d)": type name, message, function, file, line.
    void toString(IFormatable& out) const override;
    virtual int code() const { return _code; }
    // The message, or nullptr when the exception has none.
    virtual const char* message() const { return _message ? _message->c_str() : nullptr; }
    // What to tell a person: the message (with whatever detail a subclass
    // carries), or the type's name when there is none.
    virtual std::string messageText() const { return message() ? message() : typeName(); }

    const char* typeName() const { return _typeName; }
    const char* file() const { return _file; }
    int line() const { return _line; }
    const char* function() const { return _function; }

    // The toString() text, so a plain std::exception handler still says everything.
    const char* what() const noexcept override;

private:
    const char* _typeName;
    const char* _file;
    int _line;
    const char* _function;
    int _code;
    std::optional<std::string> _message;
    mutable std::string _what;
};

// An operating-system failure: the errno value and its system text.
class SystemException : public Exception {
public:
    // Reads errno at construction.
    explicit SystemException(std::source_location where = std::source_location::current());
    // Takes a saved error number (for example one saved before cleaning up).
    explicit SystemException(int error, std::source_location where = std::source_location::current());
    // Adds what was being done (for example the path) after the system text.
    SystemException(int error, const std::string& context,
                    std::source_location where = std::source_location::current());

    // The system's text for an error number, or std::nullopt when it has none.
    static std::optional<std::string> systemText(int error);
};

// A failed assertion while the assertion switch is on; the message is the condition's text.
class AssertionFailException : public Exception {
public:
    explicit AssertionFailException(const char* condition,
                                    std::source_location where = std::source_location::current());
};

// A standard-library exception caught at a thread's top, reported through the family.
class StandardException : public Exception {
public:
    explicit StandardException(const std::exception& cause);
    using Exception::toString;
    // "%s: %s": type name, message.
    void toString(IFormatable& out) const override;
};

// Anything else caught at a thread's top.
class UnknownException : public Exception {
public:
    UnknownException();
    using Exception::toString;
    // "%s": the type name.
    void toString(IFormatable& out) const override;
};

} // namespace ostrel
