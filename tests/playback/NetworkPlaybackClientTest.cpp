// A playback client against an in-process simulated site on loopback: login,
// the playback state machine end to end, delivery of every frame, flow
// control, disconnects and the session table.
#include "base/DateTime.h"
#include "base/Interval.h"
#include "network/client/NetworkPlaybackClient.h"
#include "network/client/NetworkPlaybackContext.h"
#include "network/protocol/playback/EventListRequest.h"
#include "network/protocol/playback/PlayRequest.h"
#include "network/protocol/playback/TextInFrame.h"
#include "network/session/CloseReason.h"
#include "network/session/InvalidSessionHandleException.h"
#include "network/session/SessionContextImpl.h"
#include "ostrel-sitesim/SiteServer.h"
#include "playback/support/SiteListener.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <deque>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ostrel;
using namespace ostrel::test;

namespace {

const BitMask32 All(BitMask32::AllBits);

DateTime at(int hour, int minute, int second) { return DateTime(2024, 1, 1, hour, minute, second); }

// One minute of section 1, and ten seconds of section 2.
const Interval FirstMinute(at(10, 0, 0), at(10, 0, 59));
const Interval SecondSection(at(10, 15, 0), at(10, 15, 9));
// The whole of section 3, an hour: plays long enough to be interrupted.
const Interval LongRange(at(11, 0, 0), at(11, 59, 59));

PlayRequest playOf(const Interval& range) { return PlayRequest::play(range, All, PlayRequest::Forward, 1, 3); }

class NetworkPlaybackClientTest : public ::testing::Test {
protected:
    static SiteSettings siteSettings() {
        SiteSettings settings;
        settings.maxConnections = 200;
        return settings;
    }

    void SetUp() override {
        site = std::make_unique<SiteServer>(siteSettings());
        port = site->start();
    }

    void TearDown() override {
        context->stopAll();
        clients.clear();
        site->stop();
    }

    SiteListener& newListener() { return listeners.emplace_back(); }
    // Gates belong to the fixture: hooks waiting at them may run until TearDown.
    Gate& newGate() { return gates.emplace_back(); }

    NetworkPlaybackClient& newClient(SiteListener& listener, int queueSize = PlaybackClient::ArchivingQueueSize) {
        clients.push_back(std::make_unique<NetworkPlaybackClient>(context));
        clients.back()->start(queueSize, &listener);
        return *clients.back();
    }

    // Started, connected and logged in to `sitePort`.
    NetworkPlaybackClient& loggedIn(SiteListener& listener, int queueSize = PlaybackClient::ArchivingQueueSize,
                                    uint16_t sitePort = 0) {
        NetworkPlaybackClient& client = newClient(listener, queueSize);
        EXPECT_GE(client.connect("127.0.0.1", sitePort != 0 ? sitePort : port, "admin", "admin"), 0);
        EXPECT_TRUE(listener.waitFor("connected"));
        return client;
    }

    // Holds the network thread inside a section-list callback of a client of its
    // own, so requests made meanwhile are only queued, until the gate opens.
    void holdNetworkThread(Gate& gate) {
        SiteListener& listener = newListener();
        listener.onSectionList = [&gate] { gate.wait(); };
        NetworkPlaybackClient& blocker = loggedIn(listener, 8);
        blocker.requestSectionList(FirstMinute, All);
        ASSERT_TRUE(eventually([&] { return gate.reached(); }));
    }

    // Returns once the network thread has handled everything the site sent the
    // client before the answer to a new request.
    void syncNetwork(NetworkPlaybackClient& client, SiteListener& listener) {
        const int before = listener.countPrefix("sections");
        client.requestSectionList(FirstMinute, All);
        ASSERT_TRUE(eventually([&] { return listener.countPrefix("sections") > before; }));
    }

    // Returns once every record queued for the client so far has been delivered.
    void syncMedia(NetworkPlaybackClient& client, SiteListener& listener) {
        const int before = listener.count("callback 9");
        ASSERT_TRUE(client.postCallback(9, nullptr));
        ASSERT_TRUE(listener.waitFor("callback 9", before + 1));
    }

