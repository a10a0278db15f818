#include "app/ui/AccessGuard.h"

#include "base/Exception.h"

#include <arpa/inet.h>
#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <cerrno>

namespace ostrel {

namespace {
std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}
} // namespace

AccessGuard::AccessGuard(std::string token, std::string listenHost, uint16_t port)
    : _token(std::move(token)), _listenHost(lower(listenHost)), _port(port) {}

std::string AccessGuard::newToken() {
    unsigned char bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw SystemException(errno, "getrandom");
        }
        got += static_cast<std::size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += digits[b >> 4];
        token += digits[b & 15];
    }
    return token;
}

bool AccessGuard::isLoopback(const std::string& host) {
    if (host == "localhost") {
        return true;
    }
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        return IN6_IS_ADDR_LOOPBACK(&v6);
    }
    return false;
}

std::string AccessGuard::origin() const {
    const bool v6 = _listenHost.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + _listenHost + "]" : _listenHost) + ":" + std::to_string(_port);
}

std::string AccessGuard::address() const { return origin() + "/?token=" + _token; }

bool AccessGuard::tokenMatches(std::string_view candidate) const {
    if (candidate.size() != _token.size() || _token.empty()) {
        return false;
    }
    unsigned char diff = 0;
    for (std::size_t i = 0; i < _token.size(); ++i) {
        diff |= static_cast<unsigned char>(candidate[i] ^ _token[i]);
    }
    return diff == 0;
}

bool AccessGuard::hostAllowed(std::string_view host) const {
    const std::string h = lower(trim(host));
    const std::string port = ":" + std::to_string(_port);
    const bool v6 = _listenHost.find(':') != std::string::npos;
    const std::string own = (v6 ? "[" + _listenHost + "]" : _listenHost) + port;
    return h == own || h == "localhost" + port || h == "127.0.0.1" + port || h == "[::1]" + port;
}

bool AccessGuard::originAllowed(std::string_view origin) const {
    const std::string o = lower(trim(origin));
    const std::string prefix = "http://";
    return o.rfind(prefix, 0) == 0 && hostAllowed(std::string_view(o).substr(prefix.size()));
}

std::string AccessGuard::cookieName() const { return "ostrel_token_" + std::to_string(_port); }

std::optional<std::string> AccessGuard::cookieToken(std::string_view header) const {
    const std::string name = cookieName();
    while (!header.empty()) {
        const auto semicolon = header.find(';');
        std::string_view pair = trim(header.substr(0, semicolon));
        header = semicolon == std::string_view::npos ? std::string_view() : header.substr(semicolon + 1);
        const auto eq = pair.find('=');
        if (eq != std::string_view::npos && trim(pair.substr(0, eq)) == name) {
            return std::string(trim(pair.substr(eq + 1)));
        }
    }
    return std::nullopt;
}

std::string AccessGuard::setCookieHeader() const {
    return cookieName() + "=" + _token + "; Path=/; HttpOnly; SameSite=Strict";
}

} // namespace ostrel
