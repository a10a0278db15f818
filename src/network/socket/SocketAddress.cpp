#include "network/socket/SocketAddress.h"

#include "network/socket/SocketException.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <unistd.h>

namespace ostrel {
namespace {

void copyText(char* field, size_t fieldSize, std::string_view text) {
    const size_t kept = std::min(text.size(), fieldSize - 1);
    std::memcpy(field, text.data(), kept);
    field[kept] = '\0';
}

struct AddrInfoFree {
    void operator()(addrinfo* info) const { ::freeaddrinfo(info); }
};

} // namespace

SocketAddress::SocketAddress(std::string_view host, uint16_t port) { setAddress(host, port); }

SocketAddress::SocketAddress(const sockaddr_in& address) {
    copyText(_hostName, sizeof _hostName, "Unknown");
    ::inet_ntop(AF_INET, &address.sin_addr, _ip, sizeof _ip);
    _port = ntohs(address.sin_port);
    _unset = false;
}

void SocketAddress::setAddress(std::string_view host, uint16_t port) {
    const std::string name(host);
    in_addr literal{};
    if (::inet_pton(AF_INET, name.c_str(), &literal) == 1) {
        copyText(_ip, sizeof _ip, name);
    } else {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_CANONNAME;
        addrinfo* found = nullptr;
        const int result = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
        std::unique_ptr<addrinfo, AddrInfoFree> owner(found);
        if (result != 0) {
            throw SocketAddressInfoException(result);
        }
        if (found == nullptr || found->ai_addr == nullptr) {
            throw SocketAddressInfoException(EAI_NONAME);
        }
        const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
        ::inet_ntop(AF_INET, &address->sin_addr, _ip, sizeof _ip);
    }
    _port = port;
    _unset = false;
}

const SocketAddress& SocketAddress::localAddress() {
    static const SocketAddress instance = [] {
        char name[256] = {};
        if (::gethostname(name, sizeof name - 1) != 0) {
            throw SocketException(errno);
        }
        SocketAddress address;
        address.setHostName(name);
        copyText(address._ip, sizeof address._ip, "0.0.0.0");
        address._port = 0;
        address._unset = false;
        return address;
    }();
    return instance;
}

void SocketAddress::setHostName(std::string_view name) { copyText(_hostName, sizeof _hostName, name); }

void SocketAddress::unset() { *this = SocketAddress(); }

sockaddr_in SocketAddress::toSockaddr() const {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(_port);
    if (_unset || ::inet_pton(AF_INET, _ip, &address.sin_addr) != 1) {
        throw SocketAddressException(EINVAL, "address is not set");
    }
    return address;
}

} // namespace ostrel