    std::shared_ptr<NetworkPlaybackContext> context = NetworkPlaybackContext::create();
    std::unique_ptr<SiteServer> site;
    uint16_t port = 0;
    std::deque<Gate> gates;
    std::deque<SiteListener> listeners;
    std::vector<std::unique_ptr<NetworkPlaybackClient>> clients;
};

TEST_F(NetworkPlaybackClientTest, LoginReportsTheSiteAndLeavesTheClientStopped) {
    SiteListener& listener = newListener();
    NetworkPlaybackClient& client = loggedIn(listener);
    EXPECT_GE(client.handle(), 1000);
    EXPECT_TRUE(client.isConnected());
    EXPECT_STREQ(client.stateName(), "STOPPED");
    EXPECT_EQ(listener.events(), (std::vector<std::string>{"systeminfo Ostrel simulated site", "connected"}));
    EXPECT_STREQ(client.productInfo().version(), "2.1");
    EXPECT_EQ(client.remoteSystemInfo().videoInNum(), client.remoteSystemInfo().videoInNum());
}

TEST_F(NetworkPlaybackClientTest, PlayDeliversEveryFrameInOrderWithItsExactPayload) {
    SiteListener& listener = newListener();
    NetworkPlaybackClient& client = loggedIn(listener);
    client.play(playOf(FirstMinute));
    ASSERT_TRUE(listener.waitFor("stopped 2"));
    const auto expected = expectedFrames(*site, FirstMinute, All.word());
    ASSERT_EQ(expected.size(), 1503u); // 60 s x 5 ticks x (4 video + 1 audio), 3 text-ins
    const auto frames = listener.frames();
    ASSERT_EQ(frames.size(), expected.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i], expected[i]) << "frame " << i;
    }
    EXPECT_EQ(listener.events(), (std::vector<std::string>{"systeminfo Ostrel simulated site", "connected",
                                                            "started 1", "stopped 2"}));
    EXPECT_EQ(client.lastMediaID(), expected.back().kind == 'T' ? client.lastMediaID() : expected.back().mediaID);
    EXPECT_STREQ(client.stateName(), "STOPPED");
}

TEST_F(NetworkPlaybackClientTest, PlayAgainBeforeAnyFramePlaysOnlyTheSecondRequestAndReportsOneStop) {
    SiteListener& listener = newListener();
    NetworkPlaybackClient& client = loggedIn(listener);
    Gate& gate = newGate();
    holdNetworkThread(gate);
    client.play(playOf(LongRange));
    client.play(playOf(SecondSection));
    EXPECT_STREQ(client.stateName(), "WAITING_FOR_STOP");
    gate.open();
    ASSERT_TRUE(listener.waitFor("stopped 2"));
    syncNetwork(client, listener);
    syncMedia(client, listener);
    EXPECT_EQ(listener.count("started 1"), 1);
    EXPECT_EQ(listener.countPrefix("stopped"), 1);
    EXPECT_EQ(listener.frames(), expectedFrames(*site, SecondSection, All.word()));
}

// A text-in frame that comes while no play is taking frames (the rest of a
// play already stopped or replaced) is dropped like a media frame would be.
TEST_F(NetworkPlaybackClientTest, ATextInFrameOutsideAPlayIsDropped) {
    SiteListener& listener = newListener();
    NetworkPlaybackClient& client = loggedIn(listener);
    client.play(playOf(FirstMinute));
    ASSERT_TRUE(listener.waitFor("stopped 2"));
    syncMedia(client, listener);
    const size_t delivered = listener.frames().size();
    ASSERT_STREQ(client.stateName(), "STOPPED");
    static_cast<NetworkPlaybackSession&>(client).textInFrameReceived(TextInFrame(), MediaPosition());
    syncMedia(client, listener);
    EXPECT_EQ(listener.frames().size(), delivered);
}

TEST_F(NetworkPlaybackClientTest, StopBeforeAnyFrameReportsTheSitesStopOnceAndNoFrame) {
    SiteListener& listener = newListener();
    NetworkPlaybackClient& client = loggedIn(listener);
    Gate& gate = newGate();
    holdNetworkThread(gate);
    client.play(playOf(LongRange));
    client.stop();
    gate.open();
    ASSERT_TRUE(listener.waitFor("stopped 1"));
    syncNetwork(client, listener);
    syncMedia(client, listener);
    EXPECT_EQ(listener.countPrefix("stopped"), 1);
    EXPECT_EQ(listener.countPrefix("started"), 0);
    EXPECT_EQ(listener.frameCount(), 0u);
    EXPECT_STREQ(client.stateName(), "STOPPED");
}

TEST_F(NetworkPlaybackClientTest, SiteStopReasonThreeReachesTheListenerAsTen) {
    SiteListener& listener = newListener();
    NetworkPlaybackClient& client = loggedIn(listener);
    // Past the end of the recording: the site ends with 3.
    const Interval pastTheEnd(at(11, 59, 58), at(12, 30, 0));
    client.play(playOf(pastTheEnd));
    ASSERT_TRUE(listener.waitFor("stopped 10"));
    EXPECT_EQ(listener.frames(), expectedFrames(*site, pastTheEnd, All.word()));
}

