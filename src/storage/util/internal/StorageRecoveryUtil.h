#pragma once

#include "storage/PagePosition.h"

namespace ostrel {

class Storage;

// Cuts the media track at the position where the timeline rebuild found a
// frame it could not read: the frames before it stay, the page becomes the
// track's last page and the pages that followed it return to the free list.
class StorageRecoveryUtil {
public:
    static void fix(Storage& storage, const PagePosition& position);
};

} // namespace ostrel
