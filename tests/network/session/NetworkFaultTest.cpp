// Sessions under network faults injected below the dispatcher: every fault at
// every step of a session (connect, sync, login, a request, inside a frame,
// between frames). Each case checks how the session ends (or that it carries
// on), that the frames delivered are whole and in order, that a second
// session of the same dispatcher is untouched, and that no descriptor leaks.

#include "base/ManualClock.h"
#include "base/thread/Thread.h"
#include "network/protocol/ClientFacade.h"
#include "network/protocol/CommonMessageType.h"
#include "network/session/CloseReason.h"
#include "network/session/InvalidSessionHandleException.h"
#include "network/session/SelectDispatcher.h"
#include "network/session/SendQueueOverflowException.h"
#include "network/session/SessionAliveChecker.h"
#include "network/support/FaultySocketApi.h"
#include "network/support/LoopbackServer.h"
#include "network/support/SiteConnection.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <dirent.h>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using testing::eventually;
using testing::FunctionThread;
using test::FaultySocketApi;
using test::LoopbackServer;
using test::SiteConnection;
using test::SitePackets;
using Fault = FaultySocketApi::Fault;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

constexpr uint16_t FrameType = 600;
constexpr uint16_t RequestType = 601;
constexpr uint16_t FillerType = 602;
constexpr int FrameCount = 8;
// Larger than the 240 bytes a trickling peer gets through before the alive check drops it.
constexpr int FramePayload = 1000;
constexpr int FillerPayload = 8000;
// How long all frames may take to come. A session received one byte at a
// time takes one dispatcher step per byte; each step ends by yielding the
// processor, which on a busy machine (the whole suite in parallel) costs a
// time slice: then the frames take seconds instead of 0.2 s.
constexpr auto FramesBound = std::chrono::seconds(60);

int openDescriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) {
            ++count;
        }
        ::closedir(dir);
    }
    return count;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Packet siteSync() {
    return SitePackets::sync(SitePackets::localProtocol(),
                             concat({SitePackets::profiles({1, 2}), SitePackets::product(204),
                                     SitePackets::key(1, 2, 3, 4), SitePackets::option(13, {})}));
}

Packet loginResponse() { return SitePackets::loginResponse(1, 7, std::nullopt); }

// Frame n: its number, then bytes that depend on the number and the place.
Bytes framePayload(uint32_t n) {
    Bytes payload(FramePayload);
    payload[0] = static_cast<uint8_t>(n >> 24);
    payload[1] = static_cast<uint8_t>(n >> 16);
    payload[2] = static_cast<uint8_t>(n >> 8);
    payload[3] = static_cast<uint8_t>(n);
    for (size_t i = 4; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>(n * 31 + i * 7);
    }
    return payload;
}

int packetLength(const Packet& packet) { return packet.limit(); }

// Where each step of a session begins in the bytes the client receives.
struct Offsets {
    int64_t login = packetLength(siteSync());
    int64_t request = login + packetLength(loginResponse());
    int64_t frame = Packet::HeaderSize + FramePayload;
};

// The client side: records, per handle, the frames, the login and how the session ended.
class FaultFacade : public ClientFacade {
public:
    using ClientFacade::ClientFacade;
    ~FaultFacade() override { stop(); }

    void loginSucceeded(int handle, const LoginResult&) override {
        std::lock_guard<std::mutex> lock(_mutex);
        _loggedIn.insert(handle);
    }
    void disconnected(int handle, int reason) override {
        std::lock_guard<std::mutex> lock(_mutex);
        _reasons[handle] = reason;
    }
    void unknownPacketReceived(int handle, Packet& packet) override {
        Bytes payload(packet.payloadSize());
        for (size_t i = 0; i < payload.size(); ++i) {
            payload[i] = packet.get(Packet::HeaderSize + static_cast<int>(i));
        }
        std::lock_guard<std::mutex> lock(_mutex);
        _frames[handle].push_back(std::move(payload));
    }