TEST_F(NetworkPlaybackClientTest, ConsecutivePlaysAfterAFinishedPlaybackEachDeliverTheirFrames) {
    // After a playback ended by itself the next play pauses the site first; the
    // site's answer to that pause must not end the new play.
    SiteListener& listener = newListener();
    NetworkPlaybackClient& client = loggedIn(listener);
    client.play(playOf(SecondSection));
    ASSERT_TRUE(listener.waitFor("stopped 2"));
    client.play(playOf(SecondSection));
    ASSERT_TRUE(listener.waitFor("stopped 2", 2));
    syncNetwork(client, listener);
    syncMedia(client, listener);
    auto expected = expectedFrames(*site, SecondSection, All.word());
    const auto once = expected;
    expected.insert(expected.end(), once.begin(), once.end());
    EXPECT_EQ(listener.frames(), expected);
    EXPECT_EQ(listener.countPrefix("stopped"), 2);
}

TEST_F(NetworkPlaybackClientTest, FramesQueuedBeforeAStopAreNotDelivered) {
    SiteListener& listener = newListener();
    NetworkPlaybackClient& client = loggedIn(listener);
    Gate& firstFrame = newGate();
    listener.onFrame = [&](const DeliveredFrame&) {
        if (!firstFrame.reached()) {
            firstFrame.wait();
        }
    };
    client.play(playOf(LongRange));
    ASSERT_TRUE(eventually([&] { return firstFrame.reached(); }));
    ASSERT_TRUE(eventually([&] { return context->mediaDispatcher().pendingCount() >= 20; }));
    // The stop waits for the frame being delivered: it runs aside until released.
    std::thread stopper([&] { client.stop(); });
    ASSERT_TRUE(eventually([&] { return client.isStopped(); }));
    firstFrame.open();
    stopper.join();
    ASSERT_TRUE(listener.waitFor("stopped 1"));
    syncNetwork(client, listener);
    syncMedia(client, listener);
    EXPECT_EQ(listener.frameCount(), 1u);
    EXPECT_EQ(listener.countPrefix("stopped"), 1);
    // The site was asked to pause at the frame delivered.
    EXPECT_EQ(client.lastPosition(), listener.frames().front().position);
}

TEST_F(NetworkPlaybackClientTest, DisconnectKeepsALoggedInClientsQueuedFrames) {
    SiteSettings settings;
    settings.faults.disconnectAfterFrames = 50;
    SiteServer failing(settings);
    const uint16_t failingPort = failing.start();
    SiteListener& listener = newListener();
    NetworkPlaybackClient& client = loggedIn(listener, PlaybackClient::ArchivingQueueSize, failingPort);
    Gate& firstFrame = newGate();
    listener.onFrame = [&](const DeliveredFrame&) {
        if (!firstFrame.reached()) {
            firstFrame.wait();
        }
    };
    client.play(playOf(FirstMinute));
    ASSERT_TRUE(listener.waitFor("disconnected 102"));
    EXPECT_FALSE(client.isConnected());
    EXPECT_STREQ(client.stateName(), "DISCONNECTED");
    firstFrame.open();
    ASSERT_TRUE(listener.waitForFrames(50));
    auto expected = expectedFrames(failing, FirstMinute, All.word());
    expected.resize(50);
    EXPECT_EQ(listener.frames(), expected);
    failing.stop();
}

TEST_F(NetworkPlaybackClientTest, RequestedDisconnectIsReportedAs301AndTheSitesCloseAs102) {
    SiteListener& first = newListener();
    NetworkPlaybackClient& requested = loggedIn(first);
    requested.disconnect(true);
    ASSERT_TRUE(first.waitFor("disconnected 301"));
    EXPECT_FALSE(requested.isConnected());
    // Once the session has been let go, its handle names nothing.
    ASSERT_TRUE(eventually([&] { return !context->CommonFacade::isConnected(requested.handle()); }));
    EXPECT_THROW(requested.requestSectionList(FirstMinute, All), InvalidSessionHandleException);

    SiteServer other(siteSettings());
    const uint16_t otherPort = other.start();
    SiteListener& second = newListener();
    loggedIn(second, 8, otherPort);
    other.stop();
    ASSERT_TRUE(second.waitFor("disconnected 102"));
}

