#include "app/persistence/SiteStorage.h"

#include "app/scheduling/ArchivingSchedule.h"
#include "base/Exception.h"
#include "base/File.h"
#include "base/Trace.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/VarnelException.h"
#include "storage/pager/MemoryPool.h"

#include <cstdio>

namespace ostrel {

namespace {

constexpr uint64_t SizeBlock = 524288;

void closeQuietly(Storage& storage, bool flush) {
    try {
        storage.close(flush);
    } catch (const Exception& e) {
        traceException(e);
    }
}

} // namespace

SiteStorage::SiteStorage(ArchivingSchedule* schedule, const UniqueID& siteId) : _schedule(schedule), _siteId(siteId) {}

SiteStorage::~SiteStorage() { close(); }

bool SiteStorage::open(const std::string& groupFilePath) {
    Mutex::ScopedLock lock(_mutex);
    closeAllLocked();
    _groupFile.saveAndClose();
    _anyRepository = false;
    if (!_groupFile.load(groupFilePath)) {
        trace("SiteStorage::open : [%s] not loaded", groupFilePath.c_str());
        return false;
    }
    if (!(_groupFile.repositoryID() == _siteId)) {
        // Another site's group: it is left exactly as it is.
        trace("SiteStorage::open : [%s] belongs to repository %s, not %s", groupFilePath.c_str(),
              _groupFile.repositoryID().toString().c_str(), _siteId.toString().c_str());
        _groupFile.close();
        return false;
    }
    return reopenLocked();
}

bool SiteStorage::openFiles(const std::vector<std::string>& paths) {
    Mutex::ScopedLock lock(_mutex);
    closeAllLocked();
    _groupFile.saveAndClose();
    _groupFile.openInMemory(_siteId, paths);
    _anyRepository = true;
    return reopenLocked();
}

bool SiteStorage::reopen() {
    Mutex::ScopedLock lock(_mutex);
    return reopenLocked();
}

bool SiteStorage::reopenLocked() {
    closeAllLocked();
    if (!_groupFile.isOpen()) {
        return false;
    }
    for (const std::string& path : _groupFile.storageFiles()) {
        const int number = _entryCounter++;
        StorageEntry entry;
        entry.path = path;
        _entries.emplace(number, entry);
        openStorage(number);
    }
    bool good = false;
    for (const auto& [number, entry] : _entries) {
        good = good || entry.status == StorageEntry::Good;
    }
    if (!good) {
        return false;
    }
    _group.selectRecordingStorage(_groupFile.lastStorageID(), _groupFile.lastRecordingSectionID());
    if (Storage* current = _group.current()) {
        _groupFile.setLastStorageID(current->storageID());
    }
    if (_schedule != nullptr) {
        _schedule->loadResumePosition();
    }
    return _group.isOpen();
}

bool SiteStorage::acceptsRepository(const UniqueID& repositoryID) const {
    return _anyRepository || repositoryID == _siteId;
}

void SiteStorage::openStorage(int number) {
    StorageEntry& entry = _entries.at(number);
    if (_storages.count(number) != 0) {
        refresh(number);
        return;
    }
    try {
        if (!File::exists(entry.path)) {
            entry.status = StorageEntry::NotFound;
            return;
        }
        entry.fileSize = static_cast<uint64_t>(File::size(entry.path));
    } catch (const SystemException& e) {
        traceException(e);
        entry.status = StorageEntry::NotFound;
        entry.error = e.messageText();
        return;
    }
    auto storage = std::make_unique<FixedSizeFileStorage>();
    try {
        if (!storage->open(entry.path, true)) {
            // An unformatted file keeps its handles open for a format.
            entry.status = !storage->isReadOnly() && !storage->isValid() ? StorageEntry::NotFormatted
                                                                           : StorageEntry::OpenError;
            closeQuietly(*storage, false);
            return;
        }
    } catch (const Exception& e) {
        traceException(e);
        entry.status = StorageEntry::OpenError;
        entry.error = e.messageText();
        closeQuietly(*storage, false);
        return;
    }
    if (storage->isReadOnly()) {
        entry.status = StorageEntry::OpenError;
        entry.error = "the file may not be written";
        closeQuietly(*storage, false);
        return;
    }
    if (!acceptsRepository(storage->repositoryID())) {
        trace("SiteStorage::openStorage : [%s] formatted for %s", entry.path.c_str(),
              storage->repositoryID().toString().c_str());
        entry.status = StorageEntry::NotFormatted;
        entry.error = "formatted for another site";
        closeQuietly(*storage, false);
        return;
    }
    entry.status = StorageEntry::Good;
    FixedSizeFileStorage& member = *storage;
    _storages.emplace(number, std::move(storage));
    refresh(number);
    _group.addStorage(member);
}

void SiteStorage::refresh(int number) {
    const auto it = _storages.find(number);
    if (it == _storages.end()) {
        return;
    }
    StorageEntry& entry = _entries.at(number);
    const Storage& storage = *it->second;
    try {
        const uint64_t pages = storage.pageCount();
        const uint64_t capacity = storage.capacity();
        const uint64_t pageSize = pages == 0 ? 0 : capacity / pages;
        const uint64_t freePages = storage.freePageCount();
        entry.usedBytes = freePages >= pages ? 0 : (pages - freePages) * pageSize;
        Interval recorded;
        entry.recorded = storage.recordingInterval(recorded) ? recorded : Interval();
    } catch (const Exception& e) {
        traceException(e);
    }
}

void SiteStorage::closeAll() {
    Mutex::ScopedLock lock(_mutex);
    closeAllLocked();
}

void SiteStorage::closeAllLocked() {
    if (Storage* current = _group.current()) {
        try {
            _groupFile.setLastStorageID(current->storageID());
            _groupFile.setLastRecordingSectionID(_group.lastSectionID());
        } catch (const Exception& e) {
            traceException(e);
        }
    }
    // Written data is flushed: a group closed between two chunks keeps
    // every frame it took.
    try {
        _group.close(true);
    } catch (const Exception& e) {
        traceException(e);
    }
    _entries.clear();
    for (auto& [number, storage] : _storages) {
        closeQuietly(*storage, false);
    }
    _storages.clear();
    // The pages of the closed files went back to the pool; beyond a small
    // reserve for the groups still open they go back to the system.
    MemoryPool::instance().trim();
}

void SiteStorage::close() {
    Mutex::ScopedLock lock(_mutex);
    closeAllLocked();
    _groupFile.saveAndClose();
}

bool SiteStorage::isOpen() const { return _group.isOpen(); }

bool SiteStorage::groupFileExists() const {
    const std::string path = _groupFile.path();
    if (path.empty()) {
        return _groupFile.isOpen(); // a group kept in memory has no file to lose
    }
    try {
        return File::exists(path);
    } catch (const SystemException& e) {
        traceException(e);
        return false;
    }
}

void SiteStorage::entries(std::map<int, StorageEntry>& out) {
    Mutex::ScopedLock lock(_mutex);
    for (const auto& [number, storage] : _storages) {
        refresh(number);
    }
    out = _entries;
}

StorageEntry SiteStorage::entry(int number) const {
    Mutex::ScopedLock lock(_mutex);
    const auto it = _entries.find(number);
    return it == _entries.end() ? StorageEntry() : it->second;
}

Storage* SiteStorage::openedStorage(int number) const {
    Mutex::ScopedLock lock(_mutex);
    const auto it = _storages.find(number);
    return it == _storages.end() ? nullptr : it->second.get();
}

int SiteStorage::storageCount() const { return _groupFile.count(); }

uint64_t SiteStorage::usedBytes() const {
    Mutex::ScopedLock lock(_mutex);
    uint64_t total = 0;
    for (const auto& [number, storage] : _storages) {
        try {
            const uint64_t pages = storage->pageCount();
            const uint64_t freePages = storage->freePageCount();
            const uint64_t pageSize = pages == 0 ? 0 : storage->capacity() / pages;
            total += freePages >= pages ? 0 : (pages - freePages) * pageSize;
        } catch (const Exception& e) {
            traceException(e);
        }
    }
    return total;
}

uint64_t SiteStorage::capacityBytes() const {
    Mutex::ScopedLock lock(_mutex);
    uint64_t total = 0;
    for (const auto& [number, storage] : _storages) {
        total += _entries.at(number).fileSize;
    }
    return total;
}

Interval SiteStorage::recordedInterval() const {
    Mutex::ScopedLock lock(_mutex);
    Interval recorded;
    try {
        if (_group.isOpen() && _group.recordingInterval(recorded)) {
            return recorded;
        }
    } catch (const Exception& e) {
        traceException(e);
    }
    return Interval();
}

bool SiteStorage::addStorage(const std::string& path) {
    Mutex::ScopedLock lock(_mutex);
    _groupFile.addStorage(path);
    return reopenLocked();
}

bool SiteStorage::removeStorage(const std::string& path) {
    Mutex::ScopedLock lock(_mutex);
    bool listed = false;
    for (const auto& [number, entry] : _entries) {
        listed = listed || entry.path == path;
    }
    if (!listed) {
        return _group.isOpen();
    }
    _groupFile.removeStorage(path);
    return reopenLocked();
}

bool SiteStorage::removeStorages(const std::vector<int>& entryNumbers) {
    Mutex::ScopedLock lock(_mutex);
    for (int number : entryNumbers) {
        const auto it = _entries.find(number);
        if (it != _entries.end()) {
            _groupFile.removeStorage(it->second.path);
        }
    }
    return reopenLocked();
}

bool SiteStorage::formatStorages(const std::vector<int>& entryNumbers, uint32_t pageSize) {
    Mutex::ScopedLock lock(_mutex);
    try {
        _group.close(false);
    } catch (const Exception& e) {
        traceException(e);
    }
    const UniqueID repositoryID = _groupFile.repositoryID();
    for (int number : entryNumbers) {
        const auto it = _entries.find(number);
        if (it == _entries.end()) {
            continue;
        }
        const auto open = _storages.find(number);
        if (open != _storages.end()) {
            // Closed first: the format opens the file exclusively itself.
            closeQuietly(*open->second, false);
            _storages.erase(open);
        }
        if (!formatStorageFile(it->second.path, repositoryID, pageSize)) {
            trace("SiteStorage::formatStorages : [%s] not formatted", it->second.path.c_str());
        }
    }
    return reopenLocked();
}

bool SiteStorage::containsPath(const std::string& path) const { return _groupFile.contains(path); }

// ---- storage files --------------------------------------------------------------------

bool SiteStorage::formatStorageFile(const std::string& path, const UniqueID& repositoryID, uint32_t pageSize) {
    return FixedSizeFileStorage::formatFile(path, repositoryID, pageSize);
}

bool SiteStorage::createStorageFile(const std::string& path, uint64_t bytes, const UniqueID& repositoryID,
                                    std::string* error, uint32_t pageSize) {
    try {
        File::create(path, static_cast<int64_t>(bytes));
    } catch (const Exception& e) {
        traceException(e);
        if (error != nullptr) {
            *error = "Cannot create " + path + ": " + e.messageText();
        }
        return false;
    }
    if (!formatStorageFile(path, repositoryID, pageSize)) {
        try {
            File::remove(path);
        } catch (const Exception& e) {
            traceException(e);
        }
        if (error != nullptr) {
            *error = "Cannot format " + path;
        }
        return false;
    }
    return true;
}

bool SiteStorage::createGroup(const std::string& groupFilePath, const UniqueID& repositoryID,
                              const std::vector<std::pair<std::string, uint64_t>>& storageFiles, std::string* error,
                              uint32_t pageSize) {
    std::vector<std::string> made;
    auto undo = [&](const std::string& reason) {
        for (const std::string& path : made) {
            try {
                File::remove(path);
            } catch (const Exception& e) {
                traceException(e);
            }
        }
        try {
            File::remove(groupFilePath);
        } catch (const Exception& e) {
            traceException(e);
        }
        if (error != nullptr) {
            *error = reason;
        }
        return false;
    };
    try {
        File::remove(groupFilePath);
    } catch (const Exception& e) {
        traceException(e);
        if (error != nullptr) {
            *error = "Cannot replace " + groupFilePath + ": " + e.messageText();
        }
        return false;
    }
    StorageGroupFile file;
    if (!file.create(groupFilePath, repositoryID) || !file.load(groupFilePath)) {
        return undo("Cannot create " + groupFilePath);
    }
    for (const auto& [path, bytes] : storageFiles) {
        std::string reason;
        if (!createStorageFile(path, bytes, repositoryID, &reason, pageSize)) {
            return undo(reason);
        }
        made.push_back(path);
        if (!file.addStorage(path)) {
            return undo("Cannot write " + groupFilePath);
        }
    }
    file.saveAndClose();
    return true;
}

// ---- names and sizes ----------------------------------------------------------------------

uint64_t SiteStorage::storageBytes(double gigabytes) {
    if (!(gigabytes > 0)) {
        return SizeBlock;
    }
    const auto bytes = static_cast<uint64_t>(gigabytes * 1000.0 * 1000.0 * 1000.0);
    return (bytes / SizeBlock + 1) * SizeBlock;
}

std::string SiteStorage::groupFileName(const std::string& siteName) { return siteName + StorageGroupFile::Extension; }

std::string SiteStorage::storageFileName(const std::string& siteName, int number, int count) {
    int digits = 1;
    for (int n = count; n >= 10; n /= 10) {
        ++digits;
    }
    char text[32];
    std::snprintf(text, sizeof text, " %0*d.strg", digits, number);
    return siteName + text;
}

uint64_t SiteStorage::freeDiskSpace(const std::string& path) {
    try {
        return File::freeDiskSpace(path);
    } catch (const Exception& e) {
        traceException(e);
        return 0;
    }
}

} // namespace ostrel
