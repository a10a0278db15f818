#pragma once

#include <cstdint>
#include <string_view>

struct sockaddr_in;

namespace ostrel {

// A host and port in resolved, printable form (IPv4).
class SocketAddress {
public:
    static constexpr int MaxHostNameLength = 63;
    static constexpr int MaxIpLength = 31;

    // Unset.
    SocketAddress() = default;
    // Resolved at once (see setAddress).
    SocketAddress(std::string_view host, uint16_t port);
    // From a raw socket address: its dotted text and port, host name "Unknown".
    explicit SocketAddress(const sockaddr_in& address);

    // Keeps an IPv4 literal as it is; resolves any other name (IPv4 only) and
    // keeps the first address. A resolver failure throws
    // SocketAddressInfoException with the resolver's code. The host name field
    // keeps its previous value.
    void setAddress(std::string_view host, uint16_t port);

    // The process-wide local address: this host's name, "0.0.0.0", port 0.
    static const SocketAddress& localAddress();

    const char* hostName() const { return _hostName; }
    // The dotted text, or nullptr while unset.
    const char* ipAddress() const { return _unset ? nullptr : _ip; }
    uint16_t port() const { return _port; }
    bool isUnset() const { return _unset; }
    void setPort(uint16_t port) { _port = port; }
    void setHostName(std::string_view name);
    void unset();
    // The raw IPv4 socket address (the address must be set).
    sockaddr_in toSockaddr() const;

private:
    char _hostName[MaxHostNameLength + 1] = {};
    char _ip[MaxIpLength + 1] = {};
    uint16_t _port = 0;
    bool _unset = true;
};

} // namespace ostrel