TEST_F(NetworkPlaybackClientTest, IsConnectedFromTheTcpConnectionUntilTheDisconnectIsHandled) {
    // A peer that accepts TCP connections and never answers: no login.
    const int listenerSocket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listenerSocket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listenerSocket, 4), 0);
    socklen_t length = sizeof address;
    ::getsockname(listenerSocket, reinterpret_cast<sockaddr*>(&address), &length);

    SiteListener& listener = newListener();
    NetworkPlaybackClient& client = newClient(listener, 8);
    EXPECT_FALSE(client.isConnected());
    ASSERT_GE(client.connect("127.0.0.1", ntohs(address.sin_port), "admin", "admin"), 0);
    EXPECT_TRUE(eventually([&] { return client.isConnected(); }));
    EXPECT_EQ(listener.count("connected"), 0);
    client.disconnect(false);
    ASSERT_TRUE(listener.waitFor("disconnected 0"));
    EXPECT_FALSE(client.isConnected());
    ::close(listenerSocket);

    // A client that logged in once counts as connected as soon as it reconnects.
    SiteListener& again = newListener();
    NetworkPlaybackClient& returning = loggedIn(again);
    returning.disconnect(true);
    ASSERT_TRUE(again.waitFor("disconnected 301"));
    EXPECT_FALSE(returning.isConnected());
    ASSERT_GE(returning.connect("127.0.0.1", port, "admin", "admin"), 0);
    EXPECT_TRUE(returning.isConnected());
    ASSERT_TRUE(again.waitFor("connected", 2));
}

TEST_F(NetworkPlaybackClientTest, HundredSessionsAtOnceAndTheHundredFirstIsRefused) {
    std::vector<NetworkPlaybackClient*> all;
    std::vector<SiteListener*> heard;
    for (int i = 0; i < NetworkPlaybackContext::Channels; ++i) {
        SiteListener& listener = newListener();
        NetworkPlaybackClient& client = newClient(listener, 8);
        ASSERT_GE(client.connect("127.0.0.1", port, "admin", "admin"), 0) << "client " << i;
        all.push_back(&client);
        heard.push_back(&listener);
    }
    for (SiteListener* listener : heard) {
        ASSERT_TRUE(listener->waitFor("connected"));
    }
    EXPECT_EQ(context->mappedClientCount(), NetworkPlaybackContext::Channels);
    SiteListener& extra = newListener();
    NetworkPlaybackClient& hundredFirst = newClient(extra, 8);
    EXPECT_EQ(hundredFirst.connect("127.0.0.1", port, "admin", "admin"), -1);
    EXPECT_EQ(hundredFirst.handle(), -1);
    // A freed session serves the next connect (the slot is let go right after
    // the disconnect has been reported).
    all.front()->disconnect(true);
    ASSERT_TRUE(heard.front()->waitFor("disconnected 301"));
    EXPECT_TRUE(eventually([&] { return hundredFirst.connect("127.0.0.1", port, "admin", "admin") >= 0; }));
    EXPECT_TRUE(extra.waitFor("connected"));
}

TEST_F(NetworkPlaybackClientTest, FrameTooLargeForTheQueueNeverBlocksTheNetworkThread) {
    SiteSettings settings;
    settings.recording.keyFrameSize = 100000;
    SiteServer bigFrames(settings);
    const uint16_t bigPort = bigFrames.start();
    SiteListener& listener = newListener();
    NetworkPlaybackClient& client = loggedIn(listener, 65536, bigPort);
    const Interval fiveSeconds(at(10, 0, 0), at(10, 0, 4));
    client.play(playOf(fiveSeconds));
    ASSERT_TRUE(listener.waitFor("stopped 2"));
    // Key frames on seconds 0, 2 and 4 of the 4 video channels could not be queued.
    EXPECT_EQ(client.droppedFrameCount(), 12u);
    std::vector<DeliveredFrame> expected;
    for (const DeliveredFrame& frame : expectedFrames(bigFrames, fiveSeconds, All.word())) {
        const bool key = frame.kind == 'V' && frame.position.second() % 2 == 0 && frame.position.third() < 4;
        if (!key) {
            expected.push_back(frame);
        }
    }
    EXPECT_EQ(listener.frames(), expected);
    // The network thread is free: the session still answers.
    syncNetwork(client, listener);
    bigFrames.stop();
}

TEST_F(NetworkPlaybackClientTest, JumpToAPositionStartsWithModeThree) {
    SiteListener& listener = newListener();
    NetworkPlaybackClient& client = loggedIn(listener);
    client.jumpToPosition(MediaPosition(1, 10, 0), 0);
    ASSERT_TRUE(listener.waitFor("stopped 4"));
    EXPECT_EQ(listener.count("started 3"), 1);
    ASSERT_GT(listener.frameCount(), 0u);
    EXPECT_EQ(listener.frames().front().position, MediaPosition(1, 10, 0));
}

