#pragma once

#include "storage/util/StorageMigrator.h"

namespace ostrel {

// Version 2 to 3: a version-2 file recorded its free-page-list page only in
// the superblock's free page number; from version 3 it is a "FREE" entry of
// the track list. The image changes are saved with the next superblock write.
class StorageMigratorV3 final : public StorageMigrator {
public:
    StorageMigratorV3() : StorageMigrator(nullptr) {}

    bool migrate(Storage& storage) const override;
    std::uint32_t targetVersion() const override { return 3; }

    // The head of the process-wide chain.
    static const StorageMigrator& chain();
};

} // namespace ostrel
