// The site's send queue: own, borrowed and zero pieces leave in order and
// intact, also when the socket takes only part of them at a time and the
// queue keeps filling while earlier pieces are still going out.
#include "ostrel-sitesim/SendQueue.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace ostrel {
namespace {

class SocketPair {
public:
    SocketPair() {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, _fds) != 0) {
            ADD_FAILURE() << "socketpair failed";
        }
        int small = 16 * 1024;
        ::setsockopt(_fds[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    }
    ~SocketPair() {
        ::close(_fds[0]);
        ::close(_fds[1]);
    }
    int sender() const { return _fds[0]; }
    // Reads what has arrived, waiting at most the given time for more.
    void drain(std::vector<uint8_t>& into, int milliseconds) {
        uint8_t buffer[8192];
        pollfd readable{_fds[1], POLLIN, 0};
        while (::poll(&readable, 1, milliseconds) > 0) {
            const ssize_t n = ::recv(_fds[1], buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) {
                return;
            }
            into.insert(into.end(), buffer, buffer + n);
        }
    }

private:
    int _fds[2] = {-1, -1};
};

TEST(SendQueueTest, PiecesLeaveInOrderThroughPartialSendsWhileTheQueueKeepsFilling) {
    std::vector<uint8_t> borrowed(100000);
    for (size_t i = 0; i < borrowed.size(); ++i) {
        borrowed[i] = static_cast<uint8_t>(i * 13 + i / 256);
    }
    SendQueue queue;
    SocketPair pair;
    std::vector<uint8_t> expected;
    std::vector<uint8_t> received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    // 1000 rounds of pieces: more than one call's worth and more than are
    // kept before the sent front is dropped.
    for (int round = 0; round < 1000; ++round) {
        const uint8_t own[3] = {static_cast<uint8_t>(round), static_cast<uint8_t>(round >> 8), 0xAB};
        queue.append(own, sizeof own);
        expected.insert(expected.end(), own, own + sizeof own);
        const size_t from = static_cast<size_t>(round * 97) % 50000;
        const size_t length = static_cast<size_t>(round % 7 == 0 ? 40000 : round % 50);
        queue.appendBorrowed(borrowed.data() + from, length);
        expected.insert(expected.end(), borrowed.begin() + static_cast<std::ptrdiff_t>(from),
                        borrowed.begin() + static_cast<std::ptrdiff_t>(from + length));
        queue.appendZeros(static_cast<size_t>(round % 4));
        expected.insert(expected.end(), static_cast<size_t>(round % 4), 0);
        ASSERT_TRUE(queue.send(pair.sender()));
        pair.drain(received, 0);
    }
    while (!queue.isEmpty() && std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE(queue.send(pair.sender()));
        pair.drain(received, 5);
    }
    pair.drain(received, 20);
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(queue.pending(), 0u);
    ASSERT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
}

TEST(SendQueueTest, FailingSocketIsReportedAndClearEmptiesTheQueue) {
    SendQueue queue;
    const uint8_t bytes[4] = {1, 2, 3, 4};
    queue.append(bytes, sizeof bytes);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ::close(fds[1]);
    EXPECT_FALSE(queue.send(fds[0]));
    EXPECT_EQ(errno, EPIPE);
    EXPECT_EQ(queue.pending(), 4u);
    queue.clear();
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_TRUE(queue.send(fds[0]));
    ::close(fds[0]);
}

} // namespace
} // namespace ostrel
