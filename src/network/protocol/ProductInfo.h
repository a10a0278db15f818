#pragma once

#include "network/protocol/ISyncOption.h"

#include <cstdint>
#include <string_view>

namespace ostrel {

// Sync option 2: what kind of recorder the site is. Body: u8 product kind,
// u32 model code, string product name, string version (dotted, for example
// "2.1"), each string at most 16 characters.
class ProductInfo : public ISyncOption {
public:
    static constexpr int MaxTextLength = 16;

    ProductInfo() = default;
    ProductInfo(uint8_t kind, uint32_t modelCode, std::string_view productName, std::string_view version);

    void read(ByteBuffer& buffer) override;
    void write(Packet& packet) const override;
    int size() const override;
    uint8_t id() const override { return ProductInfoId; }

    // 1 to 5; 0 when unknown.
    uint8_t kind() const { return _kind; }
    // One of the model codes of the recorder family, or 0.
    uint32_t modelCode() const { return _modelCode; }
    const char* productName() const { return _productName; }
    const char* version() const { return _version; }
    void clear();

    static constexpr uint8_t kindOf(uint8_t raw) { return raw >= 1 && raw <= 5 ? raw : 0; }
    // The model code when it is one of the family's codes, else 0.
    static uint32_t modelCodeOf(uint32_t raw);

private:
    uint8_t _kind = 0;
    uint32_t _modelCode = 0;
    char _productName[MaxTextLength + 1] = {};
    char _version[MaxTextLength + 1] = {};
};

} // namespace ostrel
