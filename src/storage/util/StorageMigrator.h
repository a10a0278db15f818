#pragma once

#include <cstdint>
#include <memory>

namespace ostrel {

class Storage;

// One step that brings a storage file written by an older engine to a newer
// layout. Migrators form a chain from the newest target down; a storage is
// taken through every step whose target is above its version, oldest first.
class StorageMigrator {
public:
    explicit StorageMigrator(const StorageMigrator* next = nullptr) : _next(next) {}
    virtual ~StorageMigrator() = default;
    StorageMigrator(const StorageMigrator&) = delete;
    StorageMigrator& operator=(const StorageMigrator&) = delete;

    // False when the step does not apply; nothing is written then.
    virtual bool migrate(Storage& storage) const = 0;
    virtual std::uint32_t targetVersion() const = 0;
    const StorageMigrator* next() const { return _next; }

private:
    const StorageMigrator* _next;
};

// Runs the migration chain on a writable storage; logs "[MIGRATE] to ver.%u"
// for every step taken. False when a step that applied by version refused.
bool migrateStorage(Storage& storage);

} // namespace ostrel
