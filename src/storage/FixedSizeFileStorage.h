#pragma once

#include "storage/FixedSizeFreePageAllocator.h"
#include "storage/Storage.h"
#include "storage/transaction/GroupCommit.h"
#include "storage/transaction/JournalingTransactionHandler.h"

#include <functional>
#include <memory>
#include <string>

namespace ostrel {

class IStorageFile;

// Opens the file behind a storage: for reading and writing when `writable`,
// else for reading only; null when the file may not be written.
using StorageFileOpener = std::function<std::unique_ptr<IStorageFile>(const std::string& path, bool writable)>;

// A storage over one preallocated file, read and written with direct
// whole-sector transfers; media pages that fill are committed in groups
// (GroupCommit, durability in Storage). The file is reached through an
// IStorageFile that the opener supplies, so a test harness can put an
// in-memory file in its place (to record every write, or to build the file
// image a power loss at any write would leave).
class FixedSizeFileStorage : public Storage {
public:
    enum class Access { ReadWrite, ReadOnly };

    explicit FixedSizeFileStorage(Access access = Access::ReadWrite);
    explicit FixedSizeFileStorage(StorageFileOpener opener, Access access = Access::ReadWrite);
    ~FixedSizeFileStorage() override;

    std::uint64_t baseOffset() const override { return 0; }
    std::uint32_t ioMinBlockSize() const override;
    IFreePageAllocator& freePageAllocator() override { return _allocator; }
    ITransactionHandler& transactionHandler() override { return _handler; }
    std::uint64_t fileSize() const override;
    std::unique_ptr<IOverwritePreparer> createOverwritePreparer() override;
    std::uint32_t overwritePreparerCapacity() const override { return 1; }

    const FixedSizeFreePageAllocator& allocator() const { return _allocator; }

    // The opener used unless another is given: a DirectStorageFile, none for
    // writing when the file is marked read-only.
    static std::unique_ptr<IStorageFile> openFile(const std::string& path, bool writable);

    // Formats the existing file at `path` as the application does (pages of
    // 524288 bytes unless told, recorder type "FLAC", no description, flags
    // or info entries) for `repositoryID`: up to 4 attempts 100 ms apart;
    // false when all failed.
    static bool formatFile(const std::string& path, const UniqueID& repositoryID,
                           std::uint32_t pageSize = StorageFormatOptions::DefaultPageSize);

protected:
    std::unique_ptr<IStorageFile> openHandle(const std::string& path, bool force) override;

private:
    StorageFileOpener _opener;
    Access _access;
    FixedSizeFreePageAllocator _allocator;
    JournalingTransactionHandler _handler;
    GroupCommit _groupCommit{*this, _allocator, _handler};
};

} // namespace ostrel
