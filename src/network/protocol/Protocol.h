#pragma once

#include "network/protocol/INetStruct.h"

#include <cstdint>

namespace ostrel {

// The protocol identifier at the head of every sync: a 4-character name, a
// version, a backward-compatible flag and two attribute bytes (8 bytes).
class Protocol : public INetStruct {
public:
    static constexpr int WireSize = 8;

    Protocol();
    Protocol(const char name[4], uint8_t version, bool backwardCompatible, uint8_t attribute1,
             uint8_t attribute2);

    // The protocol this system speaks: "ISNP" version 1, not backward compatible, attributes 1 and 1.
    static const Protocol& local();

    void read(ByteBuffer& buffer) override;
    void write(Packet& packet) const override;

    const char* name() const { return _name; } // 4 characters, terminated
    uint8_t version() const { return _version; }
    bool isBackwardCompatible() const { return _backwardCompatible; }
    uint8_t attribute1() const { return _attribute1; }
    uint8_t attribute2() const { return _attribute2; }

    bool sameName(const Protocol& other) const;
    // Whether a peer speaking `received` can talk to us (names equal, and a
    // newer version only when it declares itself backward compatible).
    bool accepts(const Protocol& received) const;

    // Attribute bytes keep 1, 2 and 3; any other value reads as 0.
    static constexpr uint8_t attributeOf(uint8_t raw) { return raw >= 1 && raw <= 3 ? raw : 0; }

private:
    char _name[5] = {};
    uint8_t _version = 0;
    bool _backwardCompatible = false;
    uint8_t _attribute1 = 0;
    uint8_t _attribute2 = 0;
};

} // namespace ostrel
