#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

struct sockaddr_in;

namespace ostrel {

// Every socket call the network layer makes (IPv4 TCP only). Channels, the
// wake-up pair and the dispatcher receive one and never call the system
// themselves, so tests can hand them an implementation that injects faults
// (resets, short transfers, EAGAIN and EINTR, stalls) at any step of a
// session.
//
// The primitives answer as the system calls do: -1 with errno set on failure.
// The helpers below them throw SocketException with errno instead.
class SocketApi {
public:
    virtual ~SocketApi() = default;

    // A new IPv4 stream socket, close-on-exec.
    virtual int socket() = 0;
    virtual int close(int socket) = 0;
    virtual int connect(int socket, const sockaddr_in& address) = 0;
    virtual int bind(int socket, const sockaddr_in& address) = 0;
    virtual int listen(int socket, int backlog) = 0;
    // The accepted socket (close-on-exec) and its peer's address.
    virtual int accept(int socket, sockaddr_in& peer) = 0;
    virtual ssize_t recv(int socket, void* bytes, size_t n, int flags) = 0;
    virtual ssize_t send(int socket, const void* bytes, size_t n, int flags) = 0;
    virtual int poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) = 0;
    virtual int shutdown(int socket, int how) = 0;
    virtual int getOption(int socket, int level, int name, void* value, socklen_t* length) = 0;
    virtual int setOption(int socket, int level, int name, const void* value, socklen_t length) = 0;
    virtual int localName(int socket, sockaddr_in& address) = 0;
    virtual int peerName(int socket, sockaddr_in& address) = 0;
    virtual int setBlocking(int socket, bool blocking) = 0;

    // ---- helpers that throw SocketException ---------------------------------
    // The descriptor is gone after close even when it reports EINTR, so that is not an error.
    void closeSocket(int socket);
    void configureBlocking(int socket, bool blocking);
    // Binds to any local address and the port.
    void bindAny(int socket, uint16_t port);
    void listenOn(int socket, int backlog);
    void socketName(int socket, sockaddr_in& address);
    void peerAddress(int socket, sockaddr_in& address);
    // The socket's pending error (SO_ERROR), 0 when none.
    int socketError(int socket);

    // The operating system's sockets.
    static SocketApi& posix();
};

} // namespace ostrel
