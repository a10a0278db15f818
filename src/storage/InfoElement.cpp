#include "storage/InfoElement.h"

#include <cstring>

namespace ostrel {

std::string InfoElement::cut(const std::string& text) {
    const std::size_t zero = text.find('\0');
    std::string result = text.substr(0, zero);
    if (result.size() > MaxLength) {
        result.resize(MaxLength);
    }
    return result;
}

void InfoElement::set(const std::string& key, const std::string& value) {
    _key = cut(key);
    _value = cut(value);
}

void InfoElement::encode(std::uint8_t* out, ByteOrder) const {
    std::memset(out, 0, 64);
    std::memcpy(out, _key.data(), _key.size());
    std::memcpy(out + FieldSize, _value.data(), _value.size());
}

void InfoElement::decode(const std::uint8_t* in, ByteOrder) {
    const char* key = reinterpret_cast<const char*>(in);
    const char* value = reinterpret_cast<const char*>(in + FieldSize);
    _key.assign(key, strnlen(key, MaxLength));
    _value.assign(value, strnlen(value, MaxLength));
}

} // namespace ostrel
