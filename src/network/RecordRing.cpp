#include "network/RecordRing.h"

#include "network/RecordSizeException.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

namespace ostrel {

RecordRing::RecordRing(int capacity) : _capacity(capacity), _wrapEnd(capacity) {
    if (capacity <= LengthSize) {
        throw RecordSizeException(RecordSizeException::TooLarge, 0,
                                  "a record ring of " + std::to_string(capacity) +
                                      " bytes cannot hold any record");
    }
}

int RecordRing::freeSpace() const {
    if (isEmpty()) {
        return _capacity - LengthSize;
    }
    const int gap = _readOffset < _writeOffset ? std::max(_capacity - _writeOffset, _readOffset)
                                               : _readOffset - _writeOffset;
    return gap >= LengthSize + 1 ? gap - LengthSize : 0;
}

std::int64_t RecordRing::usableGap(std::size_t length) const {
    if (isEmpty()) {
        return _capacity;
    }
    if (_readOffset < _writeOffset) {
        const std::int64_t atEnd = _capacity - _writeOffset;
        // The same choice put() makes: behind the data when the record fits there,
        // else at offset 0 in front of the reader.
        return atEnd - LengthSize >= static_cast<std::int64_t>(length) ? atEnd : _readOffset;
    }
    return _readOffset - _writeOffset; // 0 when full
}

bool RecordRing::canPut(std::size_t length) const {
    return length <= static_cast<std::size_t>(largestRecord()) &&
           static_cast<std::int64_t>(length) + LengthSize <= usableGap(length);
}

std::size_t RecordRing::totalLength(std::span<const Part> parts) {
    std::size_t total = 0;
    for (const Part& part : parts) {
        if (part.length > static_cast<std::size_t>(INT_MAX) - LengthSize - total) {
            throw RecordSizeException(RecordSizeException::TooLarge, SIZE_MAX,
                                      "a record's parts add up to more than any ring can hold");
        }
        total += part.length;
    }
    return total;
}

void RecordRing::put(std::span<const Part> parts) {
    const std::size_t length = totalLength(parts);
    if (length > static_cast<std::size_t>(largestRecord())) {
        throw RecordSizeException(RecordSizeException::TooLarge, length,
                                  "record of " + std::to_string(length) + " bytes exceeds the largest record (" +
                                      std::to_string(largestRecord()) + " bytes) of the ring");
    }
    if (!canPut(length)) {
        // Writing anyway would overwrite records not yet read.
        throw RecordSizeException(RecordSizeException::NoRoom, length,
                                  "record of " + std::to_string(length) + " bytes does not fit the free space (" +
                                      std::to_string(freeSpace()) + " bytes) of the ring");
    }
    if (_readOffset < _writeOffset &&
        static_cast<std::int64_t>(_capacity) - _writeOffset - LengthSize < static_cast<std::int64_t>(length)) {
        _wrapEnd = _writeOffset;
        _writeOffset = 0;
    }
    if (!_data) {
        _data = MappedMemory(static_cast<std::size_t>(_capacity));
    }
    const auto stored = static_cast<std::int32_t>(length);
    std::uint8_t* out = _data.data() + _writeOffset;
    std::memcpy(out, &stored, LengthSize);
    out += LengthSize;
    for (const Part& part : parts) {
        if (part.length > 0) {
            std::memcpy(out, part.data, part.length);
            out += part.length;
        }
    }
    _writeOffset += static_cast<int>(length) + LengthSize;
    if (_writeOffset == _capacity) {
        _writeOffset = 0;
    }
    ++_count;
}

std::span<const std::uint8_t> RecordRing::peek() const {
    if (isEmpty()) {
        return {};
    }
    std::int32_t length = 0;
    std::memcpy(&length, _data.data() + _readOffset, LengthSize);
    return {_data.data() + _readOffset + LengthSize, static_cast<std::size_t>(length)};
}

void RecordRing::consume() {
    if (isEmpty()) {
        return;
    }
    std::int32_t length = 0;
    std::memcpy(&length, _data.data() + _readOffset, LengthSize);
    _readOffset += length + LengthSize;
    if (_readOffset == _wrapEnd) {
        _readOffset = 0;
        _wrapEnd = _capacity;
    }
    if (--_count == 0) {
        clear();
    }
}

void RecordRing::release() {
    clear();
    _data.reset();
}

void RecordRing::clear() {
    _readOffset = 0;
    _writeOffset = 0;
    _wrapEnd = _capacity;
    _count = 0;
}

} // namespace ostrel
