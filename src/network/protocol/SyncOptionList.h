#pragma once

#include "network/protocol/INetStruct.h"

#include <vector>

namespace ostrel {

class ISyncOption;

// The options that follow the Protocol in a sync, in order. Holds references:
// the options belong to whoever added them and must outlive the list.
class SyncOptionList : public INetStruct {
public:
    void add(ISyncOption& option) { _options.push_back(&option); }
    void clear() { _options.clear(); }
    const std::vector<ISyncOption*>& options() const { return _options; }

    // Reads options up to the end of the payload into the listed options of
    // the same id; options of other ids are skipped by their length, and a
    // zero id with less than 2 bytes left is the payload's padding.
    void read(ByteBuffer& buffer) override;
    // Per option: u8 id, u16 size, then its body.
    void write(Packet& packet) const override;

private:
    std::vector<ISyncOption*> _options;
};

} // namespace ostrel
