#include "ostrel-sitesim/SiteServer.h"

#include "base/Exception.h"
#include "ostrel-sitesim/SiteConnection.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

namespace ostrel {

namespace {

constexpr int AcceptPollMs = 200;
constexpr int Backlog = 64;

sockaddr_in resolve(const std::string& address, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(address.c_str(), nullptr, &hints, &found);
    if (error != 0 || found == nullptr) {
        throw Exception("SocketAddressInfoException", error,
                        "cannot resolve \"" + address + "\": " + ::gai_strerror(error));
    }
    sockaddr_in result = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    ::freeaddrinfo(found);
    result.sin_port = htons(port);
    return result;
}

} // namespace

SiteServer::SiteServer(SiteSettings settings) : _settings(std::move(settings)) { _settings.validate(); }

SiteServer::~SiteServer() { stop(); }

int64_t SiteServer::elapsed() const {
    if (_settings.clock) {
        return _settings.clock();
    }
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - _started).count();
}

uint16_t SiteServer::start() {
    if (_acceptThread.joinable()) {
        return _port;
    }
    int64_t shift = 0;
    const std::vector<SectionDescription>& sections = _settings.recording.sections;
    if (_settings.recording.anchorToNow && !sections.empty()) {
        shift = DateTime::now().epochSeconds() - sections.back().to.epochSeconds();
    }
    _recording = std::make_unique<SyntheticRecording>(_settings.recording, shift);

    const sockaddr_in address = resolve(_settings.listenAddress, _settings.port);
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener.valid()) {
        throw SystemException(errno, "socket");
    }
    const int on = 1;
    ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw SystemException(errno, "bind " + _settings.listenAddress + ":" + std::to_string(_settings.port));
    }
    if (::listen(listener.get(), Backlog) != 0) {
        throw SystemException(errno, "listen");
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        throw SystemException(errno, "getsockname");
    }
    UniqueFd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid()) {
        throw SystemException(errno, "eventfd");
    }
    _port = ntohs(bound.sin_port);
    _listener = std::move(listener);
    _wake = std::move(wake);
    _started = std::chrono::steady_clock::now();
    _stopping = false;
    _acceptThread = std::thread([this] { acceptLoop(); });
    return _port;
}

void SiteServer::stop() {
    if (!_acceptThread.joinable()) {
        return;
    }
    _stopping = true;
    const uint64_t one = 1;
    // Wakes the accept loop and every connection's poll at once.
    [[maybe_unused]] const ssize_t written = ::write(_wake.get(), &one, sizeof one);
    _acceptThread.join();
    reap(true);
    _listener.reset();
    _wake.reset();
}

void SiteServer::acceptLoop() {
    while (!_stopping.load()) {
        pollfd fds[2] = {};
        fds[0].fd = _listener.get();
        fds[0].events = POLLIN;
        fds[1].fd = _wake.get();
        fds[1].events = POLLIN;
        const int ready = ::poll(fds, 2, AcceptPollMs);
        reap(false);
        if (ready > 0 && (fds[0].revents & POLLIN) && !_stopping.load()) {
            acceptOne();
        }
    }
}

void SiteServer::acceptOne() {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    UniqueFd socket(::accept4(_listener.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!socket.valid()) {
        return; // the client went away before it was accepted, or the process is out of descriptors
    }
    const int on = 1;
    ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const uint64_t id = ++_accepted;
    std::lock_guard<std::mutex> lock(_workersMutex);
    const size_t active = _workers.size();
    // Clients beyond twice the maximum are not even told: they would only
    // cost a thread each.
    if (active >= static_cast<size_t>(_settings.maxConnections) * 2) {
        return;
    }
    const bool overCapacity = active >= static_cast<size_t>(_settings.maxConnections);
    if (_settings.log) {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        _settings.log("connection " + std::to_string(id) + ": accepted from " + text + ":" +
                      std::to_string(ntohs(peer.sin_port)));
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto connection = std::make_shared<SiteConnection>(std::move(socket), id, overCapacity, _settings, *_recording,
                                                       [this] { return elapsed(); }, _stopping, _wake.get());
    std::thread thread([connection, done, id, log = _settings.log] {
        try {
            connection->run();
        } catch (const std::exception& e) {
            // A connection's failure ends that connection only.
            if (log) {
                log("connection " + std::to_string(id) + ": failed: " + e.what());
            }
        }
        done->store(true);
    });
    _workers.push_back({std::move(thread), done});
}

void SiteServer::reap(bool all) {
    std::list<Worker> finished;
    {
        std::lock_guard<std::mutex> lock(_workersMutex);
        for (auto it = _workers.begin(); it != _workers.end();) {
            if (all || it->done->load()) {
                finished.push_back(std::move(*it));
                it = _workers.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Worker& worker : finished) {
        worker.thread.join();
    }
}

} // namespace ostrel
