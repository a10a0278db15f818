#pragma once

#include <cstdint>

namespace ostrel {

class FreePageList;
class Storage;

// Reads ahead through the oldest media pages while recording goes on, so
// that an overwrite can free them without reading them at that moment.
class IOverwritePreparer {
public:
    virtual ~IOverwritePreparer() = default;

    virtual void init(Storage& storage, std::uint32_t capacity) = 0;
    virtual void dispose() = 0;
    // The media track chained a new page.
    virtual void pageAppended() = 0;
    virtual std::uint32_t reserved() const { return 0; }
    // Collects in `pagesToFree` every oldest media page whose frames all lie
    // before `before`; answers the page that becomes the first one (0 when
    // it cannot tell).
    virtual std::uint32_t complete(std::uint64_t before, FreePageList& pagesToFree) = 0;
    virtual void collectAll(std::uint64_t before, FreePageList& pagesToFree) = 0;
    virtual void collectQueued(std::uint64_t before, FreePageList& pagesToFree) = 0;
};

} // namespace ostrel
