#pragma once

#include <string>

namespace ostrel {

class Storage;
class StorageGroup;

// Told when a storage group moves recording to another member: before the
// switch (the old member is still current) and after it.
class IStorageGroupListener {
public:
    virtual ~IStorageGroupListener() = default;

    virtual void recordingStorageChanging(StorageGroup& group) = 0;
    virtual void recordingStorageChanged(StorageGroup& group) = 0;
    // A member met damage and took it out of use (its overwrite stepped over
    // a damaged page, or its open repaired it); recording goes on. On the
    // thread that met it, possibly under the member's write lock.
    virtual void storageDamaged(StorageGroup&, Storage& /*member*/, const std::string& /*report*/) {}
};

} // namespace ostrel
