#include "base/UniqueID.h"

#include "base/Exception.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/random.h>

namespace ostrel {

namespace {

// Text positions of the dashes; every other position holds a hexadecimal digit.
constexpr std::size_t DashPositions[] = {8, 13, 18, 23};

// For each of the 16 bytes: the text position of its two digits. The first
// three fields are little-endian numbers printed most significant digit first,
// so their bytes appear in the text in reverse.
constexpr std::size_t TextPositionOfByte[UniqueID::Size] = {
    6, 4, 2, 0,     // 32-bit field
    11, 9,          // first 16-bit field
    16, 14,         // second 16-bit field
    19, 21,         // bytes 8-9
    24, 26, 28, 30, 32, 34,  // bytes 10-15
};

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isDashPosition(std::size_t pos) {
    for (std::size_t dash : DashPositions) {
        if (pos == dash) return true;
    }
    return false;
}

// A short printable copy of a text for an error message.
std::string quoted(std::string_view text) {
    constexpr std::size_t MaxShown = 48;
    std::string shown;
    for (std::size_t i = 0; i < text.size() && i < MaxShown; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        shown += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    if (text.size() > MaxShown) shown += "...";
    return "\"" + shown + "\"";
}

} // namespace

UniqueID::UniqueID() {
    std::size_t filled = 0;
    while (filled < Size) {
        const ssize_t n = ::getrandom(_bytes.data() + filled, Size - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw SystemException(errno, "getrandom for a new UniqueID");
        }
        filled += static_cast<std::size_t>(n);
    }
    _bytes[7] = static_cast<uint8_t>((_bytes[7] & 0x0F) | 0x40);  // version 4: high nibble of the second 16-bit field
    _bytes[8] = static_cast<uint8_t>((_bytes[8] & 0x3F) | 0x80);  // variant: the two top bits 10
}

UniqueID::UniqueID(std::string_view text) : _bytes{} {
    const auto parsed = parse(text);
    if (!parsed) {
        throw Exception("Exception", EINVAL,
                        "Malformed UniqueID text " + quoted(text) + " (" + std::to_string(text.size()) +
                            " characters; expected 36 in the form xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx)");
    }
    _bytes = parsed->_bytes;
}

std::optional<UniqueID> UniqueID::parse(std::string_view text) {
    if (text.size() != TextLength) {
        return std::nullopt;
    }
    for (std::size_t pos = 0; pos < TextLength; ++pos) {
        if (isDashPosition(pos) ? text[pos] != '-' : hexValue(text[pos]) < 0) {
            return std::nullopt;
        }
    }
    UniqueID id{Zero{}};
    for (std::size_t i = 0; i < Size; ++i) {
        const std::size_t pos = TextPositionOfByte[i];
        id._bytes[i] = static_cast<uint8_t>(hexValue(text[pos]) << 4 | hexValue(text[pos + 1]));
    }
    return id;
}

UniqueID UniqueID::fromBytes(const void* bytes) {
    UniqueID id{Zero{}};
    std::memcpy(id._bytes.data(), bytes, Size);
    return id;
}

UniqueID UniqueID::nil() { return UniqueID(Zero{}); }

bool UniqueID::isNil() const {
    for (uint8_t b : _bytes) {
        if (b != 0) return false;
    }
    return true;
}

bool UniqueID::lessThan(const UniqueID& other) const {
    return std::memcmp(_bytes.data(), other._bytes.data(), Size) < 0;
}

bool UniqueID::greaterThan(const UniqueID& other) const {
    return std::memcmp(_bytes.data(), other._bytes.data(), Size) > 0;
}

void UniqueID::toString(IFormatable& out) const {
    static constexpr char Digits[] = "0123456789abcdef";
    char text[TextLength + 1];
    for (std::size_t pos : DashPositions) {
        text[pos] = '-';
    }
    for (std::size_t i = 0; i < Size; ++i) {
        const std::size_t pos = TextPositionOfByte[i];
        text[pos] = Digits[_bytes[i] >> 4];
        text[pos + 1] = Digits[_bytes[i] & 0x0F];
    }
    text[TextLength] = '\0';
    out.format("%s", text);
}

} // namespace ostrel

std::size_t std::hash<ostrel::UniqueID>::operator()(const ostrel::UniqueID& id) const noexcept {
    // The bytes are random for generated identifiers; fold them (FNV-1a) so
    // parsed or hand-made ones spread as well.
    std::size_t h = 14695981039346656037ull;
    for (uint8_t b : id.bytes()) {
        h = (h ^ b) * 1099511628211ull;
    }
    return h;
}
