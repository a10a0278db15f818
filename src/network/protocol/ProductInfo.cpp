#include "network/protocol/ProductInfo.h"

#include "network/protocol/Packet.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace ostrel {
namespace {

// The model codes of the recorder family that sites report. Nothing depends on
// which code a site has except 204, whose default channel counts differ.
constexpr std::array<uint32_t, 21> FamilyModelCodes = {
    201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 211,
    212, 301, 302, 303, 304, 305, 306, 307, 308, 309,
};

void copyText(char* field, std::string_view text, int fieldSize) {
    const size_t kept = std::min(text.size(), static_cast<size_t>(fieldSize - 1));
    std::memcpy(field, text.data(), kept);
    field[kept] = '\0';
}

} // namespace

ProductInfo::ProductInfo(uint8_t kind, uint32_t modelCode, std::string_view productName, std::string_view version)
    : _kind(kindOf(kind)), _modelCode(modelCodeOf(modelCode)) {
    copyText(_productName, productName, sizeof _productName);
    copyText(_version, version, sizeof _version);
}

uint32_t ProductInfo::modelCodeOf(uint32_t raw) {
    return std::find(FamilyModelCodes.begin(), FamilyModelCodes.end(), raw) != FamilyModelCodes.end() ? raw : 0;
}

void ProductInfo::read(ByteBuffer& buffer) {
    const uint8_t kind = kindOf(buffer.get());
    const uint32_t modelCode = modelCodeOf(buffer.getInt());
    char productName[sizeof _productName];
    char version[sizeof _version];
    buffer.getString(productName, sizeof productName);
    buffer.getString(version, sizeof version);
    _kind = kind;
    _modelCode = modelCode;
    std::memcpy(_productName, productName, sizeof _productName);
    std::memcpy(_version, version, sizeof _version);
}

void ProductInfo::write(Packet& packet) const {
    packet.put(_kind);
    packet.putInt(_modelCode);
    packet.putString(_productName);
    packet.putString(_version);
}

int ProductInfo::size() const {
    return 11 + static_cast<int>(std::strlen(_productName)) + static_cast<int>(std::strlen(_version));
}

void ProductInfo::clear() { *this = ProductInfo(); }

} // namespace ostrel
