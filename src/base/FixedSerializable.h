#pragma once

#include "base/ByteBuffer.h"
#include "base/ISerializable.h"

#include <cstdint>

namespace ostrel {

// A serializable value of a small fixed size (at most MaxSize bytes). The value
// is encoded whole into a local array and then moved in one step, so a read or
// write that does not fit the buffer throws ByteBufferException and changes
// neither the buffer nor the value.
class FixedSerializable : public ISerializable {
public:
    static constexpr int MaxSize = 16;

    // Writes the size() bytes of the serialized form, multi-byte fields in `order`.
    virtual void encode(uint8_t* out, ByteOrder order) const = 0;
    // Takes the value from size() bytes of serialized form in `order`.
    virtual void decode(const uint8_t* in, ByteOrder order) = 0;

    void readAt(const ByteBuffer& buffer, int offset) override;
    void read(ByteBuffer& buffer) override;
    void writeAt(ByteBuffer& buffer, int offset) const override;
    void write(ByteBuffer& buffer) const override;

protected:
    FixedSerializable() = default;
    FixedSerializable(const FixedSerializable&) = default;
    FixedSerializable& operator=(const FixedSerializable&) = default;

    static void storeShort(uint8_t* out, uint16_t value, ByteOrder order);
    static uint16_t loadShort(const uint8_t* in, ByteOrder order);

private:
    int checkedSize() const;
};

} // namespace ostrel
