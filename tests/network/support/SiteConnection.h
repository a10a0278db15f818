#pragma once

#include "network/protocol/Packet.h"
#include "network/protocol/PacketReader.h"
#include "network/socket/SocketChannel.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostrel::test {

// The site's end of one connection in tests: receives whole packets
// (bounded waits) and sends packets or raw bytes.
class SiteConnection {
public:
    explicit SiteConnection(std::unique_ptr<SocketChannel> channel);

    // The next packet, or nothing when the peer closed or the time ran out.
    // A timeout of 0 looks once without waiting.
    std::optional<Packet> receive(int timeoutMilliseconds = 5000);
    void send(const Packet& packet);
    void sendBytes(const std::vector<uint8_t>& bytes);
    // Whether the client closed the connection within the time (packets meanwhile are dropped).
    bool waitForClose(int timeoutMilliseconds = 5000);
    SocketChannel& channel() { return *_channel; }

private:
    std::unique_ptr<SocketChannel> _channel;
    std::vector<uint8_t> _pending;
    PacketReader _reader{16 * 1024 * 1024};
};

// Packets a site sends.
struct SitePackets {
    // A COMMON_MESSAGE_SYNC with the given protocol bytes and options.
    static Packet sync(const std::vector<uint8_t>& protocol, const std::vector<uint8_t>& options);
    // The protocol bytes of the local protocol ("ISNP" 1).
    static std::vector<uint8_t> localProtocol();
    // Option bytes: u8 id, u16 length, body.
    static std::vector<uint8_t> option(uint8_t id, const std::vector<uint8_t>& body);
    // A profile list option with the given types.
    static std::vector<uint8_t> profiles(const std::vector<uint8_t>& types);
    // A product info option.
    static std::vector<uint8_t> product(uint32_t modelCode, const std::string& version = "2.0");
    static std::vector<uint8_t> key(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
    static Packet loginResponse(uint8_t code, uint32_t first, std::optional<uint32_t> second);
    static Packet aliveCheck(bool isReply);
    static Packet withPayload(uint16_t type, const std::vector<uint8_t>& payload);
};

} // namespace ostrel::test
