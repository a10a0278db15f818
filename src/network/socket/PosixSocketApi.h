#pragma once

#include "network/socket/SocketApi.h"

namespace ostrel {

// The system's sockets, one call each, nothing added.
class PosixSocketApi : public SocketApi {
public:
    int socket() override;
    int close(int socket) override;
    int connect(int socket, const sockaddr_in& address) override;
    int bind(int socket, const sockaddr_in& address) override;
    int listen(int socket, int backlog) override;
    int accept(int socket, sockaddr_in& peer) override;
    ssize_t recv(int socket, void* bytes, size_t n, int flags) override;
    ssize_t send(int socket, const void* bytes, size_t n, int flags) override;
    int poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) override;
    int shutdown(int socket, int how) override;
    int getOption(int socket, int level, int name, void* value, socklen_t* length) override;
    int setOption(int socket, int level, int name, const void* value, socklen_t length) override;
    int localName(int socket, sockaddr_in& address) override;
    int peerName(int socket, sockaddr_in& address) override;
    int setBlocking(int socket, bool blocking) override;
};

} // namespace ostrel
