#include "network/socket/NonBlockingSocketChannel.h"

#include "network/socket/SocketException.h"

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

namespace ostrel {

int NonBlockingSocketChannel::createSocket() {
    const int socket = api().socket();
    if (socket >= 0) {
        try {
            api().configureBlocking(socket, false);
        } catch (...) {
            api().closeSocket(socket);
            throw;
        }
    }
    return socket;
}

bool NonBlockingSocketChannel::implConnect(int socket, const sockaddr_in& address) {
    if (api().connect(socket, address) == 0) {
        return true;
    }
    // EINTR: the connect goes on asynchronously, just as with EINPROGRESS.
    if (errno == EINPROGRESS || errno == EINTR || errno == EAGAIN) {
        return false;
    }
    throw SocketException(errno);
}

} // namespace ostrel
