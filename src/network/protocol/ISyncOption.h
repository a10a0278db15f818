#pragma once

#include "network/protocol/INetStruct.h"

#include <cstdint>

namespace ostrel {

// One option of a COMMON_MESSAGE_SYNC payload. On the wire each option is
// u8 id, u16 body length, then the body that write() produces.
class ISyncOption : public INetStruct {
public:
    static constexpr uint8_t ProfileListId = 1;
    static constexpr uint8_t ProductInfoId = 2;
    static constexpr uint8_t RemoteOemInfoId = 3;
    static constexpr uint8_t EncryptionKeyId = 4;
    static constexpr uint8_t RemoteSystemInfoId = 5;
    // Carried by no message of ours; the id only has to differ from the others.
    static constexpr uint8_t RequestOptionListId = 6;
    static constexpr uint8_t NewAliveCheckId = 13;

    // The number of body bytes write() produces.
    virtual int size() const = 0;
    virtual uint8_t id() const = 0;

    // Option ids 1 to 13 are known to the protocol; any other byte reads as 0.
    static constexpr uint8_t recognizedId(uint8_t raw) { return raw >= 1 && raw <= 13 ? raw : 0; }
};

} // namespace ostrel
