// How fast a simulated site streams a playback over loopback, next to the
// raw loopback TCP throughput measured in the same run: the site should
// deliver "as fast as TCP allows", so the two figures should be close.
#include "network/protocol/CommonMessageType.h"
#include "network/protocol/EncryptionKey.h"
#include "network/protocol/LoginResult.h"
#include "network/protocol/NewAliveCheckOption.h"
#include "network/protocol/PacketReader.h"
#include "network/protocol/ProductInfo.h"
#include "network/protocol/ProfileList.h"
#include "network/protocol/RemoteOemInfo.h"
#include "network/protocol/RemoteSystemInfo.h"
#include "network/protocol/SyncOptionList.h"
#include "network/protocol/playback/PlayRequest.h"
#include "network/protocol/playback/PlaybackClientPacketAnalyzer.h"
#include "network/protocol/playback/PlaybackMessageType.h"
#include "ostrel-sitesim/SiteServer.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ostrel;
using Clock = std::chrono::steady_clock;

namespace {

int connectTo(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval timeout{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("connect failed");
    }
    return fd;
}

void sendAll(int fd, const Packet& packet) {
    const uint8_t* bytes = packet.array() - packet.position();
    for (int sent = 0; sent < packet.limit();) {
        const ssize_t n = ::send(fd, bytes + sent, static_cast<size_t>(packet.limit() - sent), MSG_NOSIGNAL);
        if (n <= 0) {
            throw std::runtime_error("send failed");
        }
        sent += static_cast<int>(n);
    }
}

// Reads packets from the socket; calls `each` for every complete one until it returns false.
template <typename Each>
uint64_t readPackets(int fd, PacketReader& reader, Each each) {
    std::vector<uint8_t> buffer(1 << 20);
    uint64_t bytes = 0;
    while (true) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got <= 0) {
            throw std::runtime_error("the site closed the connection or did not answer");
        }
        bytes += static_cast<uint64_t>(got);
        for (int offset = 0; offset < got;) {
            int consumed = 0;
            const auto result = reader.feed(buffer.data() + offset, static_cast<int>(got) - offset, consumed);
            offset += consumed;
            if (result == PacketReader::Result::Complete && !each(reader.packet())) {
                return bytes;
            }
        }
    }
}

// Bytes a second of a plain loopback TCP stream of `total` bytes.
double rawLoopback(uint64_t total) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 1);
    socklen_t length = sizeof address;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::thread sender([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        std::vector<uint8_t> block(256 * 1024, 0x5A);
        for (uint64_t sent = 0; sent < total;) {
            const ssize_t n = ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            sent += static_cast<uint64_t>(n);
        }
        ::close(fd);
    });
    const int fd = connectTo(ntohs(address.sin_port));
    std::vector<uint8_t> buffer(1 << 20);
    const auto start = Clock::now();
    uint64_t received = 0;
    while (true) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) {
            break;
        }
        received += static_cast<uint64_t>(n);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    sender.join();
    ::close(fd);
    ::close(listener);
    return received / seconds;
}

} // namespace

int main() {
    SiteSettings settings;
    settings.recording.sections = {{1, DateTime(2024, 1, 1, 10, 0, 0), DateTime(2024, 1, 1, 10, 29, 59)}};
    SiteServer site(settings);
    const uint16_t port = site.start();

    const int fd = connectTo(port);
    const PlaybackClientPacketAnalyzer analyzer;
    PacketReader reader(1048576);
    Packet packet;
    SyncOptionList options;
    options.add(NewAliveCheckOption::instance());
    analyzer.makeSync(packet, options);
    sendAll(fd, packet);
    EncryptionKey key;
    readPackets(fd, reader, [&](Packet& sync) {
        ProfileList profiles;
        ProductInfo product;
        RemoteOemInfo oem;
        RemoteSystemInfo system;
        bool newAliveCheck = false;
        analyzer.parseSync(sync, profiles, product, oem, system, key, newAliveCheck);
        return false;
    });
    analyzer.makeLoginRequest(packet, "admin", "admin", key);
    sendAll(fd, packet);
    readPackets(fd, reader, [](Packet&) { return false; });

    analyzer.makePlayRequest(packet, PlayRequest::play(Interval(settings.recording.sections[0].from,
                                                                settings.recording.sections[0].to),
                                                       BitMask32(BitMask32::AllBits), 1, 1, 3));
    const auto start = Clock::now();
    sendAll(fd, packet);
    uint64_t frames = 0;
    const uint64_t bytes = readPackets(fd, reader, [&](Packet& received) {
        if (received.type() == PLAYBACK_MESSAGE_PLAYBACK_STOPPED) {
            return false;
        }
        ++frames;
        return true;
    });
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    site.stop();

    const double reference = rawLoopback(bytes);
    std::printf("simulated site, 1800 s of the default channels played: %llu frames, %.1f MB in %.2f s\n",
                static_cast<unsigned long long>(frames), bytes / 1e6, seconds);
    std::printf("  site playback:      %8.1f MB/s  %10.0f frames/s  (%.0f recorded seconds per second)\n",
                bytes / seconds / 1e6, frames / seconds, 1800 / seconds);
    std::printf("  reference loopback: %8.1f MB/s  (plain TCP stream of the same bytes, same run)\n",
                reference / 1e6);
    return 0;
}
