#pragma once

namespace ostrel {

class ByteBuffer;
class Packet;

// A structure of the site protocol that reads itself from a received payload
// and writes itself into a packet being built. Reads raise
// ByteBufferException when the payload is shorter than the structure.
class INetStruct {
public:
    virtual ~INetStruct() = default;
    virtual void read(ByteBuffer& buffer) = 0;
    virtual void write(Packet& packet) const = 0;
};

} // namespace ostrel
