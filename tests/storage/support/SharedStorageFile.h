#pragma once

#include "storage/FixedSizeFileStorage.h"
#include "storage/aio/IStorageFile.h"
#include "storage/support/RecordingStorageFile.h"

#include <memory>
#include <mutex>
#include <string>

namespace ostrel::test {

// An IStorageFile handle onto an in-memory file that the test owns, so that a
// storage can open, close and reopen "its" file while the test inspects the
// bytes. Transfers are serialized, so readers on other threads see whole writes.
class SharedStorageFile final : public IStorageFile {
public:
    SharedStorageFile(RecordingStorageFile& file, bool writable, std::mutex& mutex)
        : _file(file), _writable(writable), _mutex(mutex) {}

    std::size_t readAt(void* buffer, std::uint64_t offset, std::size_t length) override;
    std::size_t writeAt(const void* buffer, std::uint64_t offset, std::size_t length) override;
    std::size_t writeDeferred(const WritePiece* pieces, std::size_t count, std::uint64_t offset) override;
    void flush() override;
    std::uint64_t size() const override { return _file.size(); }
    std::uint32_t sectorSize() const override { return _file.sectorSize(); }
    bool isWritable() const override { return _writable; }
    const std::string& path() const override { return _file.path(); }
    int handle() const override { return -1; }

private:
    RecordingStorageFile& _file;
    bool _writable;
    std::mutex& _mutex;
};

// An in-memory storage file with the opener a FixedSizeFileStorage takes.
class MemoryFile {
public:
    explicit MemoryFile(std::uint64_t size, std::uint32_t sector = 512) : file(size, sector) {}

    StorageFileOpener opener();
    // A storage over this file (not opened).
    std::unique_ptr<FixedSizeFileStorage> storage(
        FixedSizeFileStorage::Access access = FixedSizeFileStorage::Access::ReadWrite);

    RecordingStorageFile file;
    std::mutex mutex;
    // Whether the next opens find the file (false: as if it did not exist).
    bool exists = true;
};

} // namespace ostrel::test