    bool loggedIn(int handle) {
        std::lock_guard<std::mutex> lock(_mutex);
        return _loggedIn.count(handle) > 0;
    }
    // The close reason, -1 while the session is open.
    int reason(int handle) {
        std::lock_guard<std::mutex> lock(_mutex);
        const auto found = _reasons.find(handle);
        return found == _reasons.end() ? -1 : found->second;
    }
    std::vector<Bytes> frames(int handle) {
        std::lock_guard<std::mutex> lock(_mutex);
        return _frames[handle];
    }

private:
    std::mutex _mutex;
    std::set<int> _loggedIn;
    std::map<int, int> _reasons;
    std::map<int, std::vector<Bytes>> _frames;
};

// Whether the frames are 0, 1, 2, ... each whole.
::testing::AssertionResult wholeAndInOrder(const std::vector<Bytes>& frames) {
    for (size_t n = 0; n < frames.size(); ++n) {
        if (frames[n] != framePayload(static_cast<uint32_t>(n))) {
            return ::testing::AssertionFailure() << "frame " << n << " of " << frames.size() << " damaged or out of order";
        }
    }
    return ::testing::AssertionSuccess();
}

// The site: answers the handshake of every connection it accepts, sends the
// frames once it has the client's request, answers alive checks and writes
// down the fillers it receives. Waits are short and end with stop().
class Site {
public:
    explicit Site(int connections) {
        _thread = std::make_unique<FunctionThread>([this, connections] { run(connections); }, "site");
        _thread->start();
    }
    ~Site() { stop(); }

    uint16_t port() const { return _server.port(); }
    void stop() {
        _stopping = true;
        if (_thread) {
            _thread->join();
            _thread.reset();
        }
        _server.close();
    }
    // Connections whose client sent the request.
    int requests() const { return _requests.load(); }
    // The filler numbers received, per connection in the order they came.
    std::vector<std::vector<uint32_t>> fillers() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _fillers;
    }

private:
    struct Peer {
        std::unique_ptr<SiteConnection> connection;
        int step = 0; // 0 awaiting sync, 1 awaiting login, 2 logged in
        size_t index = 0;
        bool closed = false;
    };

    void run(int connections) {
        std::vector<Peer> peers;
        while (!_stopping) {
            if (static_cast<int>(peers.size()) < connections) {
                if (auto accepted = _server.accept(1)) {
                    Peer peer;
                    peer.connection = std::make_unique<SiteConnection>(std::move(accepted));
                    {
                        std::lock_guard<std::mutex> lock(_mutex);
                        peer.index = _fillers.size();
                        _fillers.emplace_back();
                    }
                    peers.push_back(std::move(peer));
                }
            }
            bool idle = true;
            for (Peer& peer : peers) {
                if (!peer.closed) {
                    idle = !serve(peer) && idle;
                }
            }
            if (idle && static_cast<int>(peers.size()) >= connections) {
                Thread::sleep(1);
            }
        }
    }

    // One packet of the peer, if one is there; true when there was.
    bool serve(Peer& peer) {
        auto packet = peer.connection->receive(0);
        if (!packet) {
            // Nothing whole yet, or the client closed (then it stays closed).
            pollfd fd{peer.connection->channel().socket(), POLLIN, 0};
            if (::poll(&fd, 1, 0) == 1 && (fd.revents & (POLLHUP | POLLERR)) != 0 && (fd.revents & POLLIN) == 0) {
                peer.closed = true;
            }
            return false;
        }
        try {
            switch (peer.step) {
            case 0:
                peer.connection->send(siteSync());
                peer.step = 1;
                break;
            case 1:
                peer.connection->send(loginResponse());
                peer.step = 2;
                break;
            default:
                if (packet->type() == COMMON_MESSAGE_ALIVE_CHECK) {
                    packet->payload();
                    if (packet->remaining() > 0 && !packet->getBool()) {
                        peer.connection->send(SitePackets::aliveCheck(true));
                    }
                } else if (packet->type() == RequestType) {
                    ++_requests;
                    for (uint32_t n = 0; n < FrameCount; ++n) {
                        peer.connection->send(SitePackets::withPayload(FrameType, framePayload(n)));
                    }
                } else if (packet->type() == FillerType) {
                    packet->payload();
                    std::lock_guard<std::mutex> lock(_mutex);
                    _fillers[peer.index].push_back(packet->getInt());
                }
                break;
            }
        } catch (const std::exception&) {
            peer.closed = true; // the client went away while we were sending
        }
        return true;
    }

    LoopbackServer _server;
    std::atomic<bool> _stopping{false};
    std::atomic<int> _requests{0};
    std::mutex _mutex;
    std::vector<std::vector<uint32_t>> _fillers;
    std::unique_ptr<FunctionThread> _thread;
};

