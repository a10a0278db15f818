#pragma once

#include <cstdint>

struct sockaddr_in;

namespace ostrel {

// The socket calls of the network layer, each either succeeding or throwing
// SocketException with errno (IPv4 TCP only).
class SocketApiWrapper {
public:
    // A new IPv4 stream socket (close-on-exec), or -1 on failure (errno kept).
    static int createTcpSocket();
    static void closeSocket(int socket);
    static void configureBlocking(int socket, bool blocking);
    static void listen(int socket, int backlog);
    // Binds to any local address and the given port.
    static void bind(int socket, uint16_t port);
    static void getSocketName(int socket, sockaddr_in& address);
    static void getPeerName(int socket, sockaddr_in& address);
    // The socket's pending error (SO_ERROR), 0 when none.
    static int getSocketError(int socket);
};

} // namespace ostrel
