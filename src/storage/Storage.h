#pragma once

#include "base/DateTime.h"
#include "base/Interval.h"
#include "base/UniqueID.h"
#include "base/thread/Mutex.h"
#include "storage/GroupCommitOptions.h"
#include "storage/IStorage.h"
#include "storage/LogMessage.h"
#include "storage/PagePosition.h"
#include "storage/RecorderType.h"
#include "storage/RecordingRun.h"
#include "storage/StorageFormatOptions.h"
#include "storage/TimeStampClock.h"
#include "storage/VarnelAbility.h"
#include "storage/pager/IPageCacheMonitor.h"
#include "storage/pager/TrackListItem.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostrel {

class BadTrack;
class EventElement;
class EventTrack;
class GroupCommit;
class GroupCommitTimer;
class IOverwritePreparer;
class IRecordable;
class IStorageFile;
class IStorageListener;
class InfoTrack;
class LogTrack;
class MediaElement;
class MediaTrack;
class Page;
class PageCache;
class PreEventTrack;
class RecordingTable;
class SuperBlock;
class TextInElement;
class TextInTrack;
class Timeline;
class TimelineElement;

// One open storage file: its files, superblock, page cache, free-page
// allocator, journal, the nine tracks, the in-memory copy of the track list,
// the item-ID counter and the time-stamp clock. The concrete storage over a
// file is FixedSizeFileStorage; StorageGroup offers the same operations over
// several storages.
//
// One thread records into a storage; every writing operation also takes the
// storage's write lock, so that the resume information the archiver stores
// from another thread never meets a half-done append. Readers walk the
// tracks with TrackIterators and ask the recording table and the info map,
// which keep their own locks.
//
// Durability. A storage with a group commit (FixedSizeFileStorage) does not
// save a media page that filled at once: the page waits in memory, still
// free on disk, until its group commits (GroupCommit), which happens when
// GroupCommitOptions::pages pages wait, when the oldest has waited
// maxWaitMilliseconds (checked by every write, and by a timer thread of the
// storage when no write comes), and before anything else uses the journal
// (flush, flushTracks, close, truncateAfter, a section change, a switch of a
// group's recording member, an overwrite step, any other transaction). So:
// - a frame is on disk once the group holding its last byte has committed,
//   at most maxWaitMilliseconds after its page filled (durableMediaID() says
//   up to which media ID that holds);
// - every frame written before a flush(), flushTracks() or close(true) is on
//   disk when it returns; a caller that stores a record naming frames (the
//   archiver's resume record) calls flushTracks() first.
// A power loss loses only frames that were not on disk, and the next open
// finds the file consistent.
class Storage : public IStorage, public IPageCacheMonitor {
public:
    // The correction passes at open: check only, correction, correction and recovery.
    enum CorrectionMode : int { CheckOnly = 0, Correction = 1, CorrectionAndRecovery = 2 };

    Storage();
    ~Storage() override;
    Storage(const Storage&) = delete;
    Storage& operator=(const Storage&) = delete;

    // IPageCacheMonitor: relayed to the listeners.
    void saveStarted(Page& page, bool headerOnly) override;
    void saveFinished(Page& page, bool headerOnly) override;

    // Closes all nine tracks; true when all succeeded.
    virtual bool closeTracks(bool flush);
    // Refills the track-list mirror from the superblock and opens the tracks
    // from their last pages (the log track opens on first use).
    virtual void loadTracks();
    // Trims the media, pre-event, recording-table, event and text-in tracks
    // before `before`.
    virtual void overwriteBefore(std::uint64_t before);
    // Clears the timeline, recording-table, media, pre-event, event and text-in tracks.
    virtual void clearAll();
    virtual std::uint64_t baseOffset() const = 0;
    // The I/O unit of the storage's files.
    virtual std::uint32_t ioMinBlockSize() const = 0;
    virtual std::uint64_t fileSize() const = 0;
    virtual std::unique_ptr<IOverwritePreparer> createOverwritePreparer() = 0;
    virtual std::uint32_t overwritePreparerCapacity() const { return 1000; }

