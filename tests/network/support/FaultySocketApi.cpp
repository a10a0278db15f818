#include "network/support/FaultySocketApi.h"

#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <vector>

namespace ostrel::test {
namespace {

constexpr uint32_t TrickleMilliseconds = 1000;
// How long a poll may sleep while a trickle waits for its tick source: the
// tick source moves without waking anybody.
constexpr int TricklePollMilliseconds = 2;

int fail(int error) {
    errno = error;
    return -1;
}

} // namespace

FaultySocketApi::FaultySocketApi(std::function<uint32_t()> ticks, SocketApi& real)
    : _ticks(std::move(ticks)), _real(real) {}

void FaultySocketApi::setPlanner(Planner planner) {
    std::lock_guard<std::mutex> lock(_mutex);
    _planner = std::move(planner);
}

FaultySocketApi::Connection* FaultySocketApi::find(int socket) {
    const auto found = _connections.find(socket);
    return found == _connections.end() ? nullptr : found->second.get();
}

bool FaultySocketApi::activeNow(Connection& connection) {
    if (connection.active.load()) {
        return true;
    }
    if (connection.plan.fault == Fault::None) {
        return false;
    }
    if (connection.plan.atConnect || (connection._up && connection.received.load() >= connection.plan.fromReceived)) {
        connection.active = true;
    }
    return connection.active.load();
}

int FaultySocketApi::close(int socket) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _connections.erase(socket);
    }
    return _real.close(socket);
}

int FaultySocketApi::connect(int socket, const sockaddr_in& address) {
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_planner) {
            connection = _planner(ntohs(address.sin_port));
        }
        if (connection) {
            _connections[socket] = connection;
        }
    }
    if (!connection || !connection->plan.atConnect) {
        const int result = _real.connect(socket, address);
        if (result == 0 && connection) {
            std::lock_guard<std::mutex> lock(_mutex);
            connection->_up = true;
        }
        return result;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    connection->active = true;
    switch (connection->plan.fault) {
    case Fault::Reset:
        return fail(ECONNRESET);
    case Fault::Eintr:
    case Fault::EagainStorm: {
        // The connect goes on in the background, as after a real interruption.
        const int result = _real.connect(socket, address);
        if (result != 0 && errno != EINPROGRESS) {
            return result;
        }
        return fail(connection->plan.fault == Fault::Eintr ? EINTR : EAGAIN);
    }
    case Fault::HalfOpen: {
        const int result = _real.connect(socket, address);
        return result != 0 ? result : fail(EINPROGRESS);
    }
    default: {
        const int result = _real.connect(socket, address);
        if (result == 0) {
            connection->_up = true;
        }
        return result;
    }
    }
}

ssize_t FaultySocketApi::recv(int socket, void* bytes, size_t n, int flags) {
    std::lock_guard<std::mutex> lock(_mutex);
    Connection* connection = find(socket);
    if (connection == nullptr) {
        return _real.recv(socket, bytes, n, flags);
    }
    connection->_up = true;
    if (!activeNow(*connection)) {
        if (!connection->plan.atConnect && connection->plan.fault != Fault::None) {
            // Stop exactly where the fault starts.
            n = std::min<size_t>(n, static_cast<size_t>(connection->plan.fromReceived - connection->received.load()));
        }
    } else {
        switch (connection->plan.fault) {
        case Fault::Reset:
            return fail(ECONNRESET);
        case Fault::OneByte:
            n = std::min<size_t>(n, 1);
            break;
        case Fault::EagainStorm:
            if (++connection->_storm % 4 != 0) {
                return fail(EAGAIN);
            }
            break;
        case Fault::Eintr:
            if (++connection->_interrupt % 2 != 0) {
                return fail(EINTR);
            }
            break;
        case Fault::Trickle: {
            const uint32_t now = _ticks();
            if (connection->_trickleStarted && now - connection->_lastTrickle < TrickleMilliseconds) {
                return fail(EAGAIN);
            }
            n = std::min<size_t>(n, 1);
            const ssize_t count = _real.recv(socket, bytes, n, flags);
            if (count > 0) {
                connection->_trickleStarted = true;
                connection->_lastTrickle = now;
                connection->received += count;
            }
            return count;
        }
        case Fault::HalfOpen:
            return fail(EAGAIN);
        default:
            break;
        }
    }
    const ssize_t count = _real.recv(socket, bytes, n, flags);
    if (count > 0) {
        connection->received += count;
    }
    return count;
}

