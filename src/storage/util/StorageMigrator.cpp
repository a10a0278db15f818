#include "storage/util/StorageMigrator.h"

#include "storage/Storage.h"
#include "storage/pager/SuperBlock.h"
#include "storage/util/StorageMigratorV3.h"
#include "storage/util/internal/CorrectionText.h"

#include <vector>

namespace ostrel {

bool migrateStorage(Storage& storage) {
    std::vector<const StorageMigrator*> work;
    for (const StorageMigrator* migrator = &StorageMigratorV3::chain(); migrator != nullptr;
         migrator = migrator->next()) {
        if (migrator->targetVersion() <= storage.superBlock().version()) {
            break;
        }
        work.insert(work.begin(), migrator);
    }
    for (const StorageMigrator* migrator : work) {
        if (!migrator->migrate(storage)) {
            return false;
        }
        storage.log(CorrectionText::format("[MIGRATE] to ver.%u", migrator->targetVersion()), 2, true);
    }
    return true;
}

} // namespace ostrel