    // Opens the storage file at `path`: false when there is no usable file or
    // it holds no valid storage (the files then stay open so that a format
    // can follow) or it was found corrupted. Damage that cannot be mended
    // raises VarnelException code 4 and leaves the storage closed.
    //
    // A writable open whose correction finds damage it cannot mend takes the
    // damaged pages out of use (the full check and repair of the storage
    // utility), logs what that cost ("[REPAIR] ..."), and opens again: damage
    // confined to data pages never leaves a storage unopenable.
    bool open(const std::string& path, bool exclusive, int correctionMode);
    bool open(const std::string& path, bool exclusive) { return open(path, exclusive, CorrectionAndRecovery); }
    bool open(const std::string& path) { return open(path, false, CorrectionAndRecovery); }
    // Flushes when asked (and the storage is valid), closes the tracks and
    // the files; false when a flush or a track failed.
    virtual bool close(bool flush);
    // Formats the open file: every page becomes free, the journal and the
    // log are set up, numbering continues from this object's counter when
    // the file held a storage before. A file too small for the free-page
    // list, the journal and one data page is refused (VarnelException code 1)
    // before anything is written.
    virtual void format(const StorageFormatOptions& options);

    void setRepositoryID(const UniqueID& id);
    void setRecorderType(const RecorderType& type);

    // IStorage.
    SuperBlock& superBlock() override { return *_superBlock; }
    PageCache& pageCache() override { return *_pageCache; }
    const std::string& path() const override { return _path; }
    bool isReadOnly() const override { return _writer == nullptr; }
    void log(const std::string& text, int level, bool flush) override;
    // A free page for a new page of `type`: when none is free, one step of
    // the overwrite of the oldest data runs first; when still none is free
    // the allocation fails with VarnelException code 1.
    std::uint32_t allocatePage(const PageType& type) override;
    void setTrackLast(const PageType& type, std::uint32_t page, std::uint32_t checksum) override;
    void removeTrack(const PageType& type) override;

    // Saves one page of a track (the first save of a newly allocated page
    // runs as a journaled PageFlushTransaction). `filled`: the track moves on
    // to a new page and will not change this one again; a media page that
    // filled waits for its group commit instead.
    virtual void savePage(Page& page, bool filled);
    void savePage(Page& page) { savePage(page, false); }

    // The group commit (see the class comment). Commits the waiting pages now.
    void commitPendingPages() override;
    // Commits the waiting pages when the oldest has waited its time. Answers
    // the milliseconds until that is due, -1 when no page waits. Without
    // `wait` it does not wait for the write lock: a writer that holds it
    // checks the time itself, and the answer is a short retry time. A
    // failure is kept and raised by every later write until the storage is
    // opened again.
    int commitDuePages(bool wait);
    virtual void setGroupCommitOptions(const GroupCommitOptions& options);
    GroupCommitOptions groupCommitOptions() const;
    // Every media frame with an ID up to this one has all its bytes on disk.
    virtual std::uint64_t durableMediaID() const { return _durableMediaID; }
    // Whether a failed save is swallowed; the storage lets it propagate.
    virtual bool onSaveFailure(Page& page, bool inTransaction);

    virtual bool isValid() const;
    virtual bool isOpen() const { return !_closed; }
    virtual UniqueID repositoryID() const;
    virtual UniqueID storageID() const;
    virtual std::uint32_t pageCount() const;
    virtual std::uint64_t freePageCount() const;
    virtual RecorderType recorderType() const;
    // Page count times page size.
    virtual std::uint64_t capacity() const;
    // Bytes of the storage's file.
    virtual std::uint64_t fileBytes() const { return fileSize(); }

    // The write path (Parts of the recorder): media and pre-event frames get
    // the next media ID; text-in records the next media ID and the current
    // section; timeline writes index the frame (answering (0, 0) when it is
    // not indexed) and, for video with `updateSections`, feed the recording table.
    virtual PagePosition writeMedia(MediaElement& frame);
    virtual PagePosition writePreEvent(MediaElement& frame);
    virtual PagePosition writeTextIn(TextInElement& element);
    virtual PagePosition writeTimeline(const MediaElement& frame, const PagePosition& position, bool updateSections);
    virtual PagePosition writeTimeline(const MediaElement& frame, const PagePosition& position);
    virtual PagePosition writeTimeline(const TextInElement& element, const PagePosition& position,
                                       bool updateSections);
    // Room checks: enough free pages for every track that cannot take the
    // item in its current page.
    virtual bool hasSpaceFor(const PageType& type, const IRecordable& item) const;
    virtual bool hasSpaceFor(const MediaElement& frame) const;
    virtual PagePosition writeEvent(EventElement& event, bool flush);
    // False (nothing written) when there is no info page and no free page.
    virtual bool writeInfo(const std::string& key, const std::string& value, bool flush);
    virtual bool readInfo(const std::string& key, std::string& value) const;
    virtual void allInfo(std::map<std::string, std::string>& out) const;
    // Flushes the data tracks and writes the superblock header.
    virtual void flushTracks();
    // Closes the recording table's pending second, flushes the tracks and
    // checks the wall clock.
    virtual void flush();
    virtual void setNextSectionID(std::uint32_t sectionID);
    // Removes everything recorded after media ID `mediaID` (the recording
    // table is cut back into section `sectionID`); the next media ID becomes
    // mediaID + 1.
    virtual void truncateAfter(std::uint32_t sectionID, std::uint64_t mediaID);
    // One step of the circular overwrite of the oldest data.
    virtual void overwriteOldest();
    virtual void recordingSectionChanged(std::uint32_t sectionID);

