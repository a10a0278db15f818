#include "base/ByteBuffer.h"
#include "network/socket/NonBlockingSocketChannel.h"
#include "network/socket/ServerSocketChannel.h"
#include "network/socket/SocketAddress.h"
#include "network/socket/SocketApi.h"
#include "network/socket/SocketChannel.h"
#include "network/socket/SocketException.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>

namespace ostrel {
namespace {

TEST(SocketAddressTest, LiteralIsKeptWithoutResolving) {
    SocketAddress address;
    EXPECT_TRUE(address.isUnset());
    EXPECT_EQ(address.ipAddress(), nullptr);
    address.setHostName("site-a");
    address.setAddress("127.0.0.1", 80);
    EXPECT_STREQ(address.ipAddress(), "127.0.0.1");
    EXPECT_EQ(address.port(), 80);
    EXPECT_STREQ(address.hostName(), "site-a") << "the host name keeps its previous value";
}

TEST(SocketAddressTest, LocalhostResolvesToAnIpv4Address) {
    SocketAddress address("localhost", 9);
    ASSERT_NE(address.ipAddress(), nullptr);
    EXPECT_EQ(std::strncmp(address.ipAddress(), "127.", 4), 0) << address.ipAddress();
}

TEST(SocketAddressTest, UnresolvableNameThrowsWithTheResolverCode) {
    try {
        SocketAddress address("no-such-host.invalid", 1);
        FAIL() << "resolved";
    } catch (const SocketAddressInfoException& e) {
        EXPECT_NE(e.code(), 0);
        EXPECT_STREQ(e.typeName(), "SocketAddressInfoException");
        EXPECT_NE(e.message(), nullptr);
    }
}

TEST(SocketAddressTest, LocalAddressIsAnyAddressPortZero) {
    const SocketAddress& local = SocketAddress::localAddress();
    EXPECT_STREQ(local.ipAddress(), "0.0.0.0");
    EXPECT_EQ(local.port(), 0);
    EXPECT_GT(std::strlen(local.hostName()), 0u);
}

class ListeningServer {
public:
    ListeningServer() {
        _server.open();
        _server.setReuseAddress(true);
        _server.bind(0, 16);
    }
    uint16_t port() const { return _server.boundAddress().port(); }
    ServerSocketChannel& channel() { return _server; }

private:
    ServerSocketChannel _server;
};

TEST(ServerSocketChannelTest, BindToPortZeroRecordsTheAssignedPort) {
    ListeningServer server;
    EXPECT_TRUE(server.channel().isBound());
    EXPECT_NE(server.port(), 0);
    sockaddr_in raw{};
    SocketApi::posix().socketName(server.channel().socket(), raw);
    EXPECT_EQ(ntohs(raw.sin_port), server.port());
}

TEST(ServerSocketChannelTest, AcceptBeforeBindIsRefused) {
    ServerSocketChannel server;
    server.open();
    SocketChannel channel;
    try {
        server.accept(channel);
        FAIL();
    } catch (const SocketException& e) {
        EXPECT_EQ(e.code(), 0);
        EXPECT_STREQ(e.message(), "Socket is not bound yet");
    }
}

TEST(SocketChannelTest, BlockingConnectAcceptAndExchange) {
    ListeningServer server;
    SocketChannel client;
    client.open();
    ASSERT_TRUE(client.connect(SocketAddress("127.0.0.1", server.port())));
    EXPECT_TRUE(client.isConnected());
    EXPECT_EQ(client.remoteAddress().port(), server.port());
    EXPECT_NE(client.localAddress().port(), 0);
    SocketChannel accepted;
    server.channel().accept(accepted);
    EXPECT_STREQ(accepted.remoteAddress().hostName(), "Unknown");
    EXPECT_EQ(accepted.remoteAddress().port(), client.localAddress().port());

    ByteBuffer out(5);
    out.put("hello", 5);
    out.flip();
    EXPECT_EQ(client.write(out), 5);
    EXPECT_EQ(out.remaining(), 0);
    ByteBuffer in(5);
    int total = 0;
    while (total < 5) {
        const int count = accepted.read(in);
        ASSERT_GT(count, 0);
        total += count;
    }
    EXPECT_EQ(std::memcmp(in.array() - 5, "hello", 5), 0);

    ByteBuffer empty(0);
    EXPECT_EQ(accepted.read(empty), 0) << "nothing to read, and no waiting for data";

    client.shutdownOutput();
    ByteBuffer rest(4);
    EXPECT_EQ(accepted.read(rest), 0) << "the peer's shutdown reads as 0";
    client.close();
    EXPECT_FALSE(client.isOpen());
    EXPECT_FALSE(client.isConnected());
    EXPECT_TRUE(client.remoteAddress().isUnset());
}

TEST(NonBlockingSocketChannelTest, ConnectToAListeningPortNeverThrows) {
    ListeningServer server;
    NonBlockingSocketChannel channel;
    channel.open();
    bool done = false;
    EXPECT_NO_THROW(done = channel.connect(SocketAddress("127.0.0.1", server.port())));
    if (!done) {
        pollfd fd{channel.socket(), POLLOUT, 0};
        ASSERT_EQ(::poll(&fd, 1, 5000), 1);
        EXPECT_EQ(SocketApi::posix().socketError(channel.socket()), 0);
    }
}

TEST(NonBlockingSocketChannelTest, ConnectToAClosedPortFailsAtOnceOrLater) {
    uint16_t closedPort;
    {
        ListeningServer server;
        closedPort = server.port();
    }
    NonBlockingSocketChannel channel;
    channel.open();
    int error = 0;
    try {
        if (!channel.connect(SocketAddress("127.0.0.1", closedPort))) {
            pollfd fd{channel.socket(), POLLOUT, 0};
            ASSERT_EQ(::poll(&fd, 1, 5000), 1);
            error = SocketApi::posix().socketError(channel.socket());
        }
    } catch (const SocketException& e) {
        error = e.code();
    }
    EXPECT_EQ(error, ECONNREFUSED);
}

TEST(NonBlockingSocketChannelTest, ReadWithNothingArrivedWouldBlock) {
    ListeningServer server;
    SocketChannel client;
    client.open();
    client.connect(SocketAddress("127.0.0.1", server.port()));
    SocketChannel accepted;
    server.channel().accept(accepted);
    SocketApi::posix().configureBlocking(accepted.socket(), false);
    ByteBuffer in(4);
    EXPECT_EQ(accepted.read(in), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    EXPECT_EQ(in.position(), 0);
}

} // namespace
} // namespace ostrel
