#pragma once

namespace ostrel {

class ByteBuffer;

// Values with a binary form inside the byte buffers of the layer that owns the
// format (page buffers, packet buffers). Multi-byte fields follow the buffer's
// byte order; single bytes are written as they are.
class ISerializable {
public:
    virtual ~ISerializable() = default;

    // Bytes of the serialized form.
    virtual int size() const = 0;
    // Reads the value from `offset`; the buffer's position is not used or moved.
    virtual void readAt(const ByteBuffer& buffer, int offset) = 0;
    // Reads the value at the buffer's position and advances the position past it.
    virtual void read(ByteBuffer& buffer) = 0;
    // Writes the value at `offset`; the buffer's position is not used or moved.
    virtual void writeAt(ByteBuffer& buffer, int offset) const = 0;
    // Writes the value at the buffer's position and advances the position past it.
    virtual void write(ByteBuffer& buffer) const = 0;

protected:
    ISerializable() = default;
    ISerializable(const ISerializable&) = default;
    ISerializable& operator=(const ISerializable&) = default;
};

} // namespace ostrel
