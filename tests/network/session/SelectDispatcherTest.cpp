#include "base/ByteBuffer.h"
#include "network/session/CloseReason.h"
#include "network/session/SelectDispatcher.h"
#include "network/session/SessionContextImpl.h"
#include "network/support/LoopbackServer.h"
#include "network/support/RecordingSession.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <memory>
#include <netdb.h>
#include <stdexcept>
#include <vector>

namespace ostrel {
namespace {

using test::LoopbackServer;
using test::RecordingSession;

ByteBuffer bufferOf(const std::vector<uint8_t>& bytes) {
    ByteBuffer buffer(static_cast<int>(bytes.size()));
    buffer.put(bytes.data(), static_cast<int>(bytes.size()));
    buffer.flip();
    return buffer;
}

class SelectDispatcherTest : public ::testing::Test {
protected:
    void SetUp() override { _dispatcher.start(); }
    void TearDown() override { _dispatcher.stop(); }

    // Attaches and connects a session to the server; returns the server's end.
    std::unique_ptr<SocketChannel> connect(RecordingSession& session, LoopbackServer& server) {
        SessionContext* context = _dispatcher.attach(session);
        EXPECT_NE(context, nullptr);
        EXPECT_TRUE(context->connect(SocketAddress("127.0.0.1", server.port())));
        auto accepted = server.accept();
        EXPECT_NE(accepted, nullptr);
        EXPECT_TRUE(session.waitFor("connected"));
        return accepted;
    }