TEST_F(NetworkPlaybackClientTest, ListsReachTheListenerOnTheNetworkThread) {
    SiteListener& listener = newListener();
    NetworkPlaybackClient& client = loggedIn(listener);
    client.requestRecordingTimeTable(Interval(at(0, 0, 0), at(23, 59, 59)), All);
    client.requestSectionList(Interval(at(0, 0, 0), at(23, 59, 59)), All);
    client.requestEventList(EventListRequest(FirstMinute, All, 0xFFFFFFFF, 0xFFFFFFFF));
    EXPECT_TRUE(listener.waitFor("timetable 3"));
    EXPECT_TRUE(listener.waitFor("sections 3"));
    EXPECT_TRUE(listener.waitFor("events 2")); // type 2 at second 5, type 0 at second 30
}

size_t threadCount() {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++count;
    }
    return count;
}

TEST(NetworkPlaybackContextTest, StoppingAContextLeavesNoThreadBehind) {
    const size_t before = threadCount();
    {
        SiteServer site{SiteSettings()};
        const uint16_t port = site.start();
        auto context = NetworkPlaybackContext::create();
        SiteListener listener;
        NetworkPlaybackClient client(context);
        client.start(PlaybackClient::ArchivingQueueSize, &listener);
        ASSERT_GE(client.connect("127.0.0.1", port, "admin", "admin"), 0);
        ASSERT_TRUE(listener.waitFor("connected"));
        client.play(playOf(LongRange));
        ASSERT_TRUE(listener.waitForFrames(10));
        context->stopAll();
        EXPECT_TRUE(listener.waitFor("disconnected 201"));
        site.stop();
    }
    EXPECT_TRUE(eventually([&] { return threadCount() == before; })) << threadCount() << " threads, " << before
                                                                     << " before";
}

TEST(NetworkPlaybackContextTest, ProcessWideContextCanBeShutDownAndStartedAgain) {
    std::shared_ptr<NetworkPlaybackContext> first = NetworkPlaybackContext::shared();
    EXPECT_EQ(&NetworkPlaybackContext::instance(), first.get());
    EXPECT_EQ(&MediaDispatcher::instance(), &first->mediaDispatcher());
    EXPECT_TRUE(first->mediaDispatcher().isRunning());
    NetworkPlaybackContext::shutdown();
    EXPECT_FALSE(first->mediaDispatcher().isRunning());
    // A client made with the stopped context cannot connect; one made now can.
    NetworkPlaybackClient stale(first);
    EXPECT_EQ(stale.connect("127.0.0.1", 9, "admin", "admin"), -1);
    NetworkPlaybackClient fresh;
    EXPECT_NE(&fresh.context(), first.get());
    EXPECT_TRUE(fresh.context().mediaDispatcher().isRunning());
    fresh.shutdown();
    NetworkPlaybackContext::shutdown();
}

TEST_F(NetworkPlaybackClientTest, SessionBuffersAndTheFrameQueueExistOnlyWhileAConnectionUsesThem) {
    // A context of 100 sessions with none in use, and a client that has not
    // connected, hold no buffers at all.
    EXPECT_EQ(context->allocatedSessionBytes(), 0u);
    SiteListener& listener = newListener();
    NetworkPlaybackClient& client = newClient(listener);
    EXPECT_EQ(client.queueAllocatedBytes(), 0u);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_GE(client.connect("127.0.0.1", port, "admin", "admin"), 0);
        ASSERT_TRUE(listener.waitFor("connected", round + 1));
        client.play(playOf(SecondSection));
        ASSERT_TRUE(listener.waitFor("stopped 2", round + 1));
        syncMedia(client, listener);
        // In use: the send queue of the requests, the receive buffer and the
        // frame queue, each of the size the design gives it.
        EXPECT_GE(context->allocatedSessionBytes(),
                  std::size_t{SessionContextImpl::NormalQueueSize} + SessionContextImpl::ReceiveBufferSize);
        EXPECT_EQ(client.queueAllocatedBytes(), std::size_t{PlaybackClient::ArchivingQueueSize});

        client.disconnect(true);
        ASSERT_TRUE(listener.waitFor("disconnected 301", round + 1));
        EXPECT_TRUE(eventually([&] { return context->allocatedSessionBytes() == 0; }))
            << context->allocatedSessionBytes() << " bytes still held";
        EXPECT_TRUE(eventually([&] { return client.queueAllocatedBytes() == 0; }));
    }
    // Both connections delivered the section whole.
    auto expected = expectedFrames(*site, SecondSection, All.word());
    const auto once = expected;
    expected.insert(expected.end(), once.begin(), once.end());
    EXPECT_EQ(listener.frames(), expected);
}

} // namespace
