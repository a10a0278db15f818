#include "network/socket/SocketApiWrapper.h"

#include "network/socket/SocketException.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ostrel {

int SocketApiWrapper::createTcpSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP); }

void SocketApiWrapper::closeSocket(int socket) {
    // The descriptor is gone after close() even when it reports EINTR, so that is not retried.
    if (::close(socket) != 0 && errno != EINTR) {
        throw SocketException(errno);
    }
}

void SocketApiWrapper::configureBlocking(int socket, bool blocking) {
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0) {
        throw SocketException(errno);
    }
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    if (wanted != flags && ::fcntl(socket, F_SETFL, wanted) != 0) {
        throw SocketException(errno);
    }
}

void SocketApiWrapper::listen(int socket, int backlog) {
    if (::listen(socket, backlog) != 0) {
        throw SocketException(errno);
    }
}

void SocketApiWrapper::bind(int socket, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw SocketException(errno);
    }
}

void SocketApiWrapper::getSocketName(int socket, sockaddr_in& address) {
    socklen_t length = sizeof address;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw SocketException(errno);
    }
}

void SocketApiWrapper::getPeerName(int socket, sockaddr_in& address) {
    socklen_t length = sizeof address;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw SocketException(errno);
    }
}

int SocketApiWrapper::getSocketError(int socket) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        throw SocketException(errno);
    }
    return error;
}

} // namespace ostrel
