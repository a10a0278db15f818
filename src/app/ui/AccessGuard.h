#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ostrel {

// Who may talk to the local server. It listens on loopback only; a random
// token made per run travels in the address Ostrel prints and becomes an
// HttpOnly, SameSite=Strict cookie, and every request without it is refused.
// The Host header must name the server itself (no DNS rebinding) and a POST
// must come from its own origin (no cross-site requests).
class AccessGuard {
public:
    AccessGuard(std::string token, std::string listenHost, uint16_t port);

    // 128 random bits as 32 lower-case hex digits.
    static std::string newToken();
    // Whether an address may be listened on: loopback only.
    static bool isLoopback(const std::string& host);

    const std::string& token() const { return _token; }
    uint16_t port() const { return _port; }
    // "http://HOST:PORT/?token=TOKEN": the address to open.
    std::string address() const;
    // "http://HOST:PORT".
    std::string origin() const;

    bool tokenMatches(std::string_view candidate) const;
    bool hostAllowed(std::string_view host) const;
    bool originAllowed(std::string_view origin) const;
    // The token carried by a Cookie header, if any.
    std::optional<std::string> cookieToken(std::string_view cookieHeader) const;
    // Named after the port, so two instances on one host keep their own.
    std::string cookieName() const;
    std::string setCookieHeader() const;

private:
    std::string _token;
    std::string _listenHost;
    uint16_t _port;
};

} // namespace ostrel
