#include "network/socket/ServerSocketChannel.h"

#include "network/socket/SocketApiWrapper.h"
#include "network/socket/SocketChannel.h"
#include "network/socket/SocketException.h"

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

namespace ostrel {

int ServerSocketChannel::createSocket() { return SocketApiWrapper::createTcpSocket(); }

void ServerSocketChannel::onClosed() {
    _bound = false;
    _address.unset();
}

void ServerSocketChannel::bind(uint16_t port, int backlog) {
    _bound = false;
    SocketApiWrapper::bind(socket(), port);
    if (port == 0) {
        sockaddr_in raw{};
        SocketApiWrapper::getSocketName(socket(), raw);
        port = ntohs(raw.sin_port);
    }
    _address = SocketAddress::localAddress();
    _address.setPort(port);
    _bound = true;
    SocketApiWrapper::listen(socket(), backlog);
}

void ServerSocketChannel::accept(SocketChannel& channel) {
    if (!_bound) {
        throw SocketException(0, "Socket is not bound yet");
    }
    SocketAddress peer;
    const int socket = implAccept(peer);
    if (socket < 0) {
        throw SocketException(errno);
    }
    channel.accepted(socket, peer);
}

int ServerSocketChannel::implAccept(SocketAddress& address) {
    sockaddr_in raw{};
    socklen_t length = sizeof raw;
    int socket;
    do {
        socket = ::accept4(this->socket(), reinterpret_cast<sockaddr*>(&raw), &length, SOCK_CLOEXEC);
    } while (socket < 0 && errno == EINTR);
    if (socket >= 0) {
        address = SocketAddress(raw);
    }
    return socket;
}

void ServerSocketChannel::setReuseAddress(bool reuse) {
    const int value = reuse ? 1 : 0;
    if (::setsockopt(socket(), SOL_SOCKET, SO_REUSEADDR, &value, sizeof value) != 0) {
        throw SocketException(errno);
    }
}

} // namespace ostrel
