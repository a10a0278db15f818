#include "storage/FixedSizeFileStorage.h"

#include "base/Exception.h"
#include "base/File.h"
#include "base/Trace.h"
#include "storage/OverwritePreparer.h"
#include "storage/aio/DirectStorageFile.h"

#include <chrono>
#include <thread>

namespace ostrel {

FixedSizeFileStorage::FixedSizeFileStorage(Access access) : FixedSizeFileStorage(&openFile, access) {}

FixedSizeFileStorage::FixedSizeFileStorage(StorageFileOpener opener, Access access)
    : _opener(std::move(opener)), _access(access) {
    setGroupCommit(&_groupCommit);
}

FixedSizeFileStorage::~FixedSizeFileStorage() {
    try {
        close(true);
    } catch (const Exception& e) {
        traceException(e);
    } catch (...) {
        // A destructor must not throw.
    }
    // The group commit goes with this object; its timer is stopped by now.
    dropPendingPages();
    setGroupCommit(nullptr);
}

std::unique_ptr<IStorageFile> FixedSizeFileStorage::openFile(const std::string& path, bool writable) {
    if (writable && File::isReadOnly(path)) {
        return nullptr;
    }
    return std::make_unique<DirectStorageFile>(path, writable ? DirectStorageFile::Mode::ReadWrite
                                                              : DirectStorageFile::Mode::ReadOnly);
}

bool FixedSizeFileStorage::formatFile(const std::string& path, const UniqueID& repositoryID, std::uint32_t pageSize) {
    StorageFormatOptions options;
    options.repositoryID = repositoryID;
    options.pageSize = pageSize;
    options.recorderType = RecorderType::Flac;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        FixedSizeFileStorage storage;
        try {
            // An unformatted file answers false but keeps its handles.
            storage.open(path, true, CorrectionAndRecovery);
            storage.format(options);
            storage.close(true);
            return true;
        } catch (const Exception& e) {
            traceException(e);
            try {
                storage.close(false);
            } catch (const Exception& closing) {
                traceException(closing);
            }
        }
    }
    return false;
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