    // Queries.
    virtual bool recordingInterval(Interval& out) const;
    virtual void recordingTimeTable(BitMask32 mask, const Interval& interval, std::vector<RecordingRun>& out) const;
    virtual std::uint32_t firstSectionID() const;
    virtual std::uint32_t lastSectionID() const;
    // The last media ID handed out.
    virtual std::uint64_t lastIssuedItemID() const { return _nextItemID - 1; }
    std::uint64_t nextItemID() const { return _nextItemID; }
    // Media ID of the timeline's last element (0 for an empty timeline).
    std::uint64_t lastTimelineMediaID() const;
    // The storage's own log, oldest message first (read from the log page).
    std::vector<LogMessage> readLog() const;
    // What the repair of the last open did (one line each, what was lost
    // among them); empty when the open repaired nothing.
    const std::vector<std::string>& repairReport() const { return _repairReport; }

    bool isAbleTo(VarnelAbility ability) const;
    std::uint32_t timeStamp() const { return _timeStamp; }
    // The time stamp becomes `stamp`; the clock restarts from it and the
    // superblock image records it with the current time.
    void setTimeStamp(std::uint32_t stamp);
    // The counter becomes `id` when the last ID handed out is below it.
    void raiseNextItemID(std::uint64_t id);
    void checkTimeChange();
    void recordTimeStamp();
    void setLogEnabled(bool enabled) { _logEnabled = enabled; }
    // The wall clock and tick counter the time stamps and the group commit's
    // waiting time follow (tests move them).
    void setClockSource(const Clock* source) { _clock.setSource(source); }
    const Clock& clockSource() const { return _clock.source(); }

    // The track-list mirror.
    std::optional<TrackListItem> findTrack(const PageType& type) const;
    std::vector<TrackListItem> tracks() const;
    bool hasTrack(const PageType& type) const { return findTrack(type).has_value(); }
    void addTrack(const PageType& type, BitMask32 mask, std::uint32_t page, std::uint32_t checksum);
    void setTrackFirst(const PageType& type, std::uint32_t page, std::uint32_t checksum) override;

    void addListener(IStorageListener* listener);
    void removeListener(IStorageListener* listener);
    bool hasListener(const IStorageListener* listener) const;

    // Track access.
    Timeline& timeline() { return *_timeline; }
    RecordingTable& recordingTable() { return *_recordingTable; }
    const RecordingTable& recordingTable() const { return *_recordingTable; }
    MediaTrack& mediaTrack() { return *_mediaTrack; }
    PreEventTrack& preEventTrack() { return *_preEventTrack; }
    EventTrack& eventTrack() { return *_eventTrack; }
    TextInTrack& textInTrack() { return *_textInTrack; }
    InfoTrack& infoTrack() { return *_infoTrack; }
    LogTrack& logTrack() { return *_logTrack; }
    BadTrack& badTrack() { return *_badTrack; }
    // Records a page the storage stopped using.
    bool addBadPage(std::uint32_t number);
    // A page the overwrite found damaged while it trimmed the oldest data of
    // a track: it leaves the track at once and goes onto the bad-page track
    // (with a storage log line naming it and what was lost) as soon as the
    // overwrite has freed pages. `lostBefore`, when not 0, is the first media
    // ID after the items lost with it: the other tracks are trimmed up to it.
    void quarantinePage(std::uint32_t number, const PageType& type, std::uint32_t successor, std::uint64_t lostBefore);
    // The page of the track of `type` whose previous link names `damaged`,
    // found by walking the chain back from its last page; 0 when none.
    std::uint32_t pageLinkingBackTo(const PageType& type, std::uint32_t damaged);
    Mutex& writeMutex() const { return _writeMutex; }

protected:
    // The storage's file: with `force` a read-only handle, else one for
    // reading and writing; none (null) when the file may not be written.
    virtual std::unique_ptr<IStorageFile> openHandle(const std::string& path, bool force) = 0;
    // The consistency pass at open; answers whether the storage is usable
    // and the next item ID.
    virtual bool correctAtOpen(int mode, std::uint64_t& nextItemID);
    IStorageFile* readerFile() const { return _reader; }
    IStorageFile* writerFile() const { return _writer.get(); }
    // The concrete storage's group commit (none: every page is saved at once).
    void setGroupCommit(GroupCommit* group) { _groupCommit = group; }
    // Stops the group commit's timer and forgets the waiting pages (they
    // stay free on disk): a close without flush, a failure.
    void dropPendingPages();