Packet request() {
    Packet packet;
    packet.begin(RequestType);
    packet.putInt(1);
    packet.finish(false);
    return packet;
}

Packet filler(uint32_t n) {
    Packet packet;
    packet.begin(FillerType);
    packet.putInt(n);
    const Bytes body(FillerPayload - 4, static_cast<uint8_t>(n));
    packet.put(body.data(), static_cast<int>(body.size()));
    packet.finish(false);
    return packet;
}

enum class Step { Connect, Sync, Login, Request, MidFrame, BetweenFrames };

const char* nameOf(Step step) {
    switch (step) {
    case Step::Connect: return "connect";
    case Step::Sync: return "sync";
    case Step::Login: return "login";
    case Step::Request: return "request";
    case Step::MidFrame: return "mid-frame";
    case Step::BetweenFrames: return "between frames";
    }
    return "?";
}

const char* nameOf(Fault fault) {
    switch (fault) {
    case Fault::None: return "none";
    case Fault::Reset: return "reset";
    case Fault::OneByte: return "one byte at a time";
    case Fault::EagainStorm: return "EAGAIN storm";
    case Fault::Eintr: return "EINTR";
    case Fault::Stall: return "peer stops reading";
    case Fault::Trickle: return "trickle";
    case Fault::HalfOpen: return "half-open";
    }
    return "?";
}

FaultySocketApi::Plan planFor(Fault fault, Step step) {
    const Offsets at;
    FaultySocketApi::Plan plan;
    plan.fault = fault;
    switch (step) {
    case Step::Connect: plan.atConnect = true; break;
    case Step::Sync: plan.fromReceived = 0; break;
    case Step::Login: plan.fromReceived = at.login; break;
    case Step::Request: plan.fromReceived = at.request; break;
    case Step::MidFrame: plan.fromReceived = at.request + 2 * at.frame + at.frame / 2; break;
    case Step::BetweenFrames: plan.fromReceived = at.request + 3 * at.frame; break;
    }
    return plan;
}

// Frames a session has whole when the fault cuts it off at the step.
size_t framesBefore(Step step) {
    switch (step) {
    case Step::MidFrame: return 2;
    case Step::BetweenFrames: return 3;
    default: return 0;
    }
}

class NetworkFaultTest : public ::testing::TestWithParam<std::tuple<Fault, Step>> {};

// Everything of one case; destroyed before the descriptors are counted again.
struct Rig {
    ManualClock clock;
    FaultySocketApi api{[this] { return clock.tickCount(); }};
    std::unique_ptr<SelectDispatcher> dispatcher;
    std::unique_ptr<FaultFacade> facade;

