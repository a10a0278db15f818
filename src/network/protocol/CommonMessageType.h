#pragma once

#include <cstdint>

namespace ostrel {

// Packet types of the session layer (the playback messages use 513 to 531).
enum CommonMessageType : uint16_t {
    COMMON_MESSAGE_SYNC = 1,
    COMMON_MESSAGE_REQUEST_LOGIN = 2,
    COMMON_MESSAGE_RESPONSE_LOGIN = 3,
    COMMON_MESSAGE_FIN = 6,
    COMMON_MESSAGE_ALIVE_CHECK = 7,
    COMMON_MESSAGE_CHANNEL_FULL = 8,
    COMMON_MESSAGE_UNKNOWN_TYPE = 9,
};

} // namespace ostrel
