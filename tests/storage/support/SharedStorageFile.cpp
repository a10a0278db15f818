#include "storage/support/SharedStorageFile.h"

#include "base/Exception.h"

#include <cerrno>

namespace ostrel::test {

std::size_t SharedStorageFile::readAt(void* buffer, std::uint64_t offset, std::size_t length) {
    std::lock_guard<std::mutex> lock(_mutex);
    return _file.readAt(buffer, offset, length);
}

std::size_t SharedStorageFile::writeAt(const void* buffer, std::uint64_t offset, std::size_t length) {
    if (!_writable) {
        throw SystemException(EBADF, "write on a read-only handle");
    }
    std::lock_guard<std::mutex> lock(_mutex);
    return _file.writeAt(buffer, offset, length);
}

std::size_t SharedStorageFile::writeDeferred(const WritePiece* pieces, std::size_t count, std::uint64_t offset) {
    if (!_writable) {
        throw SystemException(EBADF, "write on a read-only handle");
    }
    std::lock_guard<std::mutex> lock(_mutex);
    return _file.writeDeferred(pieces, count, offset);
}

void SharedStorageFile::flush() {
    if (_writable) {
        std::lock_guard<std::mutex> lock(_mutex);
        _file.flush();
    }
}

StorageFileOpener MemoryFile::opener() {
    return [this](const std::string&, bool writable) -> std::unique_ptr<IStorageFile> {
        if (!exists) {
            throw SystemException(ENOENT, "no such file");
        }
        return std::make_unique<SharedStorageFile>(file, writable, mutex);
    };
}

std::unique_ptr<FixedSizeFileStorage> MemoryFile::storage(FixedSizeFileStorage::Access access) {
    return std::make_unique<FixedSizeFileStorage>(opener(), access);
}

} // namespace ostrel::test
