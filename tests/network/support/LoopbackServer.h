#pragma once

#include "network/socket/ServerSocketChannel.h"
#include "network/socket/SocketChannel.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace ostrel::test {

// A listening socket on an ephemeral loopback port with bounded blocking
// helpers, standing in for a site in tests.
class LoopbackServer {
public:
    LoopbackServer();
    uint16_t port() const { return _server.boundAddress().port(); }
    // The next connection, or nullptr when none arrives within the time.
    std::unique_ptr<SocketChannel> accept(int timeoutMilliseconds = 5000);
    void close() { _server.close(); }

    // Reads exactly n bytes (fewer when the peer closes or the time runs out).
    static std::vector<uint8_t> readBytes(SocketChannel& channel, size_t n, int timeoutMilliseconds = 5000);
    static void writeBytes(SocketChannel& channel, const std::vector<uint8_t>& bytes);
    // Whether the peer closed the connection within the time (reads and drops data meanwhile).
    static bool waitForClose(SocketChannel& channel, int timeoutMilliseconds = 5000);

private:
    ServerSocketChannel _server;
};

} // namespace ostrel::test
