#include "network/socket/NetworkChannel.h"

#include "network/socket/SocketException.h"

#include <cerrno>

namespace ostrel {

NetworkChannel::~NetworkChannel() {
    if (_socket >= 0) {
        _api->close(_socket);
    }
}

void NetworkChannel::open() {
    close();
    const int socket = createSocket();
    if (socket < 0) {
        throw SocketException(errno);
    }
    _socket = socket;
}

void NetworkChannel::close() {
    if (_socket >= 0) {
        const int socket = _socket;
        _socket = -1;
        onClosed();
        _api->closeSocket(socket);
    }
}

void NetworkChannel::adopt(int socket) {
    close();
    _socket = socket;
}

} // namespace ostrel
