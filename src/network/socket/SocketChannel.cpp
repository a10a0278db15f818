#include "network/socket/SocketChannel.h"

#include "base/ByteBuffer.h"
#include "network/socket/SocketException.h"

#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

namespace ostrel {

int SocketChannel::createSocket() { return api().socket(); }

void SocketChannel::onClosed() {
    _connected = false;
    _remote.unset();
    _local.unset();
}

bool SocketChannel::implConnect(int socket, const sockaddr_in& address) {
    int result;
    do {
        result = api().connect(socket, address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        throw SocketException(errno);
    }
    return true;
}

bool SocketChannel::connect(const SocketAddress& address) {
    const sockaddr_in raw = address.toSockaddr();
    if (!implConnect(socket(), raw)) {
        return false;
    }
    _connected = true;
    _remote = address;
    _local.unset();
    localAddress();
    return true;
}

int SocketChannel::read(int socket, void* bytes, int n) {
    ssize_t count;
    do {
        count = api().recv(socket, bytes, static_cast<size_t>(n), 0);
    } while (count < 0 && errno == EINTR);
    return static_cast<int>(count);
}

int SocketChannel::write(int socket, const void* bytes, int n) {
    ssize_t count;
    do {
        count = api().send(socket, bytes, static_cast<size_t>(n), MSG_NOSIGNAL);
    } while (count < 0 && errno == EINTR);
    return static_cast<int>(count);
}

int SocketChannel::read(ByteBuffer& buffer) {
    if (buffer.remaining() == 0) {
        // Some platforms block in a zero-length receive on a blocking socket;
        // there is nothing to receive anyway.
        return 0;
    }
    const int count = read(socket(), buffer.array(), buffer.remaining());
    if (count > 0) {
        buffer.position(buffer.position() + count);
    }
    return count;
}

int SocketChannel::write(ByteBuffer& buffer) {
    const int count = write(socket(), buffer.array(), buffer.remaining());
    if (count > 0) {
        buffer.position(buffer.position() + count);
    }
    return count;
}

void SocketChannel::accepted(int socket, const SocketAddress& address) {
    close();
    if (socket < 0) {
        throw SocketException(EBADF);
    }
    adopt(socket);
    _connected = true;
    _remote = address;
    _local.unset();
    localAddress();
}

void SocketChannel::shutdownOutput() {
    if (api().shutdown(socket(), SHUT_WR) != 0) {
        throw SocketException(errno);
    }
}

const SocketAddress& SocketChannel::localAddress() {
    if (_local.isUnset() && isOpen()) {
        try {
            sockaddr_in raw{};
            api().socketName(socket(), raw);
            _local = SocketAddress(raw);
        } catch (const SocketException&) {
            _local.unset();
        }
    }
    return _local;
}

const SocketAddress& SocketChannel::remoteAddress() {
    if (_remote.isUnset() && isOpen()) {
        try {
            sockaddr_in raw{};
            api().peerAddress(socket(), raw);
            _remote = SocketAddress(raw);
        } catch (const SocketException&) {
            _remote.unset();
        }
    }
    return _remote;
}

} // namespace ostrel
