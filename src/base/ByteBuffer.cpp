#include "base/ByteBuffer.h"

#include "base/ByteBufferException.h"

#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace ostrel {
namespace {

std::unique_ptr<uint8_t[]> allocate(int size) {
    try {
        return std::make_unique<uint8_t[]>(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        throw ByteBufferException(ByteBufferException::OutOfMemory);
    }
}

} // namespace

ByteBuffer::ByteBuffer() : _order(hostOrder()) {}

ByteBuffer::ByteBuffer(int capacity) : _order(hostOrder()) {
    if (capacity < 0) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    _owned = allocate(capacity);
    _data = _owned.get();
    _capacity = capacity;
    _limit = capacity;
}

ByteBuffer::ByteBuffer(void* data, int length) : ByteBuffer(data, 0, length) {}

ByteBuffer::ByteBuffer(void* data, int offset, int length) : _wrapped(true), _order(hostOrder()) {
    if (offset < 0 || length < 0) {
        throw ByteBufferException(ByteBufferException::IndexOutOfRange);
    }
    if (offset > length || (offset == length && length > 0)) {
        throw ByteBufferException(ByteBufferException::IndexOutOfRange);
    }
    if (data == nullptr && length > 0) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    _data = length > 0 ? static_cast<uint8_t*>(data) + offset : static_cast<uint8_t*>(data);
    _capacity = length - offset;
    _limit = _capacity;
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : _wrapped(other._wrapped),
      _order(other._order),
      _capacity(std::exchange(other._capacity, 0)),
      _position(std::exchange(other._position, 0)),
      _limit(std::exchange(other._limit, 0)),
      _owned(std::move(other._owned)),
      _data(std::exchange(other._data, nullptr)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
    if (this != &other) {
        _wrapped = other._wrapped;
        _order = other._order;
        _capacity = std::exchange(other._capacity, 0);
        _position = std::exchange(other._position, 0);
        _limit = std::exchange(other._limit, 0);
        _owned = std::move(other._owned);
        _data = std::exchange(other._data, nullptr);
    }
    return *this;
}

ByteBuffer::~ByteBuffer() = default;

// ---- checks -------------------------------------------------------------

void ByteBuffer::requireWritable(int size) const {
    if (size < 0) {
        throw ByteBufferException(ByteBufferException::IndexOutOfRange);
    }
    if (remaining() < size) {
        throw ByteBufferException(ByteBufferException::Overflow);
    }
}

void ByteBuffer::requireReadable(int size) const {
    if (size < 0) {
        throw ByteBufferException(ByteBufferException::IndexOutOfRange);
    }
    if (remaining() < size) {
        throw ByteBufferException(ByteBufferException::Underflow);
    }
}

void ByteBuffer::requireIndex(int index, int size) const {
    if (index < 0 || index > _limit - size) {
        throw ByteBufferException(ByteBufferException::IndexOutOfRange);
    }
}

void ByteBuffer::swapIn(void* dest, const void* src, int size) const {
    if (_order == hostOrder()) {
        std::memcpy(dest, src, static_cast<size_t>(size));
        return;
    }
    const auto* from = static_cast<const uint8_t*>(src);
    auto* to = static_cast<uint8_t*>(dest);
    for (int i = 0; i < size; ++i) {
        to[i] = from[size - 1 - i];
    }
}

void ByteBuffer::putScalar(const void* value, int size) {
    requireWritable(size);
    swapIn(_data + _position, value, size);
    _position += size;
}

void ByteBuffer::getScalar(void* value, int size) {
    requireReadable(size);
    swapIn(value, _data + _position, size);
    _position += size;
}

void ByteBuffer::putScalarAt(int index, const void* value, int size) {
    requireIndex(index, size);
    swapIn(_data + index, value, size);
}

void ByteBuffer::getScalarAt(int index, void* value, int size) const {
    requireIndex(index, size);
    swapIn(value, _data + index, size);
}

// ---- puts ---------------------------------------------------------------

void ByteBuffer::put(ByteBuffer& source) {
    if (&source == this) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    const int length = source.remaining();
    requireWritable(length);
    if (length > 0) {
        std::memmove(_data + _position, source._data + source._position, static_cast<size_t>(length));
    }
    _position += length;
}

void ByteBuffer::put(const void* bytes, int offset, int length) {
    if (offset < 0 || length < 0) {
        throw ByteBufferException(ByteBufferException::IndexOutOfRange);
    }
    requireWritable(length);
    if (length == 0) {
        return;
    }
    if (bytes == nullptr) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    std::memmove(_data + _position, static_cast<const uint8_t*>(bytes) + offset, static_cast<size_t>(length));
    _position += length;
}

void ByteBuffer::put(const void* bytes, int length) { put(bytes, 0, length); }

void ByteBuffer::put(uint8_t value) { putScalar(&value, 1); }

void ByteBuffer::putShort(uint16_t value) { putScalar(&value, 2); }

void ByteBuffer::putInt(uint32_t value) { putScalar(&value, 4); }

void ByteBuffer::putLong(uint64_t value) { putScalar(&value, 8); }

void ByteBuffer::putBool(bool value) {
    const uint8_t byte = value ? 0xFF : 0x00;
    putScalar(&byte, 1);
}

void ByteBuffer::putString(std::string_view text) {
    if (text.size() > std::numeric_limits<uint16_t>::max()) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    const int length = static_cast<int>(text.size());
    // Checked as a whole so that a failing put leaves no half-written string.
    requireWritable(2 + length + 1);
    const auto count = static_cast<uint16_t>(length);
    putScalar(&count, 2);
    if (length > 0) {
        std::memcpy(_data + _position, text.data(), static_cast<size_t>(length));
    }
    _position += length;
    _data[_position++] = 0;
}

void ByteBuffer::putString(const char* text) {
    if (text == nullptr) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    putString(std::string_view(text));
}

void ByteBuffer::put(int index, uint8_t value) { putScalarAt(index, &value, 1); }

void ByteBuffer::putShort(int index, uint16_t value) { putScalarAt(index, &value, 2); }

void ByteBuffer::putInt(int index, uint32_t value) { putScalarAt(index, &value, 4); }

// ---- gets ---------------------------------------------------------------

uint8_t ByteBuffer::get() {
    uint8_t value;
    getScalar(&value, 1);
    return value;
}

uint16_t ByteBuffer::getShort() {
    uint16_t value;
    getScalar(&value, 2);
    return value;
}

uint32_t ByteBuffer::getInt() {
    uint32_t value;
    getScalar(&value, 4);
    return value;
}

uint64_t ByteBuffer::getLong() {
    uint64_t value;
    getScalar(&value, 8);
    return value;
}

bool ByteBuffer::getBool() { return get() != 0; }

uint8_t ByteBuffer::get(int index) const {
    uint8_t value;
    getScalarAt(index, &value, 1);
    return value;
}

uint16_t ByteBuffer::getShort(int index) const {
    uint16_t value;
    getScalarAt(index, &value, 2);
    return value;
}

uint32_t ByteBuffer::getInt(int index) const {
    uint32_t value;
    getScalarAt(index, &value, 4);
    return value;
}

void ByteBuffer::get(void* bytes, int offset, int length) {
    if (offset < 0 || length < 0) {
        throw ByteBufferException(ByteBufferException::IndexOutOfRange);
    }
    requireReadable(length);
    if (length == 0) {
        return;
    }
    if (bytes == nullptr) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    std::memcpy(static_cast<uint8_t*>(bytes) + offset, _data + _position, static_cast<size_t>(length));
    _position += length;
}

const char* ByteBuffer::getString() {
    const int start = _position;
    uint16_t count;
    getScalar(&count, 2);
    if (remaining() < count + 1) {
        _position = start;
        throw ByteBufferException(ByteBufferException::Underflow);
    }
    const char* text = reinterpret_cast<const char*>(_data + _position);
    if (_data[_position + count] != 0) {
        _position = start;
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    _position += count + 1;
    return text;
}

void ByteBuffer::getString(char* field, int fieldSize) {
    if (fieldSize < 0) {
        throw ByteBufferException(ByteBufferException::IndexOutOfRange);
    }
    if (fieldSize == 0 || field == nullptr) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    const int start = _position;
    const char* text = getString();
    const int count = _position - start - 3;
    const int kept = count < fieldSize - 1 ? count : fieldSize - 1;
    std::memcpy(field, text, static_cast<size_t>(kept));
    field[kept] = '\0';
}

// ---- position and limit -------------------------------------------------

void ByteBuffer::position(int newPosition) {
    if (newPosition < 0 || newPosition > _limit) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    _position = newPosition;
}

void ByteBuffer::limit(int newLimit) {
    if (newLimit < _position || newLimit > _capacity) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    _limit = newLimit;
}

void ByteBuffer::skip(int n) {
    const long long target = static_cast<long long>(_position) + n;
    if (target < 0 || target > _limit) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    _position = static_cast<int>(target);
}

void ByteBuffer::flip() {
    _limit = _position;
    _position = 0;
}

void ByteBuffer::clear() {
    _position = 0;
    _limit = _capacity;
}

void ByteBuffer::order(ByteOrder newOrder) {
    if (newOrder != BigEndian && newOrder != LittleEndian) {
        throw ByteBufferException(ByteBufferException::IllegalArgument);
    }
    _order = newOrder;
}

void ByteBuffer::grow(int extra) {
    if (extra < 0) {
        throw ByteBufferException(ByteBufferException::IndexOutOfRange);
    }
    if (extra == 0) {
        return;
    }
    if (_capacity > std::numeric_limits<int>::max() - extra) {
        throw ByteBufferException(ByteBufferException::OutOfMemory);
    }
    const int newCapacity = _capacity + extra;
    std::unique_ptr<uint8_t[]> bigger = allocate(newCapacity);
    if (_limit > 0) {
        std::memcpy(bigger.get(), _data, static_cast<size_t>(_limit));
    }
    _owned = std::move(bigger);
    _data = _owned.get();
    _wrapped = false;
    _capacity = newCapacity;
    _limit = newCapacity;
}

} // namespace ostrel
