#include "network/socket/ServerSocketChannel.h"

#include "network/socket/SocketChannel.h"
#include "network/socket/SocketException.h"

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

namespace ostrel {

int ServerSocketChannel::createSocket() { return api().socket(); }

void ServerSocketChannel::onClosed() {
    _bound = false;
    _address.unset();
}

void ServerSocketChannel::bind(uint16_t port, int backlog) {
    _bound = false;
    api().bindAny(socket(), port);
    if (port == 0) {
        sockaddr_in raw{};
        api().socketName(socket(), raw);
        port = ntohs(raw.sin_port);
    }
    _address = SocketAddress::localAddress();
    _address.setPort(port);
    _bound = true;
    api().listenOn(socket(), backlog);
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
    int socket;
    do {
        socket = api().accept(this->socket(), raw);
    } while (socket < 0 && errno == EINTR);
    if (socket >= 0) {
        address = SocketAddress(raw);
    }
    return socket;
}

void ServerSocketChannel::setReuseAddress(bool reuse) {
    const int value = reuse ? 1 : 0;
    if (api().setOption(socket(), SOL_SOCKET, SO_REUSEADDR, &value, sizeof value) != 0) {
        throw SocketException(errno);
    }
}

} // namespace ostrel
