#pragma once

#include "base/thread/Mutex.h"
#include "storage/IStorageListener.h"
#include "storage/RecorderType.h"
#include "storage/Storage.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ostrel {

class IStorageGroupListener;

// Several storage files acting as one recording space. Writes go to the
// current recording member; when it has no room the group moves recording to
// the first empty member (in path order), or, when none is left, to the
// member holding the oldest section, whose own overwrite then frees its
// oldest data. Section IDs and media IDs continue across members. Queries
// combine the members.
//
// The member lists are guarded by the group's lock; the current member
// changes only on the recording thread.
class StorageGroup : public Storage, public IStorageListener {
public:
    explicit StorageGroup(const RecorderType& type = RecorderType());
    ~StorageGroup() override;

    // Adds an open member: to the empty members when it has no timeline,
    // else to the record members. The group owns members given by pointer.
    void addStorage(Storage& storage);
    void addStorage(std::unique_ptr<Storage> storage);
    // Chooses the recording member once all members are added; a member
    // that is not the one the group file names (`groupID`) continues at
    // `lastSection` + 2.
    void selectRecordingStorage(const UniqueID& groupID, std::uint32_t lastSection);
    // Closes every member and forgets them; true when every member closed cleanly.
    bool close(bool flush) override;
    // Whether the group has a member to record into.
    bool isOpen() const override;

    void addGroupListener(IStorageGroupListener* listener);
    void removeGroupListener(IStorageGroupListener* listener);

    Storage* current() const { return _current; }
    Storage* previous() const { return _previous; }
    std::vector<Storage*> recordStorages() const;
    std::vector<Storage*> emptyStorages() const;
    // The record member with the oldest section (`purpose` names the caller in traces).
    Storage* firstStorage(const char* purpose) const;
    // The record member with the newest section.
    Storage* lastStorage(const char* purpose) const;
    // Writes the info record into every member.
    void writeInfoToAll(const std::string& key, const std::string& value, bool flush);

    // Storage: forwarded to one member or combined over the members.
    std::uint64_t baseOffset() const override { return 0; }
    std::uint32_t ioMinBlockSize() const override { return 512; }
    IFreePageAllocator& freePageAllocator() override;
    ITransactionHandler& transactionHandler() override;
    std::uint64_t fileSize() const override;
    std::unique_ptr<IOverwritePreparer> createOverwritePreparer() override;
    const std::string& path() const override;
    void log(const std::string& text, int level, bool flush) override;

    bool isValid() const override;
    UniqueID repositoryID() const override;
    UniqueID storageID() const override;
    std::uint32_t pageCount() const override;
    std::uint64_t freePageCount() const override;
    RecorderType recorderType() const override;
    std::uint64_t capacity() const override;
    std::uint64_t fileBytes() const override;

    PagePosition writeMedia(MediaElement& frame) override;
    PagePosition writePreEvent(MediaElement& frame) override;
    PagePosition writeTextIn(TextInElement& element) override;
    PagePosition writeTimeline(const MediaElement& frame, const PagePosition& position,
                               bool updateSections) override;
    PagePosition writeTimeline(const TextInElement& element, const PagePosition& position,
                               bool updateSections) override;
    bool hasSpaceFor(const PageType& type, const IRecordable& item) const override;
    bool hasSpaceFor(const MediaElement& frame) const override;
    PagePosition writeEvent(EventElement& event, bool flush) override;
    bool writeInfo(const std::string& key, const std::string& value, bool flush) override;
    bool readInfo(const std::string& key, std::string& value) const override;
    void allInfo(std::map<std::string, std::string>& out) const override;
    void flushTracks() override;
    void flush() override;
    void setNextSectionID(std::uint32_t sectionID) override;
    void truncateAfter(std::uint32_t sectionID, std::uint64_t mediaID) override;
    void overwriteOldest() override;
    bool recordingInterval(Interval& out) const override;
    void recordingTimeTable(BitMask32 mask, const Interval& interval, std::vector<RecordingRun>& out) const override;
    std::uint32_t firstSectionID() const override;
    std::uint32_t lastSectionID() const override;
    std::uint64_t lastIssuedItemID() const override;
    // Every member's: media IDs grow across the members, and a member that
    // recording left was flushed, so the greatest value holds for the group.
    std::uint64_t durableMediaID() const override;
    void setGroupCommitOptions(const GroupCommitOptions& options) override;

    // IStorageListener: what the members tell the group.
    void usageChanged(Storage& storage, std::uint64_t freePages, std::uint64_t totalPages) override;
    void formattingBegins(Storage&) override {}
    void formattingEnded(Storage&) override {}
    void sectionChanged(Storage& storage, std::uint32_t sectionID) override;
    // Passed on to the group listeners (storageDamaged).
    void damageFound(Storage& storage, const std::string& report) override;

protected:
    std::unique_ptr<IStorageFile> openHandle(const std::string& path, bool force) override;

private:
    std::vector<Storage*> members() const;
    void notifyDamaged(Storage& member, const std::string& report);
    Storage& requireCurrent() const;
    // The member that takes the next write of `type`, switching when the
    // current one has no room.
    Storage& selectForWrite(const PageType& type, const IRecordable& item);
    void changeRecordingStorage(Storage& target);
    // The member an item about media ID `mediaID` belongs to.
    Storage& ownerOf(std::uint64_t mediaID);

    mutable Mutex _groupMutex;
    std::atomic<Storage*> _current{nullptr};
    std::atomic<Storage*> _previous{nullptr};
    std::vector<Storage*> _empty;
    std::vector<Storage*> _record;
    std::vector<std::unique_ptr<Storage>> _owned;
    mutable Mutex _groupListenerMutex;
    std::vector<IStorageGroupListener*> _groupListeners;
    RecorderType _recorderType;
};

} // namespace ostrel
