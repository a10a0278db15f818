#pragma once

#include "base/IFormatable.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace ostrel {

// An IFormatable over an inline array of N bytes. It never overruns: text that
// does not fit is cut and the call reports failure; the text is always terminated.
template <std::size_t N>
class FormatableBuffer final : public IFormatable {
    static_assert(N >= 2, "a formatable buffer needs room for one character and its terminator");

public:
    FormatableBuffer() { _data[0] = '\0'; }
    FormatableBuffer(const FormatableBuffer& other) : _length(other._length) {
        std::memcpy(_data, other._data, N);
    }
    FormatableBuffer& operator=(const FormatableBuffer& other) {
        _length = other._length;
        std::memcpy(_data, other._data, N);
        return *this;
    }

    bool vformat(const char* fmt, va_list args) override {
        _length = 0;
        _data[0] = '\0';
        return vappend(fmt, args);
    }

    bool vappend(const char* fmt, va_list args) override {
        const std::size_t room = N - _length;
        if (room < 2) {
            return false;
        }
        const int written = std::vsnprintf(_data + _length, room, fmt, args);
        if (written < 0) {
            _data[_length] = '\0';
            return false;
        }
        if (static_cast<std::size_t>(written) >= room) {
            _length = N;
            return false;
        }
        _length += static_cast<std::size_t>(written);
        return true;
    }

    const char* c_str() const override { return _data; }
    // Characters of text held (the terminator excluded).
    std::size_t size() const { return _length < N ? _length : N - 1; }
    static constexpr std::size_t capacity() { return N; }
    std::string str() const { return std::string(_data, size()); }

private:
    std::size_t _length = 0;
    char _data[N];
};

} // namespace ostrel