ssize_t FaultySocketApi::send(int socket, const void* bytes, size_t n, int flags) {
    std::lock_guard<std::mutex> lock(_mutex);
    Connection* connection = find(socket);
    if (connection == nullptr) {
        return _real.send(socket, bytes, n, flags);
    }
    connection->_up = true;
    if (activeNow(*connection)) {
        switch (connection->plan.fault) {
        case Fault::Reset:
            return fail(ECONNRESET);
        case Fault::OneByte:
            n = std::min<size_t>(n, 1);
            break;
        case Fault::EagainStorm:
            if (++connection->_storm % 4 != 0) {
                return fail(EAGAIN);
            }
            break;
        case Fault::Eintr:
            if (++connection->_interrupt % 2 != 0) {
                return fail(EINTR);
            }
            break;
        case Fault::Stall:
            if (!connection->released.load()) {
                connection->stallMet = true;
                return fail(EAGAIN);
            }
            break;
        case Fault::HalfOpen:
            connection->sent += static_cast<int64_t>(n);
            return static_cast<ssize_t>(n);
        default:
            break;
        }
    }
    const ssize_t count = _real.send(socket, bytes, n, flags);
    if (count > 0) {
        connection->sent += count;
    }
    return count;
}

int FaultySocketApi::poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) {
    std::vector<int> original(count);
    std::vector<short> forced(count, 0);
    bool interrupt = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (nfds_t i = 0; i < count; ++i) {
            original[i] = fds[i].fd;
            Connection* connection = find(fds[i].fd);
            if (connection == nullptr || !activeNow(*connection)) {
                continue;
            }
            switch (connection->plan.fault) {
            case Fault::Reset:
                forced[i] = POLLERR | POLLHUP;
                fds[i].fd = -1;
                break;
            case Fault::Eintr:
                interrupt = true;
                break;
            case Fault::Stall:
                if (!connection->released.load() && (fds[i].events & POLLOUT) != 0) {
                    connection->stallMet = true;
                    fds[i].events &= static_cast<short>(~POLLOUT);
                }
                break;
            case Fault::Trickle:
                if (connection->_trickleStarted && _ticks() - connection->_lastTrickle < TrickleMilliseconds) {
                    fds[i].fd = -1;
                }
                timeoutMilliseconds = std::min(timeoutMilliseconds, TricklePollMilliseconds);
                break;
            case Fault::HalfOpen:
                fds[i].fd = -1;
                break;
            default:
                break;
            }
        }
        if (interrupt && ++_pollInterrupt % 2 != 0) {
            for (nfds_t i = 0; i < count; ++i) {
                fds[i].fd = original[i];
            }
            return fail(EINTR);
        }
    }
    const bool anyForced = std::any_of(forced.begin(), forced.end(), [](short events) { return events != 0; });
    int ready = _real.poll(fds, count, anyForced ? 0 : timeoutMilliseconds);
    const int error = errno;
    if (ready < 0) {
        for (nfds_t i = 0; i < count; ++i) {
            fds[i].fd = original[i];
        }
        errno = error;
        return ready;
    }
    ready = 0;
    std::lock_guard<std::mutex> lock(_mutex);
    for (nfds_t i = 0; i < count; ++i) {
        if (fds[i].fd < 0 && original[i] >= 0) {
            fds[i].revents = forced[i];
        }
        fds[i].fd = original[i];
        if (Connection* connection = find(fds[i].fd); connection != nullptr && (fds[i].revents & POLLOUT) != 0) {
            connection->_up = true; // the connect completed
        }
        ready += fds[i].revents != 0 ? 1 : 0;
    }
    return ready;
}

int FaultySocketApi::getOption(int socket, int level, int name, void* value, socklen_t* length) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        Connection* connection = find(socket);
        if (connection != nullptr && level == SOL_SOCKET && name == SO_ERROR && connection->active.load() &&
            connection->plan.fault == Fault::Reset && *length >= sizeof(int)) {
            *static_cast<int*>(value) = ECONNRESET;
            return 0;
        }
    }
    return _real.getOption(socket, level, name, value, length);
}

} // namespace ostrel::test
