#pragma once

#include <cstdint>
#include <string>

namespace ostrel {

// How a schedule reaches its site. The password is never traced or logged.
struct ConnectionInfo {
    std::string address;
    uint16_t port = 0;
    std::string user;
    std::string password;
};

} // namespace ostrel