    // Declared before the dispatcher so that they outlive it: its stop still
    // delivers events to them.
    RecordingSession _sessions[5];
    SelectDispatcher _dispatcher{4, "Test Dispatcher"};
};

TEST_F(SelectDispatcherTest, ConnectToAClosedPortFailsWith111) {
    uint16_t closedPort;
    {
        LoopbackServer server;
        closedPort = server.port();
    }
    RecordingSession& session = _sessions[0];
    SessionContext* context = _dispatcher.attach(session);
    ASSERT_NE(context, nullptr);
    ASSERT_TRUE(context->connect(SocketAddress("127.0.0.1", closedPort)));
    EXPECT_TRUE(session.waitFor("failed 111"));
    EXPECT_TRUE(context->isFree()) << "reset before the session hears of it";
    EXPECT_FALSE(context->connect(SocketAddress("127.0.0.1", closedPort)));
}

TEST_F(SelectDispatcherTest, ExchangeThenPeerCloseGives102OnTheNextRead) {
    LoopbackServer server;
    RecordingSession& session = _sessions[0];
    auto peer = connect(session, server);
    SessionContext& context = *session.context();
    EXPECT_EQ(context.state(), SessionState::Connected);
    EXPECT_EQ(context.remoteAddress().port(), server.port());

    ASSERT_TRUE(context.send(bufferOf({1, 2, 3, 4, 5}), Priority::Normal));
    EXPECT_EQ(LoopbackServer::readBytes(*peer, 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_TRUE(session.waitFor("sent 1"));

    ByteBuffer in(3);
    context.read(in);
    LoopbackServer::writeBytes(*peer, {9, 8});
    LoopbackServer::writeBytes(*peer, {7});
    ASSERT_TRUE(session.waitFor("read"));
    EXPECT_EQ(in.get(0), 9);
    EXPECT_EQ(in.get(2), 7);

    peer->close();
    ByteBuffer next(3);
    context.read(next);
    EXPECT_TRUE(session.waitFor("closed 102"));
    EXPECT_EQ(session.count("read"), 1);
}

TEST_F(SelectDispatcherTest, AliveCheckOvertakesQueuedBulkDataAtTheNextBlock) {
    LoopbackServer server;
    RecordingSession& session = _sessions[0];
    auto peer = connect(session, server);
    SessionContext& context = *session.context();
    const std::vector<uint8_t> big(900000, 0xA1);
    const std::vector<uint8_t> small(100, 0xB2);
    const std::vector<uint8_t> alive(12, 0xC3);
    // Held so that the worker cannot finish the big block before the rest is queued.
    context.lockSend();
    ASSERT_TRUE(context.send(bufferOf(big), Priority::Normal));
    ASSERT_TRUE(context.send(bufferOf(small), Priority::Normal));
    ASSERT_TRUE(context.send(bufferOf(alive), Priority::High));
    context.unlockSend();
    const auto received = LoopbackServer::readBytes(*peer, big.size() + small.size() + alive.size(), 10000);
    ASSERT_EQ(received.size(), big.size() + small.size() + alive.size());
    EXPECT_EQ(received[big.size() - 1], 0xA1);
    EXPECT_EQ(received[big.size()], 0xC3) << "the alive check follows the block being sent";
    EXPECT_EQ(received[big.size() + alive.size() - 1], 0xC3);
    EXPECT_EQ(received[big.size() + alive.size()], 0xB2);
    EXPECT_TRUE(session.waitFor("sent 0"));
    ASSERT_TRUE(session.waitFor("sent 1"));
    for (int i = 0; i < 50 && session.count("sent 1") < 2; ++i) {
        session.waitFor("never", 20);
    }
    EXPECT_EQ(session.count("sent 1"), 2);
}

TEST_F(SelectDispatcherTest, SecondReadReplacesTheFirst) {
    LoopbackServer server;
    RecordingSession& session = _sessions[0];
    auto peer = connect(session, server);
    SessionContext& context = *session.context();
    ByteBuffer first(8);
    ByteBuffer second(4);
    context.read(first);
    context.read(second);
    LoopbackServer::writeBytes(*peer, {1, 2, 3, 4});
    ASSERT_TRUE(session.waitFor("read"));
    EXPECT_EQ(second.position(), 4);
    EXPECT_EQ(first.position(), 0);
    EXPECT_EQ(session.count("read"), 1);
}

TEST_F(SelectDispatcherTest, CloseDeliversTheReasonAndFreesTheSlot) {
    LoopbackServer server;
    RecordingSession& session = _sessions[0];
    auto peer = connect(session, server);
    SessionContext& context = *session.context();
    ASSERT_TRUE(context.close(CloseReason::NoResponse));
    EXPECT_TRUE(session.waitFor("closed 312"));
    EXPECT_TRUE(LoopbackServer::waitForClose(*peer));
    EXPECT_TRUE(context.isFree());
    EXPECT_FALSE(context.close(0)) << "already closed";
    EXPECT_FALSE(context.send(bufferOf({1}), Priority::Normal));
}

TEST_F(SelectDispatcherTest, ThrowingEventClosesOnlyItsConnection) {
    LoopbackServer server;
    RecordingSession& faulty = _sessions[0];
    RecordingSession& healthy = _sessions[1];
    faulty.onRead = [] { throw std::runtime_error("malformed"); };
    auto faultyPeer = connect(faulty, server);
    auto healthyPeer = connect(healthy, server);
    ByteBuffer faultyIn(1);
    ByteBuffer healthyIn(1);
    faulty.context()->read(faultyIn);
    LoopbackServer::writeBytes(*faultyPeer, {1});
    EXPECT_TRUE(faulty.waitFor("closed 0"));
    EXPECT_TRUE(LoopbackServer::waitForClose(*faultyPeer));

    healthy.context()->read(healthyIn);
    LoopbackServer::writeBytes(*healthyPeer, {2});
    EXPECT_TRUE(healthy.waitFor("read"));
    EXPECT_EQ(healthy.count("closed 0"), 0);
    ASSERT_TRUE(healthy.context()->send(bufferOf({3}), Priority::Normal));
    EXPECT_EQ(LoopbackServer::readBytes(*healthyPeer, 1), (std::vector<uint8_t>{3}));
}

TEST_F(SelectDispatcherTest, EveryConnectionServedAndSlotsRunOut) {
    LoopbackServer server;
    RecordingSession* sessions = _sessions;
    std::vector<std::unique_ptr<SocketChannel>> peers;
    for (int i = 0; i < 4; ++i) {
        peers.push_back(connect(sessions[i], server));
    }
    EXPECT_EQ(_dispatcher.attach(_sessions[4]), nullptr) << "4 slots";
    std::vector<ByteBuffer> inputs;
    for (int i = 0; i < 4; ++i) {
        inputs.emplace_back(2);
    }
    for (int i = 0; i < 4; ++i) {
        sessions[i].context()->read(inputs[static_cast<size_t>(i)]);
        LoopbackServer::writeBytes(*peers[static_cast<size_t>(i)], {static_cast<uint8_t>(i), 0x55});
    }
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(sessions[i].waitFor("read"));
        EXPECT_EQ(inputs[static_cast<size_t>(i)].get(0), i);
    }
}

TEST(SelectDispatcherStopTest, StoppingClosesEveryConnectionWith201) {
    LoopbackServer server;
    RecordingSession first;
    RecordingSession second;
    RecordingSession late;
    SelectDispatcher dispatcher(2, "Stopping Dispatcher");
    dispatcher.start();
    for (RecordingSession* session : {&first, &second}) {
        SessionContext* context = dispatcher.attach(*session);
        ASSERT_NE(context, nullptr);
        context->connect(SocketAddress("127.0.0.1", server.port()));
        ASSERT_TRUE(session->waitFor("connected"));
    }
    dispatcher.stop();
    EXPECT_EQ(first.count("closed 201"), 1);
    EXPECT_EQ(second.count("closed 201"), 1);
    EXPECT_EQ(dispatcher.attach(late), nullptr) << "a stopped dispatcher takes no connections";
}

TEST(SelectDispatcherQueueTest, SendIsRefusedWholeWhenTheQueueLacksRoom) {
    RecordingSession session;
    SelectDispatcher dispatcher(1, "Queue Dispatcher"); // not started: nothing drains the queues
    SessionContext* context = dispatcher.attach(session);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->freeSpace(), SessionContextImpl::NormalQueueSize - 4);
    const std::vector<uint8_t> fits(SessionContextImpl::NormalQueueSize - 4, 1);
    EXPECT_TRUE(context->send(bufferOf(fits), Priority::Normal));
    EXPECT_FALSE(context->send(bufferOf({1}), Priority::Normal));
    EXPECT_EQ(context->queuedCount(), 1);
    EXPECT_FALSE(context->hasRoom(1));
    const std::vector<uint8_t> alive(SessionContextImpl::HighQueueSize - 4, 2);
    EXPECT_TRUE(context->send(bufferOf(alive), Priority::High)) << "the High queue is separate";
    EXPECT_FALSE(context->send(bufferOf({1}), Priority::High));
    EXPECT_FALSE(context->send(ByteBuffer(0), Priority::Normal)) << "empty records are refused";
}

TEST(CloseReasonTest, SocketErrorMapping) {
    const struct {
        int error;
        int reason;
    } cases[] = {
        {EACCES, 103},       {EADDRNOTAVAIL, 105}, {ENETUNREACH, 105}, {ENETDOWN, 104}, {EHOSTDOWN, 106},
        {EHOSTUNREACH, 107}, {EAI_NONAME, 108},    {ECONNRESET, 109},  {ETIMEDOUT, 110}, {ECONNREFUSED, 111},
        {EPIPE, 0},          {0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CloseReason::ofSocketError(c.error), c.reason) << c.error;
    }
}

} // namespace
} // namespace ostrel
