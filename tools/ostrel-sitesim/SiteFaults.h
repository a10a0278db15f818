#pragma once

#include <cstdint>
#include <optional>

namespace ostrel {

// Misbehaviours a simulated site can be told to show, for testing clients.
struct SiteFaults {
    // Answer every client's sync with COMMON_MESSAGE_CHANNEL_FULL and close.
    bool channelFull = false;
    // Answer the client's sync with a login response instead of a sync.
    bool wrongFirstPacket = false;
    // Answer every login with this result code (0 or 2 to 5) and close.
    std::optional<uint8_t> refuseLogin;
    // Offer only profile types 1 and 3, no playback profile (type 2).
    bool noPlaybackProfile = false;
    // Close the connection once this many media frames have been sent.
    std::optional<uint64_t> disconnectAfterFrames;
    // After the login, send nothing at all (no replies, no alive checks).
    bool silence = false;
    // After the login, send a header announcing a payload of 1,048,577 bytes.
    bool oversizedHeader = false;
};

} // namespace ostrel
