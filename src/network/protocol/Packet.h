#pragma once

#include "base/ByteBuffer.h"

#include <cstdint>

namespace ostrel {

class Date;
class DateTime;
class Time;

// One message of the site protocol: an 8-byte header (u16 magic 1559, u16
// type, u32 payload size) followed by the payload, all big-endian.
//
// A packet owns its array and grows on relative puts, so requests can be built
// field by field without sizing them first: a scalar put that does not fit
// grows the array by GrowStep bytes, a bulk put by exactly what is missing. A
// grown packet keeps its larger array, so a reused packet stops allocating
// once it has seen its largest message. Absolute puts never grow.
//
// Building: begin(type), relative puts, finish(true). Parsing: payload(), then
// relative gets; every get is bounds-checked against the payload's end.
class Packet : public ByteBuffer {
public:
    static constexpr int HeaderSize = 8;
    static constexpr int GrowStep = 81920;
    static constexpr uint16_t Magic = 1559;

    Packet();
    // A packet with an array of `capacity` bytes; 0 allocates nothing until
    // the packet is first built or received into.
    explicit Packet(int capacity);
    // A view of a whole packet, header first, in bytes someone else holds:
    // for parsing where it was received, with nothing copied or allocated.
    // The bytes must outlive it; a put that needs more room moves it into an
    // array of its own.
    Packet(uint8_t* bytes, int length);
    Packet(Packet&&) noexcept = default;
    Packet& operator=(Packet&&) noexcept = default;

    using ByteBuffer::put;
    using ByteBuffer::putShort;
    using ByteBuffer::putInt;
    using ByteBuffer::putString;

    void put(ByteBuffer& source) override;
    void put(const void* bytes, int offset, int length) override;
    void put(const void* bytes, int length) override;
    void put(uint8_t value) override;
    void putShort(uint16_t value) override;
    void putInt(uint32_t value) override;
    void putLong(uint64_t value) override;
    void putBool(bool value) override;
    void putString(std::string_view text) override;

    // clear; magic at 0, the type at 2, 0 at 4; position 8.
    void begin(uint16_t type);
    // With pad, zero bytes up to the next multiple of 4 of the payload; then
    // flip and write the payload size (limit - 8) at 4.
    void finish(bool pad);
    uint16_t type() const;
    uint32_t payloadSize() const;
    // Makes room for the payload the header announces and selects it for
    // reading: position 8, limit payloadSize + 8. Every parser starts here.
    // A size that cannot be held in memory raises code 2.
    Packet& payload();
    // position 0, limit 8: ready to receive a header.
    void prepareHeader();
    // Gives the array back (however far it grew): an empty packet again, as
    // Packet(0) makes it.
    void releaseArray();

    // Date (4 bytes): u16 year, u8 month, u8 day.
    void putDate(const Date& date);
    Date getDate();
    void skipDate();
    // Time in request layout (4 bytes): u8 0, hour, minute, second. The zone
    // does not travel; a read time has zone 0.
    void putTime(const Time& time);
    Time getTime();
    void skipTime();
    // DateTime in request layout: Date, then Time in request layout. Used in
    // every request, reply and list.
    void putDateTime(const DateTime& dateTime);
    DateTime getDateTime();
    // Time in frame layout (4 bytes): hour, minute, second, u8 0.
    void putFrameTime(const Time& time);
    Time getFrameTime();
    // DateTime in frame layout: Date, then Time in frame layout. Used only for
    // the timestamps of received media and text-in frames.
    void putFrameDateTime(const DateTime& dateTime);
    DateTime getFrameDateTime();

private:
    // Raises code 1 unless `size` bytes remain, so a composite read fails whole.
    void requireReadable(int size) const;
    // Grows by GrowStep when a scalar of `size` bytes does not fit the capacity.
    void reserveScalar(int size);
    // Grows by exactly the shortfall when `size` bytes do not fit the remaining room.
    void reserveBulk(int size);
};

} // namespace ostrel
