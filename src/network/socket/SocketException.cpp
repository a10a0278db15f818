#include "network/socket/SocketException.h"

#include <netdb.h>

namespace ostrel {

std::string SocketException::cut(std::string message) {
    if (message.size() > MaxMessageLength) {
        message.resize(MaxMessageLength);
    }
    return message;
}

SocketException::SocketException(int error, std::source_location where)
    : SocketException("SocketException", error, SystemException::systemText(error), where) {}

SocketException::SocketException(int error, std::string message, std::source_location where)
    : SocketException("SocketException", error, std::move(message), where) {}

SocketException::SocketException(const char* typeName, int error, std::optional<std::string> message,
                                 std::source_location where)
    : Exception(typeName, error, message ? std::optional<std::string>(cut(std::move(*message))) : std::nullopt,
                where) {}

SocketAddressException::SocketAddressException(int code, std::string message, std::source_location where)
    : SocketAddressException("SocketAddressException", code, std::move(message), where) {}

SocketAddressException::SocketAddressException(const char* typeName, int code, std::string message,
                                               std::source_location where)
    : Exception(typeName, code,
                message.size() > SocketException::MaxMessageLength
                    ? message.substr(0, SocketException::MaxMessageLength)
                    : message,
                where) {}

SocketAddressInfoException::SocketAddressInfoException(int resolverCode, std::source_location where)
    : SocketAddressException("SocketAddressInfoException", resolverCode, ::gai_strerror(resolverCode), where) {}

} // namespace ostrel
