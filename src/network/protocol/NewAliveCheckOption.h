#pragma once

#include "network/protocol/ISyncOption.h"

namespace ostrel {

// Sync option 13, without a body: its presence says that the sender runs the
// newer alive-check scheme (requests only after 120 s of silence, no 20 s
// keep-alive).
class NewAliveCheckOption : public ISyncOption {
public:
    // The one instance every client sync carries.
    static NewAliveCheckOption& instance();

    void read(ByteBuffer&) override {}
    void write(Packet&) const override {}
    int size() const override { return 0; }
    uint8_t id() const override { return NewAliveCheckId; }
};

} // namespace ostrel
