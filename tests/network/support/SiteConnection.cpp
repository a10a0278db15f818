#include "network/support/SiteConnection.h"

#include "network/protocol/CommonMessageType.h"
#include "network/protocol/EncryptionKey.h"
#include "network/protocol/ProductInfo.h"
#include "network/protocol/ProfileList.h"
#include "network/socket/SocketException.h"
#include "network/support/PacketBytes.h"

#include <chrono>
#include <poll.h>
#include <sys/socket.h>

namespace ostrel::test {
namespace {

std::vector<uint8_t> bodyOf(const INetStruct& structure) {
    Packet packet;
    packet.begin(1);
    structure.write(packet);
    packet.finish(false);
    const auto bytes = bytesOf(packet);
    return std::vector<uint8_t>(bytes.begin() + Packet::HeaderSize, bytes.end());
}

} // namespace

SiteConnection::SiteConnection(std::unique_ptr<SocketChannel> channel) : _channel(std::move(channel)) {}

std::optional<Packet> SiteConnection::receive(int timeoutMilliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (true) {
        int consumed = 0;
        const auto result = _reader.feed(_pending.data(), static_cast<int>(_pending.size()), consumed);
        _pending.erase(_pending.begin(), _pending.begin() + consumed);
        if (result == PacketReader::Result::Complete) {
            return packetOf(bytesOf(_reader.packet()));
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd fd{_channel->socket(), POLLIN, 0};
        if (left < 0 || ::poll(&fd, 1, static_cast<int>(left)) != 1) {
            return std::nullopt;
        }
        uint8_t bytes[65536];
        const ssize_t count = ::recv(_channel->socket(), bytes, sizeof bytes, 0);
        if (count <= 0) {
            return std::nullopt;
        }
        _pending.insert(_pending.end(), bytes, bytes + count);
    }
}

void SiteConnection::send(const Packet& packet) { sendBytes(bytesOf(packet)); }

void SiteConnection::sendBytes(const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = ::send(_channel->socket(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count <= 0) {
            throw SocketException(errno);
        }
        sent += static_cast<size_t>(count);
    }
}

bool SiteConnection::waitForClose(int timeoutMilliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd fd{_channel->socket(), POLLIN, 0};
        if (left <= 0 || ::poll(&fd, 1, static_cast<int>(left)) != 1) {
            return false;
        }
        uint8_t bytes[4096];
        if (::recv(_channel->socket(), bytes, sizeof bytes, 0) <= 0) {
            return true;
        }
    }
}

Packet SitePackets::sync(const std::vector<uint8_t>& protocol, const std::vector<uint8_t>& options) {
    std::vector<uint8_t> payload = protocol;
    payload.insert(payload.end(), options.begin(), options.end());
    while (payload.size() % 4 != 0) {
        payload.push_back(0);
    }
    return withPayload(COMMON_MESSAGE_SYNC, payload);
}

std::vector<uint8_t> SitePackets::localProtocol() { return {'I', 'S', 'N', 'P', 1, 0, 1, 1}; }

std::vector<uint8_t> SitePackets::option(uint8_t id, const std::vector<uint8_t>& body) {
    std::vector<uint8_t> bytes = {id, static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

std::vector<uint8_t> SitePackets::profiles(const std::vector<uint8_t>& types) {
    ProfileList list;
    for (const uint8_t type : types) {
        list.add({type, 1, true});
    }
    return option(1, bodyOf(list));
}

std::vector<uint8_t> SitePackets::product(uint32_t modelCode, const std::string& version) {
    return option(2, bodyOf(ProductInfo(1, modelCode, "Recorder", version)));
}

std::vector<uint8_t> SitePackets::key(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return option(4, bodyOf(EncryptionKey({a, b, c, d})));
}

Packet SitePackets::loginResponse(uint8_t code, uint32_t first, std::optional<uint32_t> second) {
    Packet packet;
    packet.begin(COMMON_MESSAGE_RESPONSE_LOGIN);
    packet.put(code);
    packet.putInt(first);
    if (second) {
        packet.putInt(*second);
    }
    packet.finish(true);
    return packet;
}

Packet SitePackets::aliveCheck(bool isReply) {
    Packet packet;
    packet.begin(COMMON_MESSAGE_ALIVE_CHECK);
    packet.putBool(isReply);
    packet.finish(true);
    return packet;
}

Packet SitePackets::withPayload(uint16_t type, const std::vector<uint8_t>& payload) { return packetWith(type, payload); }

} // namespace ostrel::test
