#include "tools/ostrel-sitesim/support/SiteTestClient.h"

#include "network/protocol/CommonMessageType.h"
#include "network/protocol/NewAliveCheckOption.h"
#include "network/protocol/SyncOptionList.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace ostrel::test {

SiteTestClient::SiteTestClient(uint16_t port) {
    _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (_fd < 0) {
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    }
    timeval timeout{TimeoutMs / 1000, 0};
    ::setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(_fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int on = 1;
    ::setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(_fd);
        throw std::runtime_error(std::string("connect: ") + std::strerror(error));
    }
}

SiteTestClient::~SiteTestClient() { ::close(_fd); }

void SiteTestClient::sendBytes(const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(std::string("send: ") + std::strerror(errno));
        }
        sent += static_cast<size_t>(n);
    }
}

void SiteTestClient::send(const Packet& packet) {
    const uint8_t* bytes = packet.array() - packet.position();
    sendBytes(std::vector<uint8_t>(bytes, bytes + packet.limit()));
}

bool SiteTestClient::receiveBytes(std::vector<uint8_t>& bytes, size_t n) {
    bytes.resize(n);
    size_t received = 0;
    while (received < n) {
        const ssize_t got = ::recv(_fd, bytes.data() + received, n - received, 0);
        if (got == 0) {
            return false;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == ECONNRESET) {
                return false;
            }
            throw std::runtime_error(errno == EAGAIN || errno == EWOULDBLOCK ? "the site did not answer in time"
                                                                              : std::strerror(errno));
        }
        received += static_cast<size_t>(got);
    }
    return true;
}

bool SiteTestClient::receive(Packet& packet) {
    std::vector<uint8_t> header;
    if (!receiveBytes(header, Packet::HeaderSize)) {
        return false;
    }
    const uint32_t size = static_cast<uint32_t>(header[4]) << 24 | static_cast<uint32_t>(header[5]) << 16 |
                          static_cast<uint32_t>(header[6]) << 8 | header[7];
    if (size > 1048576) {
        throw std::runtime_error("payload size " + std::to_string(size) + " above the client maximum");
    }
    std::vector<uint8_t> payload;
    if (!receiveBytes(payload, size)) {
        return false;
    }
    packet.clear();
    packet.put(header.data(), Packet::HeaderSize);
    if (!payload.empty()) {
        packet.put(payload.data(), static_cast<int>(payload.size()));
    }
    packet.flip();
    return true;
}

Packet SiteTestClient::expect(uint16_t type) {
    Packet packet;
    if (!receive(packet)) {
        throw std::runtime_error("the site closed the connection; expected type " + std::to_string(type));
    }
    if (packet.type() != type) {
        throw std::runtime_error("received type " + std::to_string(packet.type()) + "; expected " +
                                 std::to_string(type));
    }
    return packet;
}

bool SiteTestClient::closedBySite() {
    std::vector<uint8_t> scratch(65536);
    while (true) {
        const ssize_t got = ::recv(_fd, scratch.data(), scratch.size(), 0);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == ECONNRESET;
        }
    }
}

bool SiteTestClient::dataWithin(int ms) {
    pollfd fd{_fd, POLLIN, 0};
    return ::poll(&fd, 1, ms) > 0;
}

SiteSync SiteTestClient::handshake() {
    SyncOptionList options;
    options.add(NewAliveCheckOption::instance());
    Packet packet;
    _analyzer.makeSync(packet, options);
    send(packet);
    Packet reply = expect(COMMON_MESSAGE_SYNC);
    SiteSync sync;
    if (!_analyzer.parseSync(reply, sync.profiles, sync.product, sync.oem, sync.system, sync.key,
                             sync.newAliveCheck)) {
        throw std::runtime_error("the site's protocol was refused");
    }
    return sync;
}

LoginResult SiteTestClient::login(const std::string& user, const std::string& password) {
    const SiteSync sync = handshake();
    Packet packet;
    _analyzer.makeLoginRequest(packet, user, password, sync.key);
    send(packet);
    Packet reply = expect(COMMON_MESSAGE_RESPONSE_LOGIN);
    LoginResult result;
    _analyzer.parseLoginResponse(reply, result);
    return result;
}

} // namespace ostrel::test
