#include "network/socket/PosixSocketApi.h"

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <unistd.h>

namespace ostrel {

int PosixSocketApi::socket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP); }

int PosixSocketApi::close(int socket) { return ::close(socket); }

int PosixSocketApi::connect(int socket, const sockaddr_in& address) {
    return ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int PosixSocketApi::bind(int socket, const sockaddr_in& address) {
    return ::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

int PosixSocketApi::listen(int socket, int backlog) { return ::listen(socket, backlog); }

int PosixSocketApi::accept(int socket, sockaddr_in& peer) {
    socklen_t length = sizeof peer;
    return ::accept4(socket, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
}

ssize_t PosixSocketApi::recv(int socket, void* bytes, size_t n, int flags) { return ::recv(socket, bytes, n, flags); }

ssize_t PosixSocketApi::send(int socket, const void* bytes, size_t n, int flags) {
    return ::send(socket, bytes, n, flags);
}

int PosixSocketApi::poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) {
    return ::poll(fds, count, timeoutMilliseconds);
}

int PosixSocketApi::shutdown(int socket, int how) { return ::shutdown(socket, how); }

int PosixSocketApi::getOption(int socket, int level, int name, void* value, socklen_t* length) {
    return ::getsockopt(socket, level, name, value, length);
}

int PosixSocketApi::setOption(int socket, int level, int name, const void* value, socklen_t length) {
    return ::setsockopt(socket, level, name, value, length);
}

int PosixSocketApi::localName(int socket, sockaddr_in& address) {
    socklen_t length = sizeof address;
    return ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
}

int PosixSocketApi::peerName(int socket, sockaddr_in& address) {
    socklen_t length = sizeof address;
    return ::getpeername(socket, reinterpret_cast<sockaddr*>(&address), &length);
}

int PosixSocketApi::setBlocking(int socket, bool blocking) {
    const int flags = ::fcntl(socket, F_GETFL);
    if (flags < 0) {
        return -1;
    }
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags ? 0 : ::fcntl(socket, F_SETFL, wanted);
}

} // namespace ostrel
