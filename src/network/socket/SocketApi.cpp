#include "network/socket/SocketApi.h"

#include "network/socket/PosixSocketApi.h"
#include "network/socket/SocketException.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>

namespace ostrel {

SocketApi& SocketApi::posix() {
    static PosixSocketApi api;
    return api;
}

void SocketApi::closeSocket(int socket) {
    if (close(socket) != 0 && errno != EINTR) {
        throw SocketException(errno);
    }
}

void SocketApi::configureBlocking(int socket, bool blocking) {
    if (setBlocking(socket, blocking) != 0) {
        throw SocketException(errno);
    }
}

void SocketApi::bindAny(int socket, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (bind(socket, address) != 0) {
        throw SocketException(errno);
    }
}

void SocketApi::listenOn(int socket, int backlog) {
    if (listen(socket, backlog) != 0) {
        throw SocketException(errno);
    }
}

void SocketApi::socketName(int socket, sockaddr_in& address) {
    if (localName(socket, address) != 0) {
        throw SocketException(errno);
    }
}

void SocketApi::peerAddress(int socket, sockaddr_in& address) {
    if (peerName(socket, address) != 0) {
        throw SocketException(errno);
    }
}

int SocketApi::socketError(int socket) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getOption(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        throw SocketException(errno);
    }
    return error;
}

} // namespace ostrel
