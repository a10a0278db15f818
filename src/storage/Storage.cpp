#include "storage/Storage.h"
#include "storage/util/RepairJournal.h"
#include "storage/util/StorageRepairer.h"

#include "base/Exception.h"
#include "base/Trace.h"
#include "storage/BadTrack.h"
#include "storage/EventElement.h"
#include "storage/EventTrack.h"
#include "storage/GroupCommitTimer.h"
#include "storage/IFreePageAllocator.h"
#include "storage/IOverwritePreparer.h"
#include "storage/IStorageListener.h"
#include "storage/InfoTrack.h"
#include "storage/LogTrack.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrack.h"
#include "storage/PreEventTrack.h"
#include "storage/RecordingTable.h"
#include "storage/TextInElement.h"
#include "storage/TextInTrack.h"
#include "storage/Timeline.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/aio/IStorageFile.h"
#include "storage/pager/CircularPage.h"
#include "storage/pager/PageCache.h"
#include "storage/pager/SuperBlock.h"
#include "storage/transaction/GroupCommit.h"
#include "storage/transaction/ITransactionHandler.h"
#include "storage/transaction/PageFlushTransaction.h"
#include "storage/util/StorageCorrector.h"
#include "storage/util/StorageInformation.h"
#include "storage/util/StorageMigrator.h"
#include "storage/util/StorageUtility.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace ostrel {
namespace {

std::string textOf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string textOf(const char* fmt, ...) {
    char text[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

} // namespace

Storage::Storage()
    : _superBlock(std::make_unique<SuperBlock>()), _pageCache(std::make_unique<PageCache>()),
      _timeline(std::make_unique<Timeline>()), _recordingTable(std::make_unique<RecordingTable>()),
      _mediaTrack(std::make_unique<MediaTrack>()), _preEventTrack(std::make_unique<PreEventTrack>()),
      _eventTrack(std::make_unique<EventTrack>()), _textInTrack(std::make_unique<TextInTrack>()),
      _logTrack(std::make_unique<LogTrack>()), _infoTrack(std::make_unique<InfoTrack>()),
      _badTrack(std::make_unique<BadTrack>()) {}

Storage::~Storage() {
    if (_groupTimer) {
        _groupTimer->stop();
    }
}

// ---------------------------------------------------------------- listeners

void Storage::addListener(IStorageListener* listener) {
    Mutex::ScopedLock lock(_listenerMutex);
    if (listener != nullptr && std::find(_listeners.begin(), _listeners.end(), listener) == _listeners.end()) {
        _listeners.push_back(listener);
    }
}

void Storage::removeListener(IStorageListener* listener) {
    Mutex::ScopedLock lock(_listenerMutex);
    _listeners.erase(std::remove(_listeners.begin(), _listeners.end(), listener), _listeners.end());
}

bool Storage::hasListener(const IStorageListener* listener) const {
    Mutex::ScopedLock lock(_listenerMutex);
    return std::find(_listeners.begin(), _listeners.end(), listener) != _listeners.end();
}

std::vector<IStorageListener*> Storage::listeners() const {
    Mutex::ScopedLock lock(_listenerMutex);
    return _listeners;
}

void Storage::notifyUsage() {
    Mutex::ScopedLock lock(_listenerMutex);
    if (_listeners.empty()) {
        return;
    }
    const std::uint64_t free = freePageCount();
    const std::uint64_t total = pageCount();
    for (IStorageListener* listener : std::vector<IStorageListener*>(_listeners)) {
        listener->usageChanged(*this, free, total);
    }
}

void Storage::notifyFormatting(bool begins) {
    Mutex::ScopedLock lock(_listenerMutex);
    for (IStorageListener* listener : std::vector<IStorageListener*>(_listeners)) {
        if (begins) {
            listener->formattingBegins(*this);
        } else {
            listener->formattingEnded(*this);
        }
    }
}

void Storage::notifySectionChanged(std::uint32_t sectionID) {
    Mutex::ScopedLock lock(_listenerMutex);
    for (IStorageListener* listener : std::vector<IStorageListener*>(_listeners)) {
        listener->sectionChanged(*this, sectionID);
    }
}

void Storage::notifyDamageFound(const std::string& report) {
    Mutex::ScopedLock lock(_listenerMutex);
    for (IStorageListener* listener : std::vector<IStorageListener*>(_listeners)) {
        listener->damageFound(*this, report);
    }
}

void Storage::notifyTrackDeleted(const PageType& type) {
    Mutex::ScopedLock lock(_listenerMutex);
    for (IStorageListener* listener : std::vector<IStorageListener*>(_listeners)) {
        listener->trackDeleted(*this, type);
    }
}

void Storage::saveStarted(Page& page, bool headerOnly) {
    Mutex::ScopedLock lock(_listenerMutex);
    for (IStorageListener* listener : std::vector<IStorageListener*>(_listeners)) {
        listener->saveStarted(*this, page, headerOnly);
    }
}

void Storage::saveFinished(Page& page, bool headerOnly) {
    Mutex::ScopedLock lock(_listenerMutex);
    for (IStorageListener* listener : std::vector<IStorageListener*>(_listeners)) {
        listener->saveFinished(*this, page, headerOnly);
    }
}

// ---------------------------------------------------------------- track-list mirror

void Storage::refillMirror() {
    Mutex::ScopedLock lock(_mirrorMutex);
    _mirror.clear();
    if (!_superBlock->isValid()) {
        return;
    }
    TrackListItem item;
    for (std::size_t i = 0; _superBlock->getTrack(i, item); ++i) {
        _mirror.push_back(item);
    }
}

std::optional<TrackListItem> Storage::findTrack(const PageType& type) const {
    Mutex::ScopedLock lock(_mirrorMutex);
    for (const TrackListItem& item : _mirror) {
        if (item.type() == type) {
            return item;
        }
    }
    return std::nullopt;
}

std::vector<TrackListItem> Storage::tracks() const {
    Mutex::ScopedLock lock(_mirrorMutex);
    return _mirror;
}

void Storage::addTrack(const PageType& type, BitMask32 mask, std::uint32_t page, std::uint32_t checksum) {
    Mutex::ScopedLock lock(_mirrorMutex);
    _mirror.emplace_back(type, mask, page, checksum);
}

void Storage::setTrackLast(const PageType& type, std::uint32_t page, std::uint32_t checksum) {
    Mutex::ScopedLock lock(_mirrorMutex);
    for (TrackListItem& item : _mirror) {
        if (item.type() == type) {
            item.setLast(page, checksum);
            return;
        }
    }
    _mirror.emplace_back(type, BitMask32(BitMask32::AllBits), page, checksum);
}

void Storage::setTrackFirst(const PageType& type, std::uint32_t page, std::uint32_t checksum) {
    Mutex::ScopedLock lock(_mirrorMutex);
    for (TrackListItem& item : _mirror) {
        if (item.type() == type) {
            item.setFirst(page, checksum);
            return;
        }
    }
    _mirror.emplace_back(type, BitMask32(BitMask32::AllBits), page, checksum);
}

void Storage::removeTrack(const PageType& type) {
    bool removed = false;
    {
        Mutex::ScopedLock lock(_mirrorMutex);
        const auto it = std::find_if(_mirror.begin(), _mirror.end(),
                                     [&type](const TrackListItem& item) { return item.type() == type; });
        if (it != _mirror.end()) {
            _mirror.erase(it);
            removed = true;
        }
    }
    if (removed) {
        notifyTrackDeleted(type);
    }
}

// ---------------------------------------------------------------- facts

bool Storage::isValid() const { return _superBlock->isValid(); }

bool Storage::isAbleTo(VarnelAbility ability) const { return _superBlock->isAbleTo(ability); }

UniqueID Storage::repositoryID() const { return _superBlock->repositoryID(); }

UniqueID Storage::storageID() const { return _superBlock->storageID(); }

std::uint32_t Storage::pageCount() const { return _superBlock->pageCount(); }

std::uint64_t Storage::freePageCount() const {
    return isValid() ? const_cast<Storage*>(this)->freePageAllocator().freePageCount() : 0;
}

RecorderType Storage::recorderType() const { return _superBlock->recorderType(); }

std::uint64_t Storage::capacity() const {
    return std::uint64_t{_superBlock->pageCount()} * _superBlock->pageSize();
}

void Storage::setRepositoryID(const UniqueID& id) { _superBlock->setRepositoryID(id); }

void Storage::setRecorderType(const RecorderType& type) { _superBlock->setRecorderType(type); }

// ---------------------------------------------------------------- log and time

void Storage::log(const std::string& text, int level, bool flush) {
    trace("<VARNEL LOG: %s>\n", text.c_str());
    if (isReadOnly() || !_logEnabled || !_superBlock->isAbleTo(VarnelAbility::StorageLog)) {
        return;
    }
    Mutex::ScopedLock lock(_writeMutex);
    Mutex::ScopedLock logLock(_logMutex);
    try {
        if (!_logTrack->isOpen()) {
            const std::optional<TrackListItem> entry = findTrack(PageType::Log);
            _logTrack->init(*this, true, entry ? entry->lastPage() : 0);
        }
        if (_logTrack->page().isLoaded() || hasTrack(PageType::Log) || freePageCount() > 0) {
            _logTrack->append(text, level);
            if (flush) {
                _logTrack->flush();
            }
        } else {
            trace("CAN'T LOG: there is no log page and no free page also.\n");
        }
    } catch (const Exception& e) {
        // The storage's own log never fails the operation that logs.
        traceException(e);
    }
}

void Storage::setTimeStamp(std::uint32_t stamp) {
    _timeStamp = stamp;
    _clock.start(stamp, 1);
    if (_superBlock->isLoaded()) {
        _superBlock->setBootTime(_clock.clockTime(), stamp);
    }
}

void Storage::raiseNextItemID(std::uint64_t id) {
    std::uint64_t next = _nextItemID;
    while (id > next && !_nextItemID.compare_exchange_weak(next, id)) {
    }
}

void Storage::checkTimeChange() {
    if (!_clock.isRunning()) {
        return;
    }
    bool jumped = false;
    _timeStamp = _clock.update(jumped);
    if (jumped && !isReadOnly() && _superBlock->isValid()) {
        _superBlock->setBootTime(_clock.clockTime(), _timeStamp);
        _superBlock->saveHeader();
        log("[TIME CHANGE] " + _clock.clockTime().toString(), 2, false);
    }
}

void Storage::recordTimeStamp() {
    if (_clock.isRunning() && _superBlock->isValid()) {
        _superBlock->setBootTime(_clock.clockTime(), _timeStamp);
    }
}

void Storage::runTimeStampStep() {
    if (!isAbleTo(VarnelAbility::TimeStamp)) {
        return;
    }
    const DateTime now = _clock.source().nowUTC();
    std::uint32_t stamp = _superBlock->timeStampBasis();
    const DateTime boot = _superBlock->bootTime();
    bool earlier = false;
    std::int64_t difference = 0;
    if (boot.isSet() && boot < now) {
        try {
            difference = DateTime::secondsBetween(now, boot);
            earlier = true;
        } catch (const Exception&) {
            // A boot time the calendar cannot hold counts as not earlier.
        }
    }
    if (earlier) {
        stamp = static_cast<std::uint32_t>(stamp + static_cast<std::uint64_t>(difference));
        log(textOf("[OPEN] diff_time_stamp = %lld", static_cast<long long>(difference)), 2, true);
    } else {
        log("[OPEN] boot_time (" + boot.toString() + ") >= current_time (" + now.toString() + ")", 2, true);
    }
    _superBlock->setBootTime(now, stamp);
    _timeStamp = stamp;
    _clock.start(stamp, 1);
}

// ---------------------------------------------------------------- open, format, close

bool Storage::closeTracks(bool flush) {
    bool ok = true;
    ok = _infoTrack->close(flush) && ok;
    ok = _mediaTrack->close(flush) && ok;
    ok = _timeline->close(flush) && ok;
    ok = _recordingTable->close(flush) && ok;
    ok = _preEventTrack->close(flush) && ok;
    ok = _eventTrack->close(flush) && ok;
    ok = _textInTrack->close(flush) && ok;
    ok = _badTrack->close(flush) && ok;
    {
        Mutex::ScopedLock lock(_logMutex);
        ok = _logTrack->close(flush) && ok;
    }
    return ok;
}

void Storage::loadTracks() {
    refillMirror();
    const bool write = !isReadOnly();
    auto lastPage = [this](const PageType& type) {
        const std::optional<TrackListItem> entry = findTrack(type);
        return entry ? entry->lastPage() : 0u;
    };
    _timeline->init(*this, write, lastPage(PageType::Timeline));
    _recordingTable->init(*this, write, lastPage(PageType::RecordingTable));
    _mediaTrack->init(*this, write, lastPage(PageType::Media));
    _eventTrack->init(*this, write, lastPage(PageType::Event));
    _preEventTrack->init(*this, write, lastPage(PageType::PreEvent));
    _infoTrack->init(*this, write, lastPage(PageType::Info));
    _textInTrack->init(*this, write, lastPage(PageType::TextIn));
    _badTrack->init(*this, write, lastPage(PageType::Bad));
    // The recording table continues the timeline where it ends (the second
    // in progress, the last element): with every track open, since catching
    // up may write entries and so allocate pages. A table that cannot catch
    // up (no page for an entry) still opens; it ends where it could.
    try {
        _recordingTable->resumeFromTimeline();
    } catch (const VarnelException& e) {
        if (e.code() != VarnelException::NotEnoughSpace) {
            throw;
        }
        traceException(e);
    }
    notifyUsage();
}

void Storage::closeHandles() {
    _reader = nullptr;
    _readerHandle.reset();
    _writer.reset();
}

void Storage::failOpen() {
    _closed = true;
    dropPendingPages();
    try {
        closeTracks(false);
    } catch (const Exception& e) {
        traceException(e);
    }
    try {
        freePageAllocator().close();
        transactionHandler().close();
    } catch (const Exception& e) {
        traceException(e);
    }
    _pageCache->clear();
    _superBlock->clear();
    closeHandles();
}

std::uint64_t Storage::timelineNextItemID() {
    std::uint64_t next = _superBlock->firstItemID() == 0 ? 1 : _superBlock->firstItemID();
    TrackIterator timeline(*this, PageType::Timeline);
    if (timeline.last()) {
        TimelineElement element;
        timeline.read(element);
        next = element.mediaID() + 1;
    }
    // Frames that the timeline did not index still hold their IDs in the
    // media track: numbering never hands one of them out again.
    if (const std::optional<TrackListItem> media = findTrack(PageType::Media)) {
        Page header(_superBlock.get(), _pageCache.get());
        header.loadHeader(media->lastPage(), true);
        if (header.type() == PageType::Media && header.checksum() == media->lastPageChecksum() &&
            header.itemCount() > 0 && header.lastItemID() >= next) {
            next = header.lastItemID() + 1;
        }
    }
    return next;
}

bool Storage::correctAtOpen(int mode, std::uint64_t& nextItemID) {
    StorageInformation::dump(*this);
    if (!isReadOnly()) {
        // Files of older engines are brought to the current layout first.
        migrateStorage(*this);
    }
    return StorageCorrector::correctAtOpen(*this, mode, nextItemID);
}

namespace {
// The repair opens the storage itself; that open must not repair again.
thread_local int repairDepth = 0;
} // namespace

bool Storage::open(const std::string& path, bool exclusive, int correctionMode) {
    _repairReport.clear();
    _correctionFailed = false;
    _openedWritable = false;
    bool opened = false;
    std::string failure;
    try {
        opened = openOnce(path, exclusive, correctionMode);
    } catch (const VarnelException& e) {
        if (e.code() != VarnelException::StorageCorrupted || !_openedWritable || correctionMode == CheckOnly ||
            repairDepth > 0) {
            throw;
        }
        failure = e.toString();
    }
    if (opened || (!_correctionFailed && failure.empty()) || !_openedWritable || correctionMode == CheckOnly ||
        repairDepth > 0) {
        return opened;
    }
    std::vector<std::string> lines;
    if (!repairAfterFailedOpen(path, lines)) {
        if (!failure.empty()) {
            throw VarnelException(VarnelException::StorageCorrupted, "cannot be repaired: " + failure);
        }
        return false;
    }
    if (!openOnce(path, exclusive, correctionMode)) {
        return false;
    }
    for (const std::string& line : lines) {
        log("[REPAIR] " + line, 0, false);
    }
    log("[REPAIR] done", 0, true);
    _repairReport = std::move(lines);
    return true;
}

bool Storage::repairAfterFailedOpen(const std::string& path, std::vector<std::string>& lines) {
    ++repairDepth;
    struct Leave {
        ~Leave() { --repairDepth; }
    } leave;
    try {
        std::unique_ptr<IStorageFile> file = openHandle(path, false);
        if (!file || !file->isWritable()) {
            return false;
        }
        StorageRepairer repairer(*file);
        const bool repaired = repairer.run();
        lines = repairer.actions();
        for (const StorageRepairer::LostRange& range : repairer.lost()) {
            lines.push_back("lost " + range.toString());
        }
        if (!repaired) {
            trace("Storage::open: %s cannot be repaired: %s\n", path.c_str(), repairer.problem().c_str());
        }
        return repaired && repairer.hadFindings();
    } catch (const Exception& e) {
        traceException(e);
        return false;
    }
}

bool Storage::openOnce(const std::string& path, bool exclusive, int correctionMode) {
    close(true);
    Mutex::ScopedLock lock(_writeMutex);
    _groupFailure = nullptr;
    _path = path;
    std::unique_ptr<IStorageFile> writer;
    try {
        writer = openHandle(path, false);
    } catch (const SystemException& e) {
        traceException(e);
    }
    if (exclusive) {
        if (!writer) {
            return false;
        }
        _writer = std::move(writer);
        _reader = _writer.get();
        _openedWritable = _writer->isWritable();
    } else {
        std::unique_ptr<IStorageFile> reader;
        try {
            reader = openHandle(path, true);
        } catch (const SystemException& e) {
            traceException(e);
        }
        if (!reader && !writer) {
            return false;
        }
        _openedWritable = writer && writer->isWritable();
        _writer = std::move(writer);
        _readerHandle = std::move(reader);
        _reader = _readerHandle ? _readerHandle.get() : _writer.get();
    }
    // A repair that a crash interrupted is finished before anything reads
    // the file. One that cannot be finished keeps the storage closed, with
    // the reason: the file is not unformatted, it is half repaired.
    bool finishedRepair = false;
    if (_writer != nullptr && _writer->isWritable()) {
        const std::string journal = RepairJournal::pathFor(*_writer);
        try {
            finishedRepair = RepairJournal(journal).replay(*_writer);
        } catch (const Exception& e) {
            traceException(e);
            failOpen();
            throw VarnelException(VarnelException::InvalidStorage,
                                  "an interrupted repair could not be finished from " + journal + ": " + e.messageText());
        }
    }
    try {
        try {
            _superBlock->load(_reader, _writer.get(), baseOffset(), ioMinBlockSize());
        } catch (const VarnelException& e) {
            if (e.code() != VarnelException::StorageCorrupted) {
                throw;
            }
            // A superblock whose geometry cannot be right for the file holds
            // no usable storage; the files stay open so that a format can
            // make it one again.
            traceException(e);
            _superBlock->clear();
            return false;
        }
        if (!_superBlock->isValid()) {
            return false;
        }
        refillMirror();
        _pageCache->setSuperBlock(_superBlock.get());
        _pageCache->setMonitor(this);
        freePageAllocator().open(*this);
        transactionHandler().init(*this);
        log(textOf("[OPEN] %s time_stamp_basis = %u", path.c_str(), _superBlock->timeStampBasis()), 2, false);
        std::uint64_t next = 1;
        if (!correctAtOpen(correctionMode, next)) {
            _correctionFailed = true;
            log("[OPEN FAIL] corrupted", 0, true);
            dropPendingPages();
            closeTracks(false);
            freePageAllocator().close();
            transactionHandler().close();
            _pageCache->clear();
            _superBlock->clear();
            refillMirror();
            return false;
        }
        _nextItemID = next;
        loadTracks();
        // Whatever the open found is on disk.
        _durableMediaID = next - 1;
    } catch (const Exception& e) {
        traceException(e);
        failOpen();
        throw;
    } catch (...) {
        failOpen();
        throw;
    }
    _closed = false;
    _clock.stop();
    runTimeStampStep();
    if (finishedRepair) {
        log("[REPAIR] an interrupted repair was finished", 0, true);
    }
    return true;
}

bool Storage::close(bool flush) {
    Mutex::ScopedLock lock(_writeMutex);
    if (_reader == nullptr) {
        return true;
    }
    bool ok = true;
    bool doFlush = flush && _superBlock->isValid() && !isReadOnly() && !_closed;
    if (doFlush) {
        log(textOf("[%s, CLOSE] flush = %s", _path.c_str(), "true"), 2, true);
        try {
            this->flush();
        } catch (const Exception& e) {
            traceException(e);
            doFlush = false;
            ok = false;
        }
    }
    // Pages still waiting (a close without flushing, or a failed flush) stay
    // free on disk, as any page that was never saved.
    dropPendingPages();
    _groupFailure = nullptr;
    try {
        ok = closeTracks(doFlush) && ok;
    } catch (const Exception& e) {
        traceException(e);
        ok = false;
    }
    try {
        freePageAllocator().close();
        transactionHandler().close();
    } catch (const Exception& e) {
        traceException(e);
        ok = false;
    }
    _pageCache->clear();
    _superBlock->clear();
    _closed = true;
    _clock.stop();
    closeHandles();
    return ok;
}

void Storage::format(const StorageFormatOptions& options) {
    Mutex::ScopedLock lock(_writeMutex);
    notifyFormatting(true);
    try {
        if (_reader == nullptr || _writer == nullptr) {
            throw VarnelException(VarnelException::InvalidStorage, "format of " + _path + " without a writable file");
        }
        // A repair left unfinished describes what the format replaces.
        try {
            RepairJournal(RepairJournal::pathFor(*_writer)).discard();
        } catch (const Exception& e) {
            // Harmless where it stays: it names the old storage ID.
            traceException(e);
        }
        // Whatever an earlier open held goes first: every page gets a new identity.
        dropPendingPages();
        _groupFailure = nullptr;
        closeTracks(false);
        freePageAllocator().close();
        transactionHandler().close();
        _pageCache->clear();
        _closed = true;
        bool wasValid = false;
        try {
            _superBlock->load(_reader, _writer.get(), baseOffset(), ioMinBlockSize());
            wasValid = _superBlock->isValid();
        } catch (const VarnelException& e) {
            // A storage whose geometry is damaged is still a storage this
            // object may have numbered; it is formatted like any other.
            if (e.code() != VarnelException::StorageCorrupted) {
                throw;
            }
            wasValid = true;
        }
        const std::uint64_t firstItemID = wasValid ? _nextItemID.load() : 1;
        if (!SuperBlock::isValidPageSize(options.pageSize) || options.pageSize % ioMinBlockSize() != 0) {
            throw VarnelException(VarnelException::InvalidStorage,
                                  "page size " + std::to_string(options.pageSize) +
                                      " is not a multiple of 4096 and of the sector size " +
                                      std::to_string(ioMinBlockSize()));
        }
        const std::uint32_t pages = SuperBlock::pageCountFor(fileSize(), options.pageSize);
        if (pages < 3) {
            throw VarnelException(VarnelException::NotEnoughSpace,
                                  "a file of " + std::to_string(fileSize()) + " bytes holds " +
                                      std::to_string(pages) + " pages of " + std::to_string(options.pageSize) +
                                      " bytes; a storage needs at least 3 (free-page list, journal, data)");
        }
        _superBlock->setFiles(_reader, _writer.get(), baseOffset(), ioMinBlockSize());
        _superBlock->format(options, pages, firstItemID, clockSource());
        _timeStamp = 0;
        _clock.stop();
        _pageCache->setSuperBlock(_superBlock.get());
        _pageCache->setMonitor(this);
        freePageAllocator().format(*this);
        transactionHandler().init(*this);
        refillMirror();
        _superBlock->save();
        {
            Mutex::ScopedLock logLock(_logMutex);
            _logTrack->close(false);
        }
        log(textOf("[FORMAT-%s] id: %s, page_size: %u, desc: %s", options.recorderType.toString().c_str(),
                   options.repositoryID.toString().c_str(), options.pageSize,
                   _superBlock->description().c_str()),
            2, true);
        if (!options.infoEntries.empty()) {
            _infoTrack->close(false);
            const std::optional<TrackListItem> entry = findTrack(PageType::Info);
            _infoTrack->init(*this, true, entry ? entry->lastPage() : 0);
            for (const auto& [key, value] : options.infoEntries) {
                writeInfo(key, value, false);
            }
            _infoTrack->flush();
        }
        closeTracks(false);
        _nextItemID = firstItemID;
        _durableMediaID = firstItemID - 1;
        loadTracks();
        _closed = false;
        runTimeStampStep();
    } catch (...) {
        _closed = true;
        try {
            closeTracks(false);
        } catch (const Exception& e) {
            traceException(e);
        }
        _superBlock->clear();
        refillMirror();
        notifyFormatting(false);
        throw;
    }
    notifyFormatting(false);
}

// ---------------------------------------------------------------- pages

std::uint32_t Storage::allocatePage(const PageType& type) {
    Mutex::ScopedLock lock(_writeMutex);
    IFreePageAllocator& allocator = freePageAllocator();
    if (allocator.freePageCount() == 0 && !_inOverwrite) {
        _inOverwrite = true;
        try {
            overwriteOldest();
        } catch (...) {
            _inOverwrite = false;
            throw;
        }
        _inOverwrite = false;
    }
    const std::uint32_t number = allocator.extract();
    if (number == 0) {
        throw VarnelException(VarnelException::NotEnoughSpace,
                              "no free page for a " + type.toString() + " page in " + _path +
                                  ", even after overwriting the oldest data");
    }
    notifyUsage();
    return number;
}

void Storage::savePage(Page& page, bool filled) {
    if (isReadOnly()) {
        return;
    }
    throwGroupFailure();
    recordTimeStamp();
    const PageType type = page.type();
    if (type == PageType::Timeline) {
        _recordingTable->flush();
        _preEventTrack->timelinePageSaved(page.lastItemID());
        _textInTrack->flush();
    }
    bool inTransaction = false;
    try {
        if (type == PageType::PreEvent) {
            page.saveDirty();
            return;
        }
        if (freePageAllocator().isListed(page.pageNumber())) {
            inTransaction = true;
            if (type == PageType::Media && _groupCommit != nullptr && _groupCommit->accepts(page)) {
                if (!filled) {
                    // A flush: the page being filled rides along with the group.
                    commitGroup(&page);
                    return;
                }
                _groupCommit->add(page, clockSource().tickCount());
                if (_groupCommit->isFull()) {
                    commitGroup(nullptr);
                } else if (_groupCommit->options().timer) {
                    if (!_groupTimer) {
                        _groupTimer = std::make_unique<GroupCommitTimer>(*this);
                    }
                    _groupTimer->arm();
                }
                return;
            }
            if (type == PageType::Media) {
                saveTableBeforeFrames();
            }
            // The transaction commits the waiting group first.
            PageFlushTransaction(*this, page).run();
        } else {
            if (type == PageType::Media) {
                saveTableBeforeFrames();
            }
            page.saveDirty();
        }
        if (type == PageType::Media) {
            // A page saved on its own is the newest of its track on disk:
            // every page before it was committed already.
            raiseDurableMediaID(GroupCommit::durableThrough(page));
        }
    } catch (const Exception&) {
        if (!onSaveFailure(page, inTransaction)) {
            throw;
        }
    }
}

bool Storage::onSaveFailure(Page&, bool) { return false; }

// ---------------------------------------------------------------- group commit

void Storage::raiseDurableMediaID(std::uint64_t id) {
    std::uint64_t durable = _durableMediaID;
    while (id > durable && !_durableMediaID.compare_exchange_weak(durable, id)) {
    }
}

void Storage::throwGroupFailure() {
    if (_groupFailure) {
        std::rethrow_exception(_groupFailure);
    }
}

void Storage::saveTableBeforeFrames() {
    // A member the recording switched to continues the group's sections: the
    // number of its section is kept nowhere but in its table's entries. Were
    // its frames (and the timeline recovery rebuilds from them) on disk
    // before any entry, a power loss would leave a table rebuilt in section 1,
    // below the sections of the members recorded before it. (An overwrite
    // that drops every entry of the table leaves the same.) So while the
    // table has no page on disk, its entries, and the timeline elements they
    // name (recovery drops a table without a timeline), go to disk before
    // the frames; recovery cuts both back to the frames on disk. The group
    // keeps waiting meanwhile: its pages are free on disk until it commits,
    // so the transactions of the timeline and the table may come first.
    // (The track list of the superblock, unlike its mirror, names only
    // pages on disk.)
    TrackListItem onDisk;
    if (_savingTableFirst || _inOverwrite || isReadOnly() ||
        _superBlock->findTrack(PageType::RecordingTable, onDisk) >= 0 || _recordingTable->lastSectionID() <= 1) {
        return;
    }
    const Page* table = _recordingTable->currentPage();
    if (table == nullptr || !table->isLoaded() || table->itemCount() == 0) {
        return;
    }
    _savingTableFirst = true;
    try {
        _timeline->flush();
        _recordingTable->flush();
    } catch (...) {
        _savingTableFirst = false;
        throw;
    }
    _savingTableFirst = false;
}

void Storage::commitGroup(Page* current) {
    saveTableBeforeFrames();
    try {
        raiseDurableMediaID(_groupCommit->commit(current));
    } catch (...) {
        // The pages of the failed group stay in the tracks in memory but not
        // on disk: building on them would commit later pages over a hole.
        // Nothing more is written until the storage is opened again, whose
        // recovery settles what the commit left.
        _groupFailure = std::current_exception();
        throw;
    }
}

void Storage::commitPendingPages() {
    if (_groupCommit == nullptr) {
        return;
    }
    Mutex::ScopedLock lock(_writeMutex);
    throwGroupFailure();
    // (An overwrite reads the oldest pages from the file: it always has the
    // group committed.)
    if (!_groupCommit->isEmpty() && (!_savingTableFirst || _inOverwrite)) {
        commitGroup(nullptr);
    }
}

void Storage::commitPendingPagesWhenDue() {
    if (_groupCommit != nullptr && !_groupCommit->isEmpty() &&
        static_cast<std::int32_t>(_groupCommit->dueTick() - clockSource().tickCount()) <= 0) {
        commitGroup(nullptr);
    }
}

int Storage::commitDuePages(bool wait) {
    // How soon to look again when a writer holds the storage.
    constexpr int BusyRetryMilliseconds = 5;
    if (_groupCommit == nullptr) {
        return -1;
    }
    if (wait) {
        _writeMutex.lock();
    } else if (!_writeMutex.tryLock()) {
        return BusyRetryMilliseconds;
    }
    struct Unlock {
        Mutex& mutex;
        ~Unlock() { mutex.unlock(); }
    } unlock{_writeMutex};
    if (_groupCommit->isEmpty() || _closed) {
        return -1;
    }
    const auto remaining = static_cast<std::int32_t>(_groupCommit->dueTick() - clockSource().tickCount());
    if (remaining > 0) {
        return remaining;
    }
    try {
        commitGroup(nullptr);
    } catch (...) {
        if (wait) {
            throw;
        }
        // Kept: the writer learns it at its next write.
    }
    return -1;
}

void Storage::setGroupCommitOptions(const GroupCommitOptions& options) {
    Mutex::ScopedLock lock(_writeMutex);
    if (_groupCommit == nullptr) {
        return;
    }
    _groupCommit->setOptions(options);
    if (!options.timer && _groupTimer) {
        _groupTimer->stop();
    }
}

GroupCommitOptions Storage::groupCommitOptions() const {
    Mutex::ScopedLock lock(_writeMutex);
    return _groupCommit != nullptr ? _groupCommit->options() : GroupCommitOptions{};
}

void Storage::dropPendingPages() {
    if (_groupTimer) {
        _groupTimer->stop();
    }
    if (_groupCommit != nullptr) {
        _groupCommit->discard();
    }
}

std::uint64_t Storage::secondMediaPageFirstID() {
    const std::optional<TrackListItem> entry = findTrack(PageType::Media);
    if (!entry) {
        return 0;
    }
    const Page* current = _mediaTrack->currentPage();
    Page header(_superBlock.get(), _pageCache.get());
    try {
        header.loadHeader(entry->firstPage(), false);
        if (!(header.type() == PageType::Media) || header.checksum() != entry->firstPageChecksum()) {
            return 0;
        }
        std::uint32_t number = header.next();
        std::uint32_t checksum = header.nextChecksum();
        for (std::uint32_t steps = 0; number != 0 && steps < _superBlock->pageCount(); ++steps) {
            if (current != nullptr && current->pageNumber() == number) {
                return current->checksum() == checksum && current->itemCount() > 0 ? current->firstItemID() : 0;
            }
            header.loadHeader(number, false);
            if (!(header.type() == PageType::Media) || header.checksum() != checksum) {
                return 0;
            }
            if (header.itemCount() > 0) {
                return header.firstItemID();
            }
            number = header.next();
            checksum = header.nextChecksum();
        }
    } catch (const Exception& e) {
        traceException(e);
    }
    return 0;
}

void Storage::overwriteOldest() {
    Mutex::ScopedLock lock(_writeMutex);
    // The overwrite reads the oldest pages from the file and frees pages in
    // transactions: every filled page is committed first, and the page being
    // filled with them. Dropping the timeline's first page saves the page
    // after it, whose elements may name frames of that page: were the
    // elements on disk and not their frames, while every frame before them
    // is freed, recovery would find a timeline naming nothing it could cut
    // back to.
    if (_groupCommit != nullptr && !isReadOnly()) {
        _mediaTrack->flush();
    }
    commitPendingPages();
    const std::uint32_t started = _clock.source().tickCount();
    const std::uint64_t freeBefore = freePageCount();
    if (!_timeline->isEmpty()) {
        std::uint64_t before = 0;
        if (!_timeline->hasSinglePage()) {
            _timeline->dropFirstPage();
            before = _timeline->firstMediaID();
        } else {
            // A one-page timeline is trimmed, never freed under its writer: up
            // to the first frame of the media track's second page, so that at
            // least the media track's first page goes.
            before = secondMediaPageFirstID();
            if (before != 0) {
                _timeline->overwrite(before);
            }
        }
        if (before != 0) {
            overwriteBefore(before);
        }
    } else {
        clearAll();
    }
    freePageAllocator().settle();
    settleQuarantine();
    trace("OVERWRITE: %u pages removed (%u msec)\n", static_cast<unsigned>(freePageCount() - freeBefore),
          _clock.source().tickCount() - started);
}

void Storage::overwriteBefore(std::uint64_t before) {
    _mediaTrack->overwrite(before);
    _preEventTrack->overwrite(before);
    // A damaged page the media track just stepped over took frames after
    // `before` with it.
    _lostBefore = 0;
    for (const Quarantined& page : _quarantined) {
        if (hasLeft(page)) {
            _lostBefore = std::max(_lostBefore, page.lostBefore);
        }
    }
    if (_lostBefore > before) {
        // A damaged page took frames after `before` with it: what indexes
        // them goes too.
        before = _lostBefore;
        _timeline->overwrite(before);
        _mediaTrack->overwrite(before);
        _preEventTrack->overwrite(before);
    }
    _recordingTable->overwrite(before);
    _eventTrack->overwrite(before);
    _textInTrack->overwrite(before);
}

void Storage::clearAll() {
    _timeline->clear();
    _recordingTable->clear();
    _mediaTrack->clear();
    _preEventTrack->clear();
    _eventTrack->clear();
    _textInTrack->clear();
}

// ---------------------------------------------------------------- writing

PagePosition Storage::writeMedia(MediaElement& frame) {
    Mutex::ScopedLock lock(_writeMutex);
    throwGroupFailure();
    frame.setMediaID(_nextItemID++);
    const PagePosition position = _mediaTrack->write(frame);
    commitPendingPagesWhenDue();
    return position;
}

PagePosition Storage::writePreEvent(MediaElement& frame) {
    Mutex::ScopedLock lock(_writeMutex);
    throwGroupFailure();
    frame.setMediaID(_nextItemID++);
    const PagePosition position = _preEventTrack->write(frame);
    commitPendingPagesWhenDue();
    return position;
}

PagePosition Storage::writeTextIn(TextInElement& element) {
    Mutex::ScopedLock lock(_writeMutex);
    throwGroupFailure();
    element.setMediaID(_nextItemID++);
    element.setAttribute(lastSectionID());
    const PagePosition position = _textInTrack->writeRecord(element);
    commitPendingPagesWhenDue();
    return position;
}

PagePosition Storage::writeTimeline(const MediaElement& frame, const PagePosition& position, bool updateSections) {
    Mutex::ScopedLock lock(_writeMutex);
    TimelineElement element = TimelineElement::indexing(frame, position);
    const PagePosition result = _timeline->write(element);
    if (!result.isNull() && updateSections) {
        _recordingTable->update(element, result);
    }
    checkTimeChange();
    return result;
}

PagePosition Storage::writeTimeline(const MediaElement& frame, const PagePosition& position) {
    return writeTimeline(frame, position, frame.mediaType() == TimelineLinkedElement::Video);
}

PagePosition Storage::writeTimeline(const TextInElement& element, const PagePosition& position,
                                    bool updateSections) {
    Mutex::ScopedLock lock(_writeMutex);
    // A text-in record is always indexed as one, whatever its type field says.
    TimelineElement entry = TimelineElement::indexing(element, position);
    entry.setMediaType(TimelineLinkedElement::TextIn);
    const PagePosition result = _timeline->write(entry);
    if (!result.isNull() && updateSections) {
        _recordingTable->update(entry, result);
    }
    checkTimeChange();
    return result;
}

bool Storage::hasSpaceFor(const PageType& type, const IRecordable& item) const {
    std::uint64_t needed = _timeline->fits(item) ? 0 : 1;
    const auto* linked = dynamic_cast<const TimelineLinkedElement*>(&item);
    if (linked != nullptr && linked->mediaType() == TimelineLinkedElement::Video && !_recordingTable->fits(item)) {
        ++needed;
    }
    const Track* track = nullptr;
    if (type == PageType::Media) {
        track = _mediaTrack.get();
    } else if (type == PageType::PreEvent) {
        track = _preEventTrack.get();
    } else if (type == PageType::TextIn) {
        track = _textInTrack.get();
    }
    if (track != nullptr && !track->fits(item)) {
        ++needed;
    }
    return freePageCount() >= needed;
}

bool Storage::hasSpaceFor(const MediaElement& frame) const {
    std::uint64_t needed = 0;
    needed += _timeline->fits(frame) ? 0 : 1;
    needed += _recordingTable->fits(frame) ? 0 : 1;
    needed += _mediaTrack->fits(frame) ? 0 : 1;
    return freePageCount() >= needed;
}

PagePosition Storage::writeEvent(EventElement& event, bool flush) {
    Mutex::ScopedLock lock(_writeMutex);
    throwGroupFailure();
    event.setSectionID(lastSectionID());
    const PagePosition position = _eventTrack->write(event);
    if (flush) {
        _eventTrack->flush();
    }
    return position;
}

bool Storage::writeInfo(const std::string& key, const std::string& value, bool flush) {
    Mutex::ScopedLock lock(_writeMutex);
    throwGroupFailure();
    if (!hasTrack(PageType::Info) && !_infoTrack->currentPage() && freePageCount() == 0) {
        trace("CAN'T WRITE INFO: there is no page to write.\n");
        return false;
    }
    _infoTrack->put(key, value);
    if (flush) {
        _infoTrack->flush();
    }
    return true;
}

bool Storage::readInfo(const std::string& key, std::string& value) const { return _infoTrack->get(key, value); }

void Storage::allInfo(std::map<std::string, std::string>& out) const { out = _infoTrack->all(); }

void Storage::flushTracks() {
    Mutex::ScopedLock lock(_writeMutex);
    if (isReadOnly() || !isValid()) {
        return;
    }
    throwGroupFailure();
    _infoTrack->flush();
    // The page being filled commits with the waiting group; the group
    // commits on its own when that page has nothing new.
    _mediaTrack->flush();
    commitPendingPages();
    _timeline->flush();
    _recordingTable->flush();
    _preEventTrack->flush();
    _eventTrack->flush();
    _textInTrack->flush();
    recordTimeStamp();
    _superBlock->saveHeader();
    raiseDurableMediaID(lastIssuedItemID());
}

void Storage::flush() {
    Mutex::ScopedLock lock(_writeMutex);
    if (isReadOnly() || !isValid()) {
        return;
    }
    try {
        _recordingTable->flushPending();
    } catch (const VarnelException& e) {
        // A storage without a page for the table's last entry still saves
        // everything else; the table then ends at its previous entry.
        if (e.code() != VarnelException::NotEnoughSpace) {
            throw;
        }
        traceException(e);
    }
    flushTracks();
    checkTimeChange();
}

void Storage::setNextSectionID(std::uint32_t sectionID) {
    Mutex::ScopedLock lock(_writeMutex);
    _recordingTable->setNextSectionID(sectionID);
}

void Storage::truncateAfter(std::uint32_t sectionID, std::uint64_t mediaID) {
    Mutex::ScopedLock lock(_writeMutex);
    // The cut walks the chains back from their last pages and frees pages in
    // transactions: every filled page is committed first.
    commitPendingPages();
    log(textOf("[TRUNCATE_AFTER] section= %u id= %llu", sectionID, static_cast<unsigned long long>(mediaID)), 2,
        true);
    // The first frame after the cut, found from the media track itself, so
    // that frames the timeline did not index are cut as well.
    const PagePosition position = _mediaTrack->positionAfter(mediaID);
    _timeline->truncateAfter(mediaID);
    _recordingTable->rollback(sectionID, mediaID);
    _textInTrack->truncateAfter(mediaID);
    _eventTrack->truncateAfter(mediaID);
    if (!position.isNull()) {
        _mediaTrack->truncateAfter(position);
    }
    flushTracks();
    _nextItemID = mediaID + 1;
    _durableMediaID = mediaID;
}

void Storage::recordingSectionChanged(std::uint32_t sectionID) {
    log(textOf("Storage::recordingSectionChanged(): %u", sectionID), 2, true);
    _mediaTrack->flush();
    commitPendingPages();
    _timeline->flush();
    notifySectionChanged(sectionID);
}

void Storage::quarantinePage(std::uint32_t number, const PageType& type, std::uint32_t successor,
                             std::uint64_t lostBefore) {
    for (const Quarantined& page : _quarantined) {
        if (page.page == number) {
            return;
        }
    }
    _quarantined.push_back(Quarantined{number, type, successor, lostBefore});
}

std::uint32_t Storage::pageLinkingBackTo(const PageType& type, std::uint32_t damaged) {
    const std::optional<TrackListItem> entry = findTrack(type);
    if (!entry) {
        return 0;
    }
    Page page(_superBlock.get(), _pageCache.get());
    std::uint32_t number = entry->lastPage();
    for (std::uint32_t steps = 0; number != 0 && steps <= _superBlock->pageCount(); ++steps) {
        if (!_superBlock->isValidPageNumber(number) || number == damaged) {
            return 0;
        }
        try {
            page.loadHeader(number, false);
        } catch (const Exception&) {
            return 0;
        }
        if (!(page.type() == type)) {
            return 0;
        }
        if (page.previous() == damaged) {
            return number;
        }
        number = page.previous();
    }
    return 0;
}

bool Storage::hasLeft(const Quarantined& page) {
    if (!(page.type == PageType::Media)) {
        return true;  // The other tracks step over it as they trim.
    }
    const std::optional<TrackListItem> entry = findTrack(PageType::Media);
    if (!entry || entry->firstPage() == page.successor) {
        return true;
    }
    Page first(_superBlock.get(), _pageCache.get());
    try {
        first.loadHeader(entry->firstPage(), false);
    } catch (const Exception&) {
        return false;
    }
    return page.lostBefore != 0 && first.itemCount() > 0 && first.firstItemID() >= page.lostBefore;
}

void Storage::settleQuarantine() {
    std::vector<Quarantined> pending;
    for (const Quarantined& page : _quarantined) {
        if (!hasLeft(page)) {
            pending.push_back(page);
            continue;
        }
        const std::string lost = page.lostBefore != 0
                                     ? "what it held before media ID " + std::to_string(page.lostBefore) + " is lost"
                                     : "what it held is lost";
        bool listed = false;
        try {
            listed = _badTrack->add(page.page);
        } catch (const Exception& e) {
            traceException(e);
        }
        const std::string report = textOf("%s page %u damaged, taken out of use%s: %s", page.type.toString().c_str(),
                                          page.page, listed ? "" : " (the bad-page track is full)", lost.c_str());
        log("[QUARANTINE] " + report, 1, true);
        notifyDamageFound(report);
    }
    _quarantined.swap(pending);
}

bool Storage::addBadPage(std::uint32_t number) {
    Mutex::ScopedLock lock(_writeMutex);
    return _badTrack->add(number);
}

// ---------------------------------------------------------------- queries

bool Storage::recordingInterval(Interval& out) const {
    return _recordingTable->isOpen() && _recordingTable->recordingInterval(out);
}

void Storage::recordingTimeTable(BitMask32 mask, const Interval& interval, std::vector<RecordingRun>& out) const {
    if (_recordingTable->isOpen()) {
        _recordingTable->recordingTimeTable(mask, interval, out);
    }
}

std::uint32_t Storage::firstSectionID() const { return _recordingTable->firstSectionID(); }

std::uint32_t Storage::lastSectionID() const { return _recordingTable->lastSectionID(); }

std::uint64_t Storage::lastTimelineMediaID() const {
    if (!isValid()) {
        return 0;
    }
    TrackIterator timeline(const_cast<Storage&>(*this), PageType::Timeline);
    if (!timeline.last()) {
        return 0;
    }
    TimelineElement element;
    timeline.read(element);
    return element.mediaID();
}

std::vector<LogMessage> Storage::readLog() const {
    const std::optional<TrackListItem> entry = findTrack(PageType::Log);
    if (!entry || !isValid()) {
        return {};
    }
    CircularPage page(_superBlock.get(), _pageCache.get());
    page.loadVerified(entry->lastPage(), PageType::Log, entry->lastPageChecksum(), true);
    return LogTrack::readMessages(page);
}

} // namespace ostrel
