#pragma once

#include "network/socket/SocketApi.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace ostrel::test {

// The system's sockets with faults injected into chosen connections: the
// network as a test wants it to misbehave. Every connect asks the planner for
// the connection's faults (by the port it connects to); connections without a
// plan, the wake-up pair among them, pass straight through.
//
// A fault starts at the connect or, once the connection is up, when the client
// has received a given number of bytes: receives are cut short at that point,
// so a fault can start exactly inside a packet.
class FaultySocketApi : public SocketApi {
public:
    enum class Fault {
        None,
        // The peer resets: poll reports an error, SO_ERROR, receives and sends ECONNRESET.
        Reset,
        // Every receive and send moves one byte.
        OneByte,
        // Three receives (sends) in four fail with EAGAIN, though poll said ready.
        EagainStorm,
        // Every other poll, receive and send is interrupted (EINTR); so is the connect.
        Eintr,
        // The peer stops reading: sends would block and poll never says
        // writable, until released.
        Stall,
        // The peer sends a byte a second (of the tick source) at most.
        Trickle,
        // The peer is gone without a word: nothing arrives, sends vanish, a
        // connect never completes.
        HalfOpen,
    };

    struct Plan {
        Fault fault = Fault::None;
        bool atConnect = false;
        // Without atConnect: the received byte count at which the fault starts.
        int64_t fromReceived = 0;
    };

    // One planned connection, as the test follows it.
    class Connection {
    public:
        explicit Connection(const Plan& plan) : plan(plan) {}
        const Plan plan;
        // The fault has started.
        std::atomic<bool> active{false};
        // A Stall lets go.
        std::atomic<bool> released{false};
        // The client wanted to send into the Stall.
        std::atomic<bool> stallMet{false};
        std::atomic<int64_t> received{0};
        std::atomic<int64_t> sent{0};

    private:
        friend class FaultySocketApi;
        bool _up = false;
        uint32_t _storm = 0;
        uint32_t _interrupt = 0;
        bool _trickleStarted = false;
        uint32_t _lastTrickle = 0;
    };

    using Planner = std::function<std::shared_ptr<Connection>(uint16_t port)>;

    explicit FaultySocketApi(std::function<uint32_t()> ticks, SocketApi& real = SocketApi::posix());

    void setPlanner(Planner planner);

    int socket() override { return _real.socket(); }
    int close(int socket) override;
    int connect(int socket, const sockaddr_in& address) override;
    int bind(int socket, const sockaddr_in& address) override { return _real.bind(socket, address); }
    int listen(int socket, int backlog) override { return _real.listen(socket, backlog); }
    int accept(int socket, sockaddr_in& peer) override { return _real.accept(socket, peer); }
    ssize_t recv(int socket, void* bytes, size_t n, int flags) override;
    ssize_t send(int socket, const void* bytes, size_t n, int flags) override;
    int poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) override;
    int shutdown(int socket, int how) override { return _real.shutdown(socket, how); }
    int getOption(int socket, int level, int name, void* value, socklen_t* length) override;
    int setOption(int socket, int level, int name, const void* value, socklen_t length) override {
        return _real.setOption(socket, level, name, value, length);
    }
    int localName(int socket, sockaddr_in& address) override { return _real.localName(socket, address); }
    int peerName(int socket, sockaddr_in& address) override { return _real.peerName(socket, address); }
    int setBlocking(int socket, bool blocking) override { return _real.setBlocking(socket, blocking); }

private:
    // Under the mutex: the connection of the socket, nullptr when unplanned.
    Connection* find(int socket);
    // Under the mutex: whether the fault holds now (and marks it).
    bool activeNow(Connection& connection);

    std::function<uint32_t()> _ticks;
    SocketApi& _real;
    std::mutex _mutex;
    Planner _planner;
    std::map<int, std::shared_ptr<Connection>> _connections;
    uint32_t _pollInterrupt = 0;
};

} // namespace ostrel::test
