#pragma once

#include "network/protocol/ISyncOption.h"

#include <cstdint>
#include <vector>

namespace ostrel {

// A sync option that asks the peer for other options: u8 count, then one id
// byte per requested option. Clients keep one, always empty.
class RequestOptionList : public ISyncOption {
public:
    void read(ByteBuffer& buffer) override;
    void write(Packet& packet) const override;
    int size() const override { return static_cast<int>(_ids.size()) + 1; }
    uint8_t id() const override { return RequestOptionListId; }

    const std::vector<uint8_t>& ids() const { return _ids; }
    // At most 255 ids (the count is one byte).
    void add(uint8_t optionId);
    void clear() { _ids.clear(); }

private:
    std::vector<uint8_t> _ids;
};

} // namespace ostrel
