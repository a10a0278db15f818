#pragma once

namespace ostrel {

class StorageGroup;

// Told when a storage group moves recording to another member: before the
// switch (the old member is still current) and after it.
class IStorageGroupListener {
public:
    virtual ~IStorageGroupListener() = default;

    virtual void recordingStorageChanging(StorageGroup& group) = 0;
    virtual void recordingStorageChanged(StorageGroup& group) = 0;
};

} // namespace ostrel
