#include "storage/StorageGroup.h"

#include "base/Trace.h"
#include "storage/IOverwritePreparer.h"
#include "storage/IStorageGroupListener.h"
#include "storage/MediaElement.h"
#include "storage/EventElement.h"
#include "storage/TextInElement.h"
#include "storage/Timeline.h"
#include "storage/VarnelException.h"
#include "storage/aio/IStorageFile.h"

#include <algorithm>

namespace ostrel {
namespace {

const std::string NoPath;

const char* pathOf(const Storage* storage) { return storage ? storage->path().c_str() : "NULL"; }

} // namespace

StorageGroup::StorageGroup(const RecorderType& type) : _recorderType(type) {}

StorageGroup::~StorageGroup() {
    for (Storage* member : members()) {
        member->removeListener(this);
    }
    // Owned members close themselves as they go.
}

// ---------------------------------------------------------------- membership

void StorageGroup::addStorage(std::unique_ptr<Storage> storage) {
    if (!storage) {
        return;
    }
    Storage& member = *storage;
    {
        Mutex::ScopedLock lock(_groupMutex);
        _owned.push_back(std::move(storage));
    }
    addStorage(member);
}

void StorageGroup::addStorage(Storage& storage) {
    storage.addListener(this);
    if (!storage.repairReport().empty()) {
        // Its open met damage and repaired it: the group's listeners hear of
        // it as of damage met while recording.
        std::string report = "repaired at its open";
        for (const std::string& line : storage.repairReport()) {
            report += "; " + line;
        }
        notifyDamaged(storage, report);
    }
    Mutex::ScopedLock lock(_groupMutex);
    if (!storage.hasTrack(PageType::Timeline)) {
        const auto place = std::find_if(_empty.begin(), _empty.end(),
                                        [&storage](const Storage* other) { return other->path() > storage.path(); });
        _empty.insert(place, &storage);
        trace("[%s] Storage Add to EmptyStorage\n", storage.path().c_str());
    } else {
        _record.push_back(&storage);
        trace("[%s] Storage Add to Storages\n", storage.path().c_str());
    }
}

void StorageGroup::selectRecordingStorage(const UniqueID& groupID, std::uint32_t lastSection) {
    Storage* last = lastStorage("Record");
    {
        Mutex::ScopedLock lock(_groupMutex);
        _previous = nullptr;
        if (last != nullptr) {
            _current = last;
        } else if (!_empty.empty()) {
            Storage* next = _empty.front();
            _empty.erase(_empty.begin());
            _record.push_back(next);
            _current = next;
            trace("Next Empty Storage = %s\n", next->path().c_str());
        } else {
            _current = nullptr;
        }
        trace("Recording Storage : _current : %s\n", pathOf(_current.load()));
    }
    Storage* current = _current;
    if (current != nullptr && lastSection != 0 && !(current->storageID() == groupID)) {
        trace("(%s) updateRecordingSectionID current = %d, last = %d\n", current->path().c_str(),
              static_cast<int>(current->lastSectionID()), static_cast<int>(lastSection));
        current->setNextSectionID(lastSection + 2);
    }
    // Recording continues in the newest section of the group: a recording
    // member whose section another member already holds (its table lost the
    // entries of its own) goes on in a section above them all.
    if (current != nullptr) {
        std::uint32_t newest = 0;
        for (const Storage* member : recordStorages()) {
            if (member != current && member->hasTrack(PageType::Timeline)) {
                newest = std::max(newest, member->lastSectionID());
            }
        }
        if (newest != 0 && current->lastSectionID() <= newest) {
            trace("(%s) section %u continues above section %u\n", current->path().c_str(), current->lastSectionID(),
                  newest);
            current->setNextSectionID(newest + 1);
        }
    }
    notifyUsage();
}

bool StorageGroup::close(bool flush) {
    std::vector<Storage*> all = members();
    bool ok = true;
    for (Storage* member : all) {
        member->removeListener(this);
        try {
            ok = member->close(flush) && ok;
        } catch (const Exception& e) {
            traceException(e);
            ok = false;
        }
    }
    std::vector<std::unique_ptr<Storage>> owned;
    {
        Mutex::ScopedLock lock(_groupMutex);
        _current = nullptr;
        _previous = nullptr;
        _empty.clear();
        _record.clear();
        owned.swap(_owned);
    }
    return ok;
}

bool StorageGroup::isOpen() const {
    Mutex::ScopedLock lock(_groupMutex);
    return !_record.empty();
}

void StorageGroup::addGroupListener(IStorageGroupListener* listener) {
    Mutex::ScopedLock lock(_groupListenerMutex);
    if (listener != nullptr &&
        std::find(_groupListeners.begin(), _groupListeners.end(), listener) == _groupListeners.end()) {
        _groupListeners.push_back(listener);
    }
}

void StorageGroup::removeGroupListener(IStorageGroupListener* listener) {
    Mutex::ScopedLock lock(_groupListenerMutex);
    _groupListeners.erase(std::remove(_groupListeners.begin(), _groupListeners.end(), listener),
                          _groupListeners.end());
}

std::vector<Storage*> StorageGroup::recordStorages() const {
    Mutex::ScopedLock lock(_groupMutex);
    return _record;
}

std::vector<Storage*> StorageGroup::emptyStorages() const {
    Mutex::ScopedLock lock(_groupMutex);
    return _empty;
}

std::vector<Storage*> StorageGroup::members() const {
    Mutex::ScopedLock lock(_groupMutex);
    std::vector<Storage*> all = _record;
    all.insert(all.end(), _empty.begin(), _empty.end());
    return all;
}

// The lookups copy the member list under the group's lock and ask the
// members outside it: a member may be holding its own locks while it tells
// the group about its usage.
Storage* StorageGroup::firstStorage(const char* purpose) const {
    const std::vector<Storage*> record = recordStorages();
    Storage* candidate = record.empty() ? nullptr : record.front();
    for (std::size_t i = 1; i < record.size(); ++i) {
        Storage* other = record[i];
        const std::uint32_t section = candidate->firstSectionID();
        if (section == 0) {
            candidate = other;
        } else {
            const std::uint32_t otherSection = other->firstSectionID();
            if (otherSection != 0 && otherSection < section) {
                candidate = other;
            }
        }
    }
    trace("[For %s] firstStorage[%s] \n", purpose, pathOf(candidate));
    return candidate;
}

Storage* StorageGroup::lastStorage(const char* purpose) const {
    const std::vector<Storage*> record = recordStorages();
    Storage* best = nullptr;
    std::uint32_t bestSection = 0;
    for (Storage* member : record) {
        if (!member->hasTrack(PageType::Timeline)) {
            continue;
        }
        // Equal sections (a member whose table lost the entry that began its
        // section answers the section it started with): the member holding
        // the newest media, since media IDs rise across the group.
        const std::uint32_t section = member->lastSectionID();
        if (section != 0 && (section > bestSection ||
                             (section == bestSection && member->lastIssuedItemID() > best->lastIssuedItemID()))) {
            best = member;
            bestSection = section;
        }
    }
    if (best == nullptr && !record.empty()) {
        best = record.front();
    }
    trace("[For %s] lastStorage[%s] \n", purpose, pathOf(best));
    return best;
}

// ---------------------------------------------------------------- switching

Storage& StorageGroup::requireCurrent() const {
    Storage* current = _current;
    if (current == nullptr) {
        throw VarnelException(VarnelException::InvalidStorage, "storage group without a storage to record into");
    }
    return *current;
}

Storage& StorageGroup::selectForWrite(const PageType& type, const IRecordable& item) {
    Storage& current = requireCurrent();
    if (current.hasSpaceFor(type, item)) {
        return current;
    }
    Storage* target = nullptr;
    {
        Mutex::ScopedLock lock(_groupMutex);
        if (_empty.empty()) {
            trace(" Current has not Enough Space, Storage Change  From First Recording Storage\n");
        } else {
            target = _empty.front();
            _empty.erase(_empty.begin());
            _record.push_back(target);
            trace(" Current has not Enough Space, Storage Change From Empty Storage\n");
        }
    }
    if (target == nullptr) {
        target = firstStorage("Record");
    }
    if (target != nullptr && target != &current) {
        changeRecordingStorage(*target);
    }
    return requireCurrent();
}

void StorageGroup::changeRecordingStorage(Storage& target) {
    std::vector<IStorageGroupListener*> listeners;
    {
        Mutex::ScopedLock lock(_groupListenerMutex);
        listeners = _groupListeners;
    }
    for (IStorageGroupListener* listener : listeners) {
        listener->recordingStorageChanging(*this);
    }
    Storage& old = requireCurrent();
    trace("------------- Change Recording Storage -----------\n");
    trace(" [%s] ---> [%s]\n", old.path().c_str(), target.path().c_str());
    trace("--------------------------------------------------\n");
    old.flushTracks();
    const std::uint32_t section = old.lastSectionID();
    const std::uint64_t lastID = old.lastIssuedItemID();
    const std::uint32_t stamp = old.timeStamp();
    {
        Mutex::ScopedLock lock(_groupMutex);
        _previous = &old;
        _current = &target;
    }
    if (target.lastSectionID() < section + 1) {
        // The continued recording starts on a fresh timeline page.
        Mutex::ScopedLock lock(target.writeMutex());
        target.timeline().appendPage(nullptr);
    }
    target.setNextSectionID(section + 1);
    target.raiseNextItemID(lastID + 1);
    target.setTimeStamp(stamp);
    for (IStorageGroupListener* listener : listeners) {
        listener->recordingStorageChanged(*this);
    }
}

Storage& StorageGroup::ownerOf(std::uint64_t mediaID) {
    Storage* previous = _previous;
    if (previous != nullptr && mediaID <= previous->lastIssuedItemID()) {
        return *previous;
    }
    return requireCurrent();
}

// ---------------------------------------------------------------- writing

PagePosition StorageGroup::writeMedia(MediaElement& frame) {
    return selectForWrite(PageType::Media, frame).writeMedia(frame);
}

PagePosition StorageGroup::writePreEvent(MediaElement& frame) {
    return selectForWrite(PageType::PreEvent, frame).writePreEvent(frame);
}

PagePosition StorageGroup::writeTextIn(TextInElement& element) {
    return selectForWrite(PageType::TextIn, element).writeTextIn(element);
}

PagePosition StorageGroup::writeTimeline(const MediaElement& frame, const PagePosition& position,
                                         bool updateSections) {
    return ownerOf(frame.mediaID()).writeTimeline(frame, position, updateSections);
}

PagePosition StorageGroup::writeTimeline(const TextInElement& element, const PagePosition& position,
                                         bool updateSections) {
    return ownerOf(element.mediaID()).writeTimeline(element, position, updateSections);
}

PagePosition StorageGroup::writeEvent(EventElement& event, bool flush) {
    return ownerOf(event.mediaID()).writeEvent(event, flush);
}

bool StorageGroup::hasSpaceFor(const MediaElement& frame) const {
    const Storage* current = _current;
    if (current != nullptr && current->hasSpaceFor(frame)) {
        return true;
    }
    if (!emptyStorages().empty()) {
        return true;
    }
    const std::uint32_t section = current ? current->lastSectionID() : 0;
    const std::vector<Storage*> record = recordStorages();
    return std::any_of(record.begin(), record.end(), [&](const Storage* member) {
        return member->hasSpaceFor(frame) && member->freePageCount() > 0 && member->lastSectionID() > section;
    });
}

bool StorageGroup::hasSpaceFor(const PageType& type, const IRecordable& item) const {
    const Storage* current = _current;
    if (current != nullptr && current->hasSpaceFor(type, item)) {
        return true;
    }
    if (!emptyStorages().empty()) {
        return true;
    }
    const std::vector<Storage*> record = recordStorages();
    return std::any_of(record.begin(), record.end(), [&](const Storage* member) {
        return member->hasSpaceFor(type, item) && member->freePageCount() > 0;
    });
}

bool StorageGroup::writeInfo(const std::string& key, const std::string& value, bool flush) {
    return requireCurrent().writeInfo(key, value, flush);
}

bool StorageGroup::readInfo(const std::string& key, std::string& value) const {
    const Storage* current = _current;
    return current != nullptr && current->readInfo(key, value);
}

void StorageGroup::allInfo(std::map<std::string, std::string>& out) const {
    out.clear();
    if (const Storage* current = _current) {
        current->allInfo(out);
    }
}

void StorageGroup::writeInfoToAll(const std::string& key, const std::string& value, bool flush) {
    for (Storage* member : members()) {
        member->writeInfo(key, value, flush);
    }
}

void StorageGroup::flushTracks() {
    if (Storage* current = _current) {
        current->flushTracks();
    }
}

void StorageGroup::flush() {
    for (Storage* member : members()) {
        member->flush();
    }
}

void StorageGroup::setNextSectionID(std::uint32_t sectionID) { requireCurrent().setNextSectionID(sectionID); }

void StorageGroup::truncateAfter(std::uint32_t sectionID, std::uint64_t mediaID) {
    requireCurrent().truncateAfter(sectionID, mediaID);
}

void StorageGroup::overwriteOldest() { requireCurrent().overwriteOldest(); }

// ---------------------------------------------------------------- queries

const std::string& StorageGroup::path() const {
    const Storage* current = _current;
    return current ? current->path() : NoPath;
}

void StorageGroup::log(const std::string& text, int level, bool flush) {
    if (Storage* current = _current) {
        current->log(text, level, flush);
    }
}

bool StorageGroup::isValid() const {
    const Storage* current = _current;
    return current != nullptr && current->isValid();
}

UniqueID StorageGroup::repositoryID() const {
    const Storage* current = _current;
    return current ? current->repositoryID() : UniqueID::nil();
}

UniqueID StorageGroup::storageID() const {
    const Storage* current = _current;
    return current ? current->storageID() : UniqueID::nil();
}

std::uint32_t StorageGroup::pageCount() const {
    std::uint64_t total = 0;
    for (const Storage* member : members()) {
        total += member->pageCount();
    }
    return total > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(total);
}

std::uint64_t StorageGroup::freePageCount() const {
    std::uint64_t total = 0;
    for (const Storage* member : members()) {
        total += member->freePageCount();
    }
    return total;
}

RecorderType StorageGroup::recorderType() const {
    const Storage* current = _current;
    if (!(_recorderType == RecorderType::Unset) || current == nullptr) {
        return _recorderType;
    }
    return current->recorderType();
}

std::uint64_t StorageGroup::capacity() const {
    std::uint64_t total = 0;
    for (const Storage* member : members()) {
        total += member->capacity();
    }
    return total;
}

std::uint64_t StorageGroup::fileBytes() const {
    std::uint64_t total = 0;
    for (const Storage* member : members()) {
        total += member->fileBytes();
    }
    return total;
}

std::uint64_t StorageGroup::fileSize() const { return fileBytes(); }

bool StorageGroup::recordingInterval(Interval& out) const {
    bool any = false;
    DateTime from;
    DateTime to;
    for (const Storage* member : recordStorages()) {
        Interval interval;
        if (!member->recordingInterval(interval)) {
            continue;
        }
        if (!any || interval.from() < from) {
            from = interval.from();
        }
        if (!any || interval.to() > to) {
            to = interval.to();
        }
        any = true;
    }
    if (any) {
        out = Interval(from, to);
    }
    return any;
}

void StorageGroup::recordingTimeTable(BitMask32 mask, const Interval& interval,
                                      std::vector<RecordingRun>& out) const {
    std::vector<Storage*> ordered = recordStorages();
    std::vector<std::uint32_t> sections;
    for (const Storage* member : ordered) {
        sections.push_back(member->lastSectionID());
    }
    std::vector<std::size_t> order(ordered.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    std::stable_sort(order.begin(), order.end(),
                     [&sections](std::size_t a, std::size_t b) { return sections[a] < sections[b]; });
    for (const std::size_t i : order) {
        ordered[i]->recordingTimeTable(mask, interval, out);
    }
}

std::uint32_t StorageGroup::firstSectionID() const {
    const Storage* first = firstStorage("Query");
    return first ? first->firstSectionID() : 0;
}

std::uint32_t StorageGroup::lastSectionID() const {
    const Storage* current = _current;
    return current ? current->lastSectionID() : 0;
}

std::uint64_t StorageGroup::lastIssuedItemID() const {
    const Storage* current = _current;
    return current ? current->lastIssuedItemID() : 0;
}

std::uint64_t StorageGroup::durableMediaID() const {
    std::uint64_t durable = 0;
    for (const Storage* member : members()) {
        durable = std::max(durable, member->durableMediaID());
    }
    return durable;
}

void StorageGroup::setGroupCommitOptions(const GroupCommitOptions& options) {
    for (Storage* member : members()) {
        member->setGroupCommitOptions(options);
    }
}

// ---------------------------------------------------------------- listener side

void StorageGroup::usageChanged(Storage&, std::uint64_t, std::uint64_t) { notifyUsage(); }

void StorageGroup::sectionChanged(Storage&, std::uint32_t sectionID) { notifySectionChanged(sectionID); }

void StorageGroup::damageFound(Storage& storage, const std::string& report) { notifyDamaged(storage, report); }

void StorageGroup::notifyDamaged(Storage& member, const std::string& report) {
    std::vector<IStorageGroupListener*> listeners;
    {
        Mutex::ScopedLock lock(_groupListenerMutex);
        listeners = _groupListeners;
    }
    for (IStorageGroupListener* listener : listeners) {
        listener->storageDamaged(*this, member, report);
    }
}

// ---------------------------------------------------------------- no file of its own

IFreePageAllocator& StorageGroup::freePageAllocator() {
    throw VarnelException(VarnelException::InvalidStorage, "a storage group has no free-page list of its own");
}

ITransactionHandler& StorageGroup::transactionHandler() {
    throw VarnelException(VarnelException::InvalidStorage, "a storage group has no journal of its own");
}

std::unique_ptr<IOverwritePreparer> StorageGroup::createOverwritePreparer() {
    throw VarnelException(VarnelException::InvalidStorage, "a storage group has no media track of its own");
}

std::unique_ptr<IStorageFile> StorageGroup::openHandle(const std::string&, bool) { return nullptr; }

} // namespace ostrel
