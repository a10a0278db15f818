#pragma once

#include "storage/pager/PageType.h"

#include <cstdint>
#include <string>

namespace ostrel {

class Page;
class Storage;

// Told by a storage about what happens to it: its usage after an allocation,
// an open or a format, formatting, recording-section changes, page saves,
// deleted tracks and damage taken out of use. The first four must be
// implemented; the others do nothing unless overridden.
class IStorageListener {
public:
    virtual ~IStorageListener() = default;

    virtual void usageChanged(Storage& storage, std::uint64_t freePages, std::uint64_t totalPages) = 0;
    virtual void formattingBegins(Storage& storage) = 0;
    virtual void formattingEnded(Storage& storage) = 0;
    virtual void sectionChanged(Storage& storage, std::uint32_t sectionID) = 0;
    virtual void saveStarted(Storage&, Page&, bool /*headerOnly*/) {}
    virtual void saveFinished(Storage&, Page&, bool /*headerOnly*/) {}
    virtual void trackDeleted(Storage&, const PageType&) {}
    // A damaged page was taken out of use and the storage went on; `report`
    // names the page and what was lost with it. Called on the writing
    // thread, under the storage's write lock: queue, do not call back.
    virtual void damageFound(Storage&, const std::string& /*report*/) {}
};

} // namespace ostrel