    explicit Rig(int sessions) {
        dispatcher = std::make_unique<SelectDispatcher>(sessions, "NetworkFaultTest Dispatcher", api);
        facade = std::make_unique<FaultFacade>(sessions, *dispatcher, clock);
        facade->start();
    }
    ~Rig() {
        facade->stop();
        facade.reset();
        dispatcher.reset();
    }
    // Moves the clock a second at a time, with an alive-check pass each, until
    // the session ends; asks for the frames once the session has logged in.
    bool driveClockUntilClosed(int handle, bool requested, int seconds = 2000) {
        for (int i = 0; i < seconds && facade->reason(handle) < 0; ++i) {
            if (!requested && facade->loggedIn(handle)) {
                requested = sendRequest(handle);
            }
            clock.advanceMilliseconds(1000);
            facade->aliveChecker().checkNow();
            Thread::sleep(i % 8 == 0 ? 1 : 0);
        }
        return eventually([&] { return facade->reason(handle) >= 0; }, 5s);
    }
    bool sendRequest(int handle) {
        try {
            facade->sendPacket(handle, request(), Priority::Normal);
            return true;
        } catch (const InvalidSessionHandleException&) {
        } catch (const SendQueueOverflowException&) {
        }
        return false;
    }
    // Logs in, asks for the frames and waits for all of them.
    void runToTheEnd(int handle) {
        ASSERT_TRUE(eventually([&] { return facade->loggedIn(handle); }, 10s));
        ASSERT_TRUE(sendRequest(handle));
        ASSERT_TRUE(eventually([&] { return facade->frames(handle).size() == FrameCount; }, FramesBound))
            << facade->frames(handle).size() << " frames, reason " << facade->reason(handle);
        EXPECT_TRUE(wholeAndInOrder(facade->frames(handle)));
    }
    void disconnect(int handle) {
        facade->disconnect(handle);
        ASSERT_TRUE(eventually([&] { return facade->reason(handle) >= 0; }, 10s));
        EXPECT_EQ(facade->reason(handle), CloseReason::Requested);
    }
};

