#pragma once

#include "base/Exception.h"

#include <optional>
#include <source_location>
#include <string>

namespace ostrel {

// A failed socket call: the errno value, and either the text of the throw
// site or the system's text for the error (at most 255 characters).
class SocketException : public Exception {
public:
    static constexpr size_t MaxMessageLength = 255;

    explicit SocketException(int error, std::source_location where = std::source_location::current());
    SocketException(int error, std::string message, std::source_location where = std::source_location::current());

protected:
    SocketException(const char* typeName, int error, std::optional<std::string> message, std::source_location where);

    static std::string cut(std::string message);
};

// A socket address that could not be built.
class SocketAddressException : public Exception {
public:
    SocketAddressException(int code, std::string message,
                           std::source_location where = std::source_location::current());

protected:
    SocketAddressException(const char* typeName, int code, std::string message, std::source_location where);
};

// Name resolution failed; the code is the resolver's (getaddrinfo EAI_*
// value) and the message its text.
class SocketAddressInfoException : public SocketAddressException {
public:
    explicit SocketAddressInfoException(int resolverCode,
                                        std::source_location where = std::source_location::current());
};

} // namespace ostrel
