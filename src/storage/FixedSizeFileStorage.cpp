#include "storage/FixedSizeFileStorage.h"

#include "base/Exception.h"
#include "base/File.h"
#include "base/Trace.h"
#include "storage/OverwritePreparer.h"
#include "storage/aio/DirectStorageFile.h"

namespace ostrel {

FixedSizeFileStorage::FixedSizeFileStorage(Access access) : FixedSizeFileStorage(&openFile, access) {}

FixedSizeFileStorage::FixedSizeFileStorage(StorageFileOpener opener, Access access)
    : _opener(std::move(opener)), _access(access) {}

FixedSizeFileStorage::~FixedSizeFileStorage() {
    try {
        close(true);
    } catch (const Exception& e) {
        traceException(e);
    } catch (...) {
        // A destructor must not throw.
    }
}

std::unique_ptr<IStorageFile> FixedSizeFileStorage::openFile(const std::string& path, bool writable) {
    if (writable && File::isReadOnly(path)) {
        return nullptr;
    }
    return std::make_unique<DirectStorageFile>(path, writable ? DirectStorageFile::Mode::ReadWrite
                                                              : DirectStorageFile::Mode::ReadOnly);
}

std::unique_ptr<IStorageFile> FixedSizeFileStorage::openHandle(const std::string& path, bool force) {
    if (!force && _access == Access::ReadOnly) {
        return nullptr;
    }
    return _opener(path, !force);
}

std::uint32_t FixedSizeFileStorage::ioMinBlockSize() const {
    const IStorageFile* file = readerFile();
    return file != nullptr && file->sectorSize() != 0 ? file->sectorSize() : 512;
}

std::uint64_t FixedSizeFileStorage::fileSize() const {
    const IStorageFile* file = readerFile();
    return file != nullptr ? file->size() : 0;
}

std::unique_ptr<IOverwritePreparer> FixedSizeFileStorage::createOverwritePreparer() {
    return std::make_unique<OverwritePreparer>();
}

} // namespace ostrel