TEST_P(NetworkFaultTest, SessionEndsRightOrCarriesOn) {
    const auto [fault, step] = GetParam();
    SCOPED_TRACE(std::string(nameOf(fault)) + " at " + nameOf(step));
    const int descriptors = openDescriptors();
    {
        Site faulty(1);
        Site clean(1);
        Rig rig(2);
        std::shared_ptr<FaultySocketApi::Connection> connection;
        rig.api.setPlanner([&](uint16_t port) -> std::shared_ptr<FaultySocketApi::Connection> {
            if (port != faulty.port()) {
                return nullptr;
            }
            connection = std::make_shared<FaultySocketApi::Connection>(planFor(fault, step));
            return connection;
        });

        const int handle = rig.facade->connect("127.0.0.1", faulty.port(), "admin", "secret");
        const int bystander = rig.facade->connect("127.0.0.1", clean.port(), "admin", "secret");
        ASSERT_GE(handle, CommonFacade::FirstHandle);
        ASSERT_GE(bystander, CommonFacade::FirstHandle);

        // The other session does all its work while the fault is under way.
        rig.runToTheEnd(bystander);
        ASSERT_TRUE(eventually([&] { return connection != nullptr; }, 5s));
        const bool afterLogin = step == Step::Request || step == Step::MidFrame || step == Step::BetweenFrames;

        switch (fault) {
        case Fault::OneByte:
        case Fault::EagainStorm:
        case Fault::Eintr:
            rig.runToTheEnd(handle);
            EXPECT_TRUE(connection->active);
            rig.disconnect(handle);
            break;
        case Fault::Reset:
            if (afterLogin) {
                ASSERT_TRUE(eventually([&] { return rig.facade->loggedIn(handle); }, 10s));
                rig.sendRequest(handle);
            }
            ASSERT_TRUE(eventually([&] { return rig.facade->reason(handle) >= 0; }, 10s));
            EXPECT_EQ(rig.facade->reason(handle), CloseReason::ConnectionReset);
            EXPECT_EQ(rig.facade->frames(handle).size(), framesBefore(step));
            break;
        case Fault::Trickle:
        case Fault::HalfOpen:
            if (afterLogin) {
                ASSERT_TRUE(eventually([&] { return rig.facade->loggedIn(handle); }, 10s));
                ASSERT_TRUE(rig.sendRequest(handle));
            }
            ASSERT_TRUE(eventually([&] { return connection->active.load(); }, 10s));
            rig.disconnect(bystander); // the clock below would have it checked too
            // A trickle gets through a handshake, slowly; it never gets a frame through.
            ASSERT_TRUE(rig.driveClockUntilClosed(handle, afterLogin));
            EXPECT_EQ(rig.facade->reason(handle), CloseReason::NoResponse);
            if (fault == Fault::HalfOpen || afterLogin) {
                EXPECT_EQ(rig.facade->loggedIn(handle), afterLogin);
            }
            EXPECT_EQ(rig.facade->frames(handle).size(), framesBefore(step));
            break;
        case Fault::Stall: {
            if (afterLogin) {
                ASSERT_TRUE(eventually([&] { return rig.facade->loggedIn(handle); }, 10s));
                if (step != Step::Request) {
                    ASSERT_TRUE(rig.sendRequest(handle));
                }
                ASSERT_TRUE(eventually([&] { return connection->active.load(); }, 10s));
                if (step == Step::Request) {
                    ASSERT_TRUE(rig.sendRequest(handle));
                }
                // The peer reads nothing: the send queue fills up, and the
                // next packet is refused whole while the session stays up.
                uint32_t queued = 0;
                bool refused = false;
                while (!refused && queued < 1000) {
                    try {
                        rig.facade->sendPacket(handle, filler(queued), Priority::Normal);
                        ++queued;
                    } catch (const SendQueueOverflowException&) {
                        refused = true;
                    }
                }
                EXPECT_TRUE(refused);
                EXPECT_GT(queued, 100u);
                EXPECT_TRUE(rig.facade->isConnected(handle));
                EXPECT_EQ(rig.facade->reason(handle), -1);
                connection->released = true;
                ASSERT_TRUE(eventually([&] { return rig.facade->frames(handle).size() == FrameCount; }, FramesBound));
                EXPECT_TRUE(wholeAndInOrder(rig.facade->frames(handle)));
                ASSERT_TRUE(eventually([&] { return faulty.fillers()[0].size() == queued; }, 10s));
                std::vector<uint32_t> expected(queued);
                for (uint32_t n = 0; n < queued; ++n) {
                    expected[n] = n;
                }
                EXPECT_EQ(faulty.fillers()[0], expected);
            } else {
                ASSERT_TRUE(eventually([&] { return connection->stallMet.load(); }, 10s));
                EXPECT_FALSE(rig.facade->loggedIn(handle));
                connection->released = true;
                rig.runToTheEnd(handle);
            }
            rig.disconnect(handle);
            break;
        }
        case Fault::None:
            break;
        }

        // The other session saw nothing of it.
        EXPECT_TRUE(wholeAndInOrder(rig.facade->frames(bystander)));
        EXPECT_EQ(rig.facade->frames(bystander).size(), static_cast<size_t>(FrameCount));
        if (rig.facade->reason(bystander) < 0) {
            rig.disconnect(bystander);
        }
        EXPECT_EQ(rig.facade->reason(bystander), CloseReason::Requested);
    }
    EXPECT_EQ(openDescriptors(), descriptors);
}

