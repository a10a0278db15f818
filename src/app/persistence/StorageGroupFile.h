#pragma once

#include "base/UniqueID.h"
#include "base/thread/Mutex.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ostrel {

// The storage group file ("*.strgx") of a site: which storage files make up
// its storage group, which site (repository) they belong to, and where
// recording was when the group was last closed or switched. One JSON object:
//
//   {
//   	"Magic": "StorageGroupFile",
//   	"Version": "1",
//   	"RepositoryID": "<site identifier>",
//   	"LastStorageID": "<storage identifier of the recording member>",
//   	"LastRecordingSectionID": "<decimal>",
//   	"StorageFiles": [ "<path>", ... ]
//   }
//
// written one member per line with tab indentation. Readers take any layout
// and member order. Every write goes to a temporary file next to it, which is
// synced and renamed over the file (and the folder synced), so a crash leaves
// either the old or the new file, never a torn one.
//
// "Open" means loaded or created and not closed: changes are saved at once
// while open. A group file without a path (openInMemory) is kept in memory
// only. All operations are serialised by the object's lock, so the media
// thread (section changes) and the controller thread (storage changes) may
// both write.
class StorageGroupFile {
public:
    static constexpr const char* Magic = "StorageGroupFile";
    static constexpr const char* CurrentVersion = "1";
    static constexpr const char* Extension = ".strgx";

    StorageGroupFile() = default;
    virtual ~StorageGroupFile() = default;
    StorageGroupFile(const StorageGroupFile&) = delete;
    StorageGroupFile& operator=(const StorageGroupFile&) = delete;

    // Writes a new group file for `repositoryID` with no storage files,
    // section 0 and a new random last storage identifier; false when something
    // exists at `path` or the file cannot be written. Leaves this object closed.
    bool create(const std::string& path, const UniqueID& repositoryID);
    // Reads and parses the file; true (and open) when it is a valid group
    // file. False when there is no file, it does not parse as an object, its
    // "Magic" is wrong or "Version", "LastRecordingSectionID" or
    // "RepositoryID" is missing or empty.
    bool load(const std::string& path);
    // An open group file with no path: nothing is ever written.
    void openInMemory(const UniqueID& repositoryID, const std::vector<std::string>& storageFiles);
    // Writes the file when open; false (with a trace line) when that failed.
    bool save();
    void saveAndClose();
    // Forgets the open state without writing.
    void close();
    bool isOpen() const;

    // Each of these saves the file; false when the save failed (the change is
    // kept in memory).
    bool addStorage(const std::string& path);
    // Removes the first equal path (exact, case-sensitive); nothing when absent.
    bool removeStorage(const std::string& path);
    bool setLastStorageID(const UniqueID& id);
    bool setLastRecordingSectionID(uint32_t sectionID);

    bool contains(const std::string& path) const;
    int count() const;
    std::string path() const;
    std::string version() const;
    UniqueID repositoryID() const;
    UniqueID lastStorageID() const;
    uint32_t lastRecordingSectionID() const;
    std::vector<std::string> storageFiles() const;

    // The JSON text the writer lays out for these values (tests and tools).
    static std::string format(const UniqueID& repositoryID, const UniqueID& lastStorageID, uint32_t lastSectionID,
                              const std::vector<std::string>& storageFiles);

private:
    bool saveLocked();

    mutable Mutex _mutex;
    bool _open = false;
    std::string _path;
    std::string _version = CurrentVersion;
    UniqueID _repositoryID = UniqueID::nil();
    UniqueID _lastStorageID = UniqueID::nil();
    uint32_t _lastRecordingSectionID = 0;
    std::vector<std::string> _storageFiles;
};

} // namespace ostrel
