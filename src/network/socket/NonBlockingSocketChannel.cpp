#include "network/socket/NonBlockingSocketChannel.h"

#include "network/socket/SocketApiWrapper.h"
#include "network/socket/SocketException.h"

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

namespace ostrel {

int NonBlockingSocketChannel::createSocket() {
    const int socket = SocketApiWrapper::createTcpSocket();
    if (socket >= 0) {
        try {
            SocketApiWrapper::configureBlocking(socket, false);
        } catch (...) {
            SocketApiWrapper::closeSocket(socket);
            throw;
        }
    }
    return socket;
}

bool NonBlockingSocketChannel::implConnect(int socket, const sockaddr_in& address) {
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return true;
    }
    // EINTR: the connect goes on asynchronously, just as with EINPROGRESS.
    if (errno == EINPROGRESS || errno == EINTR || errno == EAGAIN) {
        return false;
    }
    throw SocketException(errno);
}

} // namespace ostrel
