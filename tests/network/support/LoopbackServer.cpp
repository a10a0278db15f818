#include "network/support/LoopbackServer.h"

#include "base/ByteBuffer.h"
#include "network/socket/SocketException.h"

#include <chrono>
#include <poll.h>
#include <sys/socket.h>

namespace ostrel::test {
namespace {

int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool waitReadable(int socket, int timeoutMilliseconds) {
    pollfd fd{socket, POLLIN, 0};
    return ::poll(&fd, 1, timeoutMilliseconds) == 1;
}

} // namespace

LoopbackServer::LoopbackServer() {
    _server.open();
    _server.setReuseAddress(true);
    _server.bind(0, 128);
}

std::unique_ptr<SocketChannel> LoopbackServer::accept(int timeoutMilliseconds) {
    if (!waitReadable(_server.socket(), timeoutMilliseconds)) {
        return nullptr;
    }
    auto channel = std::make_unique<SocketChannel>();
    _server.accept(*channel);
    return channel;
}

std::vector<uint8_t> LoopbackServer::readBytes(SocketChannel& channel, size_t n, int timeoutMilliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    std::vector<uint8_t> bytes(n);
    size_t got = 0;
    while (got < n) {
        if (!waitReadable(channel.socket(), millisecondsLeft(deadline))) {
            break;
        }
        const ssize_t count = ::recv(channel.socket(), bytes.data() + got, n - got, 0);
        if (count <= 0) {
            break;
        }
        got += static_cast<size_t>(count);
    }
    bytes.resize(got);
    return bytes;
}

void LoopbackServer::writeBytes(SocketChannel& channel, const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = ::send(channel.socket(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count <= 0) {
            throw SocketException(errno);
        }
        sent += static_cast<size_t>(count);
    }
}

bool LoopbackServer::waitForClose(SocketChannel& channel, int timeoutMilliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    uint8_t bytes[4096];
    while (waitReadable(channel.socket(), millisecondsLeft(deadline))) {
        const ssize_t count = ::recv(channel.socket(), bytes, sizeof bytes, 0);
        if (count <= 0) {
            return true;
        }
    }
    return false;
}

} // namespace ostrel::test
