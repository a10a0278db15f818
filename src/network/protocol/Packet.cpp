#include "network/protocol/Packet.h"

#include "base/ByteBufferException.h"
#include "base/Date.h"
#include "base/DateTime.h"
#include "base/Time.h"

#include <limits>

namespace ostrel {

Packet::Packet() : ByteBuffer(GrowStep) { order(BigEndian); }

Packet::Packet(int capacity) : ByteBuffer(capacity) { order(BigEndian); }

Packet::Packet(uint8_t* bytes, int length) : ByteBuffer(bytes, length) { order(BigEndian); }

void Packet::reserveScalar(int size) {
    if (static_cast<long long>(capacity()) < static_cast<long long>(position()) + size) {
        grow(GrowStep);
    }
}

void Packet::reserveBulk(int size) {
    if (size > remaining()) {
        grow(size - remaining());
    }
}

void Packet::put(ByteBuffer& source) {
    if (&source != this) {
        reserveBulk(source.remaining());
    }
    ByteBuffer::put(source);
}

void Packet::put(const void* bytes, int offset, int length) {
    if (length > 0 && offset >= 0) {
        reserveBulk(length);
    }
    ByteBuffer::put(bytes, offset, length);
}

void Packet::put(const void* bytes, int length) { put(bytes, 0, length); }

void Packet::put(uint8_t value) {
    reserveScalar(1);
    ByteBuffer::put(value);
}

void Packet::putShort(uint16_t value) {
    reserveScalar(2);
    ByteBuffer::putShort(value);
}

void Packet::putInt(uint32_t value) {
    reserveScalar(4);
    ByteBuffer::putInt(value);
}

void Packet::putLong(uint64_t value) {
    reserveScalar(8);
    ByteBuffer::putLong(value);
}

void Packet::putBool(bool value) {
    reserveScalar(1);
    ByteBuffer::putBool(value);
}

void Packet::putString(std::string_view text) {
    if (text.size() <= std::numeric_limits<uint16_t>::max()) {
        reserveBulk(static_cast<int>(text.size()) + 3);
    }
    ByteBuffer::putString(text);
}

void Packet::begin(uint16_t type) {
    clear();
    if (capacity() < HeaderSize) {
        grow(GrowStep);
    }
    ByteBuffer::putShort(0, Magic);
    ByteBuffer::putShort(2, type);
    ByteBuffer::putInt(4, 0);
    position(HeaderSize);
}

void Packet::finish(bool pad) {
    if (pad) {
        while ((position() - HeaderSize) % 4 != 0) {
            put(uint8_t{0});
        }
    }
    flip();
    ByteBuffer::putInt(4, static_cast<uint32_t>(limit() - HeaderSize));
}

uint16_t Packet::type() const { return getShort(2); }

uint32_t Packet::payloadSize() const { return getInt(4); }

Packet& Packet::payload() {
    const uint32_t size = payloadSize();
    if (size > static_cast<uint32_t>(std::numeric_limits<int>::max() - HeaderSize)) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    const int end = static_cast<int>(size) + HeaderSize;
    if (capacity() < end) {
        grow(end - capacity());
    }
    position(0);
    limit(end);
    position(HeaderSize);
    return *this;
}

void Packet::prepareHeader() {
    if (capacity() < HeaderSize) {
        grow(HeaderSize - capacity());
    }
    position(0);
    limit(HeaderSize);
}

void Packet::releaseArray() { *this = Packet(0); }

void Packet::requireReadable(int size) const {
    if (remaining() < size) {
        throw ByteBufferException(ByteBufferException::Underflow);
    }
}

void Packet::putDate(const Date& date) {
    reserveScalar(4);
    putShort(static_cast<uint16_t>(date.year()));
    put(static_cast<uint8_t>(date.month()));
    put(static_cast<uint8_t>(date.day()));
}

Date Packet::getDate() {
    requireReadable(4);
    const int year = getShort();
    const int month = get();
    const int day = get();
    return Date(year, month, day);
}

void Packet::skipDate() {
    requireReadable(4);
    skip(4);
}

void Packet::putTime(const Time& time) {
    reserveScalar(4);
    put(uint8_t{0});
    put(static_cast<uint8_t>(time.hour()));
    put(static_cast<uint8_t>(time.minute()));
    put(static_cast<uint8_t>(time.second()));
}

Time Packet::getTime() {
    requireReadable(4);
    skip(1);
    const int hour = get();
    const int minute = get();
    const int second = get();
    return Time(hour, minute, second);
}

void Packet::skipTime() {
    requireReadable(4);
    skip(4);
}

void Packet::putDateTime(const DateTime& dateTime) {
    reserveScalar(8);
    putDate(dateTime.date());
    putTime(dateTime.time());
}

DateTime Packet::getDateTime() {
    requireReadable(8);
    const Date date = getDate();
    return DateTime(date, getTime());
}

void Packet::putFrameTime(const Time& time) {
    reserveScalar(4);
    put(static_cast<uint8_t>(time.hour()));
    put(static_cast<uint8_t>(time.minute()));
    put(static_cast<uint8_t>(time.second()));
    put(uint8_t{0});
}

Time Packet::getFrameTime() {
    requireReadable(4);
    const int hour = get();
    const int minute = get();
    const int second = get();
    skip(1);
    return Time(hour, minute, second);
}

void Packet::putFrameDateTime(const DateTime& dateTime) {
    reserveScalar(8);
    putDate(dateTime.date());
    putFrameTime(dateTime.time());
}

DateTime Packet::getFrameDateTime() {
    requireReadable(8);
    const Date date = getDate();
    return DateTime(date, getFrameTime());
}

} // namespace ostrel
