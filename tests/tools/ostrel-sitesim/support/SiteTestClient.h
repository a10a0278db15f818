#pragma once

#include "network/protocol/EncryptionKey.h"
#include "network/protocol/LoginResult.h"
#include "network/protocol/Packet.h"
#include "network/protocol/ProductInfo.h"
#include "network/protocol/ProfileList.h"
#include "network/protocol/RemoteOemInfo.h"
#include "network/protocol/RemoteSystemInfo.h"
#include "network/protocol/playback/PlaybackClientPacketAnalyzer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ostrel::test {

// What a site's sync said.
struct SiteSync {
    ProfileList profiles;
    ProductInfo product;
    RemoteOemInfo oem;
    RemoteSystemInfo system;
    EncryptionKey key;
    bool newAliveCheck = false;
};

// A plain blocking client of a simulated site on the loopback interface:
// every read and write waits at most Timeout, and a wait that runs out
// throws, so a test never hangs on a silent site.
class SiteTestClient {
public:
    static constexpr int TimeoutMs = 10000;

    explicit SiteTestClient(uint16_t port);
    ~SiteTestClient();
    SiteTestClient(const SiteTestClient&) = delete;
    SiteTestClient& operator=(const SiteTestClient&) = delete;

    void send(const Packet& packet);
    // Sends raw bytes (for malformed input).
    void sendBytes(const std::vector<uint8_t>& bytes);
    // The next whole packet; false when the site closed the connection first.
    bool receive(Packet& packet);
    // The next packet, which must be of `type` (throws otherwise or on close).
    Packet expect(uint16_t type);
    // Exactly n bytes; false on close.
    bool receiveBytes(std::vector<uint8_t>& bytes, size_t n);
    // True when the site closes the connection within the timeout, dropping what arrives first.
    bool closedBySite();
    // Whether any byte arrives within `ms` milliseconds (it is left unread).
    bool dataWithin(int ms);

    // Our sync (option 13), then the site's first packet, which must be a sync.
    SiteSync handshake();
    // Handshake and login; the response.
    LoginResult login(const std::string& user, const std::string& password);

    const PlaybackClientPacketAnalyzer& analyzer() const { return _analyzer; }

private:
    int _fd = -1;
    PlaybackClientPacketAnalyzer _analyzer;
};

} // namespace ostrel::test