// 100 sessions on one dispatcher, half of them with a fault drawn at random
// (seeded) at a random byte of their stream: every fault-free session gets
// every frame whole, the others end or finish without damaging a frame, and
// no descriptor is left behind.
TEST(NetworkFaultSoakTest, HundredSessionsWithSeededFaults) {
    constexpr int Sessions = 100;
    const unsigned seed = 15;
    SCOPED_TRACE("seed " + std::to_string(seed));
    const int descriptors = openDescriptors();
    {
        Site clean(Sessions / 2);
        Site faulty(Sessions / 2);
        Rig rig(Sessions);
        std::mt19937 random(seed);
        const Offsets at;
        const int64_t streamLength = at.request + FrameCount * at.frame;
        std::vector<std::shared_ptr<FaultySocketApi::Connection>> planned;
        rig.api.setPlanner([&](uint16_t port) -> std::shared_ptr<FaultySocketApi::Connection> {
            if (port != faulty.port()) {
                return nullptr;
            }
            static constexpr Fault faults[] = {Fault::Reset, Fault::OneByte, Fault::EagainStorm, Fault::Eintr,
                                               Fault::Stall, Fault::Trickle, Fault::HalfOpen};
            FaultySocketApi::Plan plan;
            plan.fault = faults[random() % std::size(faults)];
            plan.atConnect = random() % 8 == 0;
            plan.fromReceived = static_cast<int64_t>(random() % static_cast<uint32_t>(streamLength));
            planned.push_back(std::make_shared<FaultySocketApi::Connection>(plan));
            return planned.back();
        });

        std::vector<int> cleanHandles;
        std::vector<int> faultyHandles;
        for (int i = 0; i < Sessions; ++i) {
            const bool isClean = i % 2 == 0;
            const int handle =
                rig.facade->connect("127.0.0.1", isClean ? clean.port() : faulty.port(), "admin", "secret");
            ASSERT_GE(handle, CommonFacade::FirstHandle);
            (isClean ? cleanHandles : faultyHandles).push_back(handle);
        }

        // A bounded run: requests go out as sessions log in; stalled peers read again after a while.
        std::set<int> requested;
        const auto start = std::chrono::steady_clock::now();
        const auto cleanDone = [&] {
            for (int handle : cleanHandles) {
                if (rig.facade->frames(handle).size() != FrameCount) {
                    return false;
                }
            }
            return true;
        };
        while (std::chrono::steady_clock::now() - start < 10s && !cleanDone()) {
            for (int i = 0; i < Sessions; ++i) {
                const int handle = i % 2 == 0 ? cleanHandles[i / 2] : faultyHandles[i / 2];
                if (requested.count(handle) == 0 && rig.facade->loggedIn(handle) && rig.sendRequest(handle)) {
                    requested.insert(handle);
                }
            }
            if (std::chrono::steady_clock::now() - start > 300ms) {
                rig.api.setPlanner(nullptr);
                for (const auto& connection : planned) {
                    connection->released = true;
                }
            }
            Thread::sleep(5);
        }
        for (int handle : cleanHandles) {
            EXPECT_EQ(rig.facade->frames(handle).size(), static_cast<size_t>(FrameCount)) << "handle " << handle;
            EXPECT_TRUE(wholeAndInOrder(rig.facade->frames(handle))) << "handle " << handle;
            EXPECT_EQ(rig.facade->reason(handle), -1) << "handle " << handle;
            rig.disconnect(handle);
        }
        // What the faults left open, the alive check ends once the clock moves.
        for (int second = 0; second < 2000; ++second) {
            bool open = false;
            for (int handle : faultyHandles) {
                if (rig.facade->reason(handle) < 0) {
                    open = true;
                    if (requested.count(handle) == 0 && rig.facade->loggedIn(handle) && rig.sendRequest(handle)) {
                        requested.insert(handle);
                    }
                }
            }
            if (!open) {
                break;
            }
            rig.clock.advanceMilliseconds(1000);
            rig.facade->aliveChecker().checkNow();
            Thread::sleep(second % 8 == 0 ? 1 : 0);
        }
        int completed = 0;
        for (int handle : faultyHandles) {
            const auto frames = rig.facade->frames(handle);
            EXPECT_TRUE(wholeAndInOrder(frames)) << "handle " << handle;
            completed += frames.size() == FrameCount ? 1 : 0;
        }
        EXPECT_EQ(planned.size(), faultyHandles.size());
        RecordProperty("faulty sessions that got every frame", completed);
    }
    EXPECT_EQ(openDescriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, NetworkFaultTest,
    ::testing::Combine(::testing::Values(Fault::Reset, Fault::OneByte, Fault::EagainStorm, Fault::Eintr, Fault::Stall,
                                         Fault::Trickle, Fault::HalfOpen),
                       ::testing::Values(Step::Connect, Step::Sync, Step::Login, Step::Request, Step::MidFrame,
                                         Step::BetweenFrames)),
    [](const ::testing::TestParamInfo<NetworkFaultTest::ParamType>& info) {
        std::string name = std::string(nameOf(std::get<0>(info.param))) + "_at_" + nameOf(std::get<1>(info.param));
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) {
                c = '_';
            }
        }
        return name;
    });

} // namespace
} // namespace ostrel
