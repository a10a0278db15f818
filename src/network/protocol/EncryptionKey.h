#pragma once

#include "network/protocol/ISyncOption.h"

#include <array>
#include <cstdint>

namespace ostrel {

// Sync option 4: the 4 key bytes the site mixes into the login digest. Kept
// and re-sent exactly as received (never byte-swapped).
class EncryptionKey : public ISyncOption {
public:
    using Bytes = std::array<uint8_t, 4>;

    EncryptionKey() = default;
    explicit EncryptionKey(const Bytes& bytes) : _bytes(bytes) {}

    void read(ByteBuffer& buffer) override;
    void write(Packet& packet) const override;
    int size() const override { return 4; }
    uint8_t id() const override { return EncryptionKeyId; }

    const Bytes& bytes() const { return _bytes; }

private:
    Bytes _bytes{};
};

} // namespace ostrel
