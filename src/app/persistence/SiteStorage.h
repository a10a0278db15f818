#pragma once

#include "app/persistence/StorageEntry.h"
#include "app/persistence/StorageGroupFile.h"
#include "base/Interval.h"
#include "base/UniqueID.h"
#include "base/thread/Mutex.h"
#include "storage/StorageFormatOptions.h"
#include "storage/StorageGroup.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ostrel {

class ArchivingSchedule;
class FixedSizeFileStorage;
class Storage;

// The storage of one site: its storage group file and the StorageGroup built
// from the files it lists. Opening judges every listed file (Good, Not
// Formatted, Not Found, Open Error), adds the good ones to the group, selects
// the recording member from what the group file remembers and lets the
// schedule load its resume position. The storage manager and the schedule
// wizard change the set of files through it.
//
// Owned by the site's ArchivingSchedule. Its own lock guards the entries and
// the open storages, so the user interface may read them while the schedule's
// thread closes or reopens the storage.
class SiteStorage {
public:
    // `schedule` (may be null: a storage without a schedule) hears
    // loadResumePosition() after every successful reopen.
    SiteStorage(ArchivingSchedule* schedule, const UniqueID& siteId);
    virtual ~SiteStorage();
    SiteStorage(const SiteStorage&) = delete;
    SiteStorage& operator=(const SiteStorage&) = delete;

    // Loads the group file (saving and closing one that was open) and
    // reopens the group from it. False when the file is missing or not a
    // valid group file, when it belongs to another site (then it is closed
    // untouched), or when no listed storage is good.
    bool open(const std::string& groupFilePath);
    // A group of these files without a group file, whatever site they were
    // formatted for (the command-line archiver): a group file kept in memory
    // lists them. False when no file is good.
    bool openFiles(const std::vector<std::string>& paths);
    // Closes the group and opens every listed file again; true when at least
    // one is good and the group selected its recording member.
    bool reopen();
    // Remembers the recording member in the group file, closes the group and
    // every storage, forgets the entries.
    void closeAll();
    // closeAll(), then saves and closes the group file.
    void close();

    // The group has a member to record into.
    bool isOpen() const;
    // The group file's path exists.
    bool groupFileExists() const;
    StorageGroupFile& groupFile() { return _groupFile; }
    const StorageGroupFile& groupFile() const { return _groupFile; }
    StorageGroup& storageGroup() { return _group; }
    const UniqueID& siteId() const { return _siteId; }

    // Every entry by entry number, the open ones with fresh used bytes and
    // recorded intervals.
    void entries(std::map<int, StorageEntry>& out);
    // A copy of one entry (an Unknown entry without a path when there is none).
    StorageEntry entry(int number) const;
    // The open storage of an entry, or null. Valid until the next reopen or close.
    Storage* openedStorage(int number) const;
    // The number of files the group file lists.
    int storageCount() const;
    // Sum over the open storages of (pages - free pages) x page size.
    uint64_t usedBytes() const;
    // Sum over the open storages of their file sizes.
    uint64_t capacityBytes() const;
    // The recorded interval of the whole group (unset ends when closed or empty).
    Interval recordedInterval() const;

    // Each changes the group file, then reopens; the answer is reopen()'s.
    bool addStorage(const std::string& path);
    bool removeStorage(const std::string& path);
    bool removeStorages(const std::vector<int>& entryNumbers);
    // Formats the entries' files for the group file's repository, then reopens.
    bool formatStorages(const std::vector<int>& entryNumbers,
                        uint32_t pageSize = StorageFormatOptions::DefaultPageSize);
    bool containsPath(const std::string& path) const;

    // ---- storage files ----------------------------------------------------------------

    // Formats an existing file for `repositoryID` with the application's
    // recorder type: up to 4 attempts; false when all failed.
    static bool formatStorageFile(const std::string& path, const UniqueID& repositoryID,
                                  uint32_t pageSize = StorageFormatOptions::DefaultPageSize);
    // Creates a preallocated file of `bytes` bytes and formats it; false (with
    // the reason in `error`) when either step failed (a half-made file is removed).
    static bool createStorageFile(const std::string& path, uint64_t bytes, const UniqueID& repositoryID,
                                  std::string* error = nullptr,
                                  uint32_t pageSize = StorageFormatOptions::DefaultPageSize);
    // A new site's storage group: any old group file at `groupFilePath` is
    // deleted, a new one is written for `repositoryID`, and every storage file
    // (path, size in bytes) is created, formatted and listed. False with the
    // reason in `error` when a step failed; the files made so far are removed.
    // Open it afterwards with open(groupFilePath).
    static bool createGroup(const std::string& groupFilePath, const UniqueID& repositoryID,
                            const std::vector<std::pair<std::string, uint64_t>>& storageFiles,
                            std::string* error = nullptr,
                            uint32_t pageSize = StorageFormatOptions::DefaultPageSize);

    // ---- names and sizes the schedule wizard proposes -----------------------------------

    // Bytes of a storage of `gigabytes` GB: gigabytes x 10^9 truncated, then
    // rounded up past the next multiple of 524288 ((bytes / 524288 + 1) x 524288).
    static uint64_t storageBytes(double gigabytes);
    // "<site name>.strgx".
    static std::string groupFileName(const std::string& siteName);
    // "<site name> <n>.strg" with n zero-padded to the digits of `count`
    // (12 files: "Lobby 01.strg" to "Lobby 12.strg"); `number` counts from 1.
    static std::string storageFileName(const std::string& siteName, int number, int count);
    // Free bytes for this user on the file system holding `path` (statvfs);
    // 0 when it cannot be asked.
    static uint64_t freeDiskSpace(const std::string& path);

private:
    bool reopenLocked();
    void closeAllLocked();
    void openStorage(int number);
    void refresh(int number);
    bool acceptsRepository(const UniqueID& repositoryID) const;

    ArchivingSchedule* const _schedule;
    const UniqueID _siteId;
    mutable Mutex _mutex;
    int _entryCounter = 0;
    StorageGroupFile _groupFile;
    // openFiles(): any repository is accepted.
    bool _anyRepository = false;
    std::map<int, StorageEntry> _entries;
    std::map<int, std::unique_ptr<FixedSizeFileStorage>> _storages;
    StorageGroup _group;
};

} // namespace ostrel