    void notifyUsage();
    void notifyFormatting(bool begins);
    void notifySectionChanged(std::uint32_t sectionID);
    void notifyTrackDeleted(const PageType& type);
    void notifyDamageFound(const std::string& report);
    std::vector<IStorageListener*> listeners() const;

private:
    void refillMirror();
    void runTimeStampStep();
    void closeHandles();
    void failOpen();
    // One open as the correction leaves it; sets _correctionFailed when the
    // correction refused the file.
    bool openOnce(const std::string& path, bool exclusive, int correctionMode);
    // Repairs the file at `path` after a failed open; answers whether it did
    // anything, with the lines to log once the storage is open.
    bool repairAfterFailedOpen(const std::string& path, std::vector<std::string>& lines);
    std::uint64_t timelineNextItemID();
    // The overwrite step's cut when the timeline has a single page: the media
    // ID of the first frame that starts in the media track's second page
    // (0 when there is none).
    std::uint64_t secondMediaPageFirstID();
    // Commits the waiting group when its oldest page has waited its time
    // (the writer's own check).
    void commitPendingPagesWhenDue();
    // Commits the group (with `current` riding along); a failure is kept.
    void commitGroup(Page* current);
    // Before frames of a member whose section lives only in memory become
    // durable: saves the timeline and the recording table first.
    void saveTableBeforeFrames();
    // Raises the failure a group commit met: a storage whose commit failed
    // writes nothing more until it is opened again.
    void throwGroupFailure();
    void raiseDurableMediaID(std::uint64_t id);

    std::string _path;
    std::unique_ptr<IStorageFile> _writer;
    std::unique_ptr<IStorageFile> _readerHandle;
    IStorageFile* _reader = nullptr;
    std::unique_ptr<SuperBlock> _superBlock;
    std::unique_ptr<PageCache> _pageCache;

    std::unique_ptr<Timeline> _timeline;
    std::unique_ptr<RecordingTable> _recordingTable;
    std::unique_ptr<MediaTrack> _mediaTrack;
    std::unique_ptr<PreEventTrack> _preEventTrack;
    std::unique_ptr<EventTrack> _eventTrack;
    std::unique_ptr<TextInTrack> _textInTrack;
    std::unique_ptr<LogTrack> _logTrack;
    std::unique_ptr<InfoTrack> _infoTrack;
    std::unique_ptr<BadTrack> _badTrack;

    mutable Mutex _mirrorMutex;
    std::vector<TrackListItem> _mirror;

    std::atomic<std::uint64_t> _nextItemID{1};
    std::atomic<std::uint32_t> _timeStamp{0};
    TimeStampClock _clock;
    std::atomic<bool> _closed{true};
    // What the last open attempt found: the correction refused the file; a
    // writable handle was open.
    struct Quarantined {
        std::uint32_t page;
        PageType type;
        std::uint32_t successor;
        std::uint64_t lostBefore;
    };
    // Whether the track no longer reaches the quarantined page.
    bool hasLeft(const Quarantined& page);
    std::vector<Quarantined> _quarantined;
    std::vector<std::string> _repairReport;
    std::uint64_t _lostBefore = 0;
    void settleQuarantine();
    bool _correctionFailed = false;
    bool _openedWritable = false;
    std::atomic<bool> _logEnabled{true};
    bool _inOverwrite = false;
    // saveTableBeforeFrames() is at work: its transactions leave the
    // waiting group alone.
    bool _savingTableFirst = false;

    GroupCommit* _groupCommit = nullptr;
    std::unique_ptr<GroupCommitTimer> _groupTimer;
    std::exception_ptr _groupFailure;
    std::atomic<std::uint64_t> _durableMediaID{0};

    mutable Mutex _listenerMutex;
    std::vector<IStorageListener*> _listeners;
    mutable Mutex _writeMutex;
    mutable Mutex _logMutex;
};

} // namespace ostrel
