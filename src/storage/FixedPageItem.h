#pragma once

#include "base/ByteBuffer.h"
#include "base/ISerializable.h"

#include <cstddef>
#include <cstdint>

namespace ostrel {

class Buffer;

// A fixed-size record of the tracks that are not indexed by media ID (info,
// log and bad-page records). Concrete records give their byte form once
// (encode / decode in a byte order); reading and writing at an offset of a
// page buffer and the ISerializable side are built on it. Page accesses are
// bounds-checked by the buffer (VarnelException code 4 outside the page).
class FixedPageItem : public ISerializable {
public:
    static constexpr std::size_t MaxSize = 64;

    virtual void encode(std::uint8_t* out, ByteOrder order) const = 0;
    virtual void decode(const std::uint8_t* in, ByteOrder order) = 0;

    void readAt(const Buffer& buffer, std::size_t offset);
    void writeAt(Buffer& buffer, std::size_t offset) const;

    void readAt(const ByteBuffer& buffer, int offset) override;
    void read(ByteBuffer& buffer) override;
    void writeAt(ByteBuffer& buffer, int offset) const override;
    void write(ByteBuffer& buffer) const override;

protected:
    FixedPageItem() = default;
    FixedPageItem(const FixedPageItem&) = default;
    FixedPageItem& operator=(const FixedPageItem&) = default;

private:
    std::size_t checkedSize() const;
};

} // namespace ostrel
