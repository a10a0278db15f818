#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace ostrel {

enum ByteOrder : int { BigEndian = 1, LittleEndian = 2 };

// A byte array with a position and a limit, after the pattern of a stream
// buffer: relative puts and gets work at the position and advance it, absolute
// ones work at an index and leave it alone.
//
// Invariant: 0 <= position <= limit <= capacity; remaining = limit - position.
// Multi-byte values are swapped whenever the buffer's byte order differs from
// the host's. Every operation is bounds-checked: a failing put or get throws
// ByteBufferException, writes nothing and leaves the position unchanged, so
// parsers fed a truncated or malformed message never touch memory outside
// the buffer.
//
// A buffer either owns its array or wraps memory of the caller (which must
// outlive it). Buffers are move-only: the array has exactly one owner.
class ByteBuffer {
public:
    // The byte order of this machine; new buffers take it.
    static constexpr ByteOrder hostOrder();

    // An empty buffer (capacity 0).
    ByteBuffer();
    // Owns a zeroed array of `capacity` bytes (code 2 when negative, 5 when it cannot be allocated).
    explicit ByteBuffer(int capacity);
    // Wraps `length` bytes of caller memory; they are not freed by the buffer.
    ByteBuffer(void* data, int length);
    // Wraps caller memory from `offset` up to `length`: capacity = length - offset.
    ByteBuffer(void* data, int offset, int length);

    ByteBuffer(ByteBuffer&& other) noexcept;
    ByteBuffer& operator=(ByteBuffer&& other) noexcept;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    virtual ~ByteBuffer();

    // Relative puts (code 0 when fewer bytes remain than needed).
    // Copies the source's remaining bytes; only this buffer advances (code 2 for itself).
    virtual void put(ByteBuffer& source);
    virtual void put(const void* bytes, int offset, int length);
    virtual void put(const void* bytes, int length);
    virtual void put(uint8_t value);
    virtual void putShort(uint16_t value);
    virtual void putInt(uint32_t value);
    virtual void putLong(uint64_t value);
    // One byte: 0xFF for true, 0x00 for false.
    virtual void putBool(bool value);
    // u16 character count, the characters, one 0 byte (code 2 for more than 65535 characters).
    virtual void putString(std::string_view text);
    void putString(const char* text);

    // Absolute puts: write at `index` without moving the position. They are
    // bounds-checked against the limit (code 3) and never grow a buffer.
    virtual void put(int index, uint8_t value);
    virtual void putShort(int index, uint16_t value);
    virtual void putInt(int index, uint32_t value);

    // Relative gets (code 1 when fewer bytes remain than needed).
    uint8_t get();
    uint16_t getShort();
    uint32_t getInt();
    uint64_t getLong();
    // True for any non-zero byte.
    bool getBool();
    // Absolute gets inside 0..limit-1 (code 3 otherwise); the position is unchanged.
    uint8_t get(int index) const;
    uint16_t getShort(int index) const;
    uint32_t getInt(int index) const;
    // Copies `length` bytes into bytes + offset.
    void get(void* bytes, int offset, int length);
    // Reads a string and returns its characters in place (terminated inside the
    // buffer); the pointer is valid while the buffer's bytes are.
    const char* getString();
    // Reads a string into a field of `fieldSize` bytes: at most fieldSize - 1
    // characters are kept and the field is always terminated; the whole string
    // is consumed either way.
    void getString(char* field, int fieldSize);

    int position() const { return _position; }
    // Code 2 outside 0..limit.
    void position(int newPosition);
    int limit() const { return _limit; }
    // Code 2 outside position..capacity.
    void limit(int newLimit);
    int remaining() const { return _limit - _position; }
    int capacity() const { return _capacity; }
    bool isWrapped() const { return _wrapped; }
    // position += n, through the checked position setter.
    void skip(int n);
    // limit = position, position = 0: switch from writing to reading.
    void flip();
    // position = 0, limit = capacity.
    void clear();
    ByteOrder order() const { return _order; }
    void order(ByteOrder newOrder);
    // The bytes from the position on.
    uint8_t* array() { return _data + _position; }
    const uint8_t* array() const { return _data + _position; }

protected:
    // Replaces an owned array by a zeroed one of capacity + extra bytes, keeping
    // the bytes up to the limit; the limit becomes the new capacity.
    void grow(int extra);
    // Throws code 0 unless `size` bytes can be put at the position.
    void requireWritable(int size) const;

private:
    void requireReadable(int size) const;
    void requireIndex(int index, int size) const;
    void swapIn(void* dest, const void* src, int size) const;
    void putScalar(const void* value, int size);
    void getScalar(void* value, int size);
    void putScalarAt(int index, const void* value, int size);
    void getScalarAt(int index, void* value, int size) const;

    bool _wrapped = false;
    ByteOrder _order;
    int _capacity = 0;
    int _position = 0;
    int _limit = 0;
    std::unique_ptr<uint8_t[]> _owned;
    uint8_t* _data = nullptr;
};

constexpr ByteOrder ByteBuffer::hostOrder() {
    return std::endian::native == std::endian::big ? BigEndian : LittleEndian;
}

} // namespace ostrel
