#include "storage/util/IntegrityChecker.h"

#include "base/Exception.h"
#include "storage/EventElement.h"
#include "storage/MediaElement.h"
#include "storage/RecordingTableElement.h"
#include "storage/TextInElement.h"
#include "storage/TimelineElement.h"
#include "storage/aio/IStorageFile.h"
#include "storage/pager/Page.h"
#include "storage/pager/PageCache.h"
#include "storage/pager/SuperBlock.h"
#include "storage/util/internal/TrackChain.h"

#include <algorithm>
#include <map>
#include <optional>

namespace ostrel {
namespace {

bool isKnownTrack(const PageType& type) {
    return type == PageType::FreePageList || type == PageType::Journal || type == PageType::Timeline ||
           type == PageType::RecordingTable || type == PageType::Media || type == PageType::Event ||
           type == PageType::PreEvent || type == PageType::TextIn || type == PageType::Log ||
           type == PageType::Info || type == PageType::Bad;
}

// One item of a data page: where it starts, its media ID and its length in
// the page's stream (frames: header plus payload).
struct ItemRef {
    std::uint32_t offset;
    std::uint64_t id;
    std::uint32_t size;
};

} // namespace

// The state of one check.
class IntegrityChecker::Run {
public:
    explicit Run(IntegrityChecker& owner) : _owner(owner) {}

    bool execute(const Progress& progress);

private:
    // The items of one data track in media-ID order, page after page as its
    // chain hands them out, every page checked when it is entered; damaged
    // pages are skipped.
    class Cursor {
    public:
        Cursor(Run& run, TrackChain& chain, const PageType& type) : _run(run), _chain(chain), _type(type) {}

        // Moves to the next item; false at the end of the track.
        bool advance() {
            if (_ended) {
                return false;
            }
            if (_started && _page != nullptr && _index + 1 < _items.size()) {
                ++_index;
                return true;
            }
            _started = true;
            while ((_page = _chain.next()) != nullptr) {
                if (_run.checkPage(*this) && !_items.empty()) {
                    _index = 0;
                    return true;
                }
            }
            _ended = true;
            return false;
        }
        // Moves to the first item whose media ID is at least `id`; answers
        // whether it carries `id`.
        bool seek(std::uint64_t id) {
            if (!_started && !advance()) {
                return false;
            }
            while (!_ended && _items[_index].id < id) {
                if (!advance()) {
                    return false;
                }
            }
            return !_ended && _items[_index].id == id;
        }
        void drain() {
            while (advance()) {
            }
        }
        bool atEnd() const { return _ended; }
        const ItemRef& item() const { return _items[_index]; }
        Page& page() const { return *_page; }

        Run& _run;
        TrackChain& _chain;
        PageType _type;
        Page* _page = nullptr;
        std::vector<ItemRef> _items;
        std::size_t _index = 0;
        bool _started = false;
        bool _ended = false;
        // The last media ID of the pages before, the payload bytes the last
        // frame of the page before carries into the next page, and that page.
        std::optional<std::uint64_t> _lastID;
        std::uint32_t _overflow = 0;
        std::uint32_t _overflowFrom = 0;
        std::uint32_t _overflowOffset = 0;
    };

    void report(const IntegrityFinding& finding) { _owner.add(finding); }
    void note(std::uint32_t page, std::uint32_t offset, const std::string& track, const std::string& problem) {
        report(IntegrityFinding{page, offset, track, problem, false});
    }
    void dangling(std::uint32_t page, std::uint32_t offset, const std::string& track, const std::string& problem) {
        _owner._dangling = true;
        note(page, offset, track, problem);
    }

    bool loadSuperBlock();
    void checkTrackList();
    std::unique_ptr<TrackChain> chainFor(const PageType& type);
    void keep(const TrackChain& chain);

    void checkFreeList();
    void checkJournal();
    void checkSystemTrack(const PageType& type);
    void checkData();
    void checkReferences(const PageType& type);
    void checkAccounting();

    // Checks the page the cursor's chain handed out and lists its items;
    // false when the page is damaged.
    bool checkPage(Cursor& cursor);
    bool checkFrames(Cursor& cursor, Page& page);
    static bool framesFit(const Page& page, std::uint32_t from);
    bool checkFixedItems(Cursor& cursor, Page& page, std::uint32_t itemSize);
    void joinTimeline(Cursor& timeline, Cursor* media, Cursor* preEvent, Cursor* textIn);
    // The timeline element at `position`, when a timeline page holds one there.
    std::optional<TimelineElement> timelineElementAt(const PagePosition& position);

    IntegrityChecker& _owner;
    SuperBlock _superBlock;
    PageCache _cache;
    TrackChain::Shared _shared;
    std::map<std::string, std::uint8_t> _marks;
    std::vector<TrackListItem> _entries;
    std::vector<bool> _free;
    std::vector<bool> _bad;
    std::uint64_t _total = 0;
    Progress _progress;
    std::uint64_t _firstTimelineID = 0;
    std::unique_ptr<Page> _lookup;
};

void IntegrityChecker::add(const IntegrityFinding& finding) {
    ++_findingCount;
    if (_findings.size() < MaxFindings) {
        _findings.push_back(finding);
    }
}

IntegrityChecker::IntegrityChecker(IStorageFile& file) : _file(file) {}
IntegrityChecker::~IntegrityChecker() = default;

bool IntegrityChecker::run(const Progress& progress) {
    _findings.clear();
    _findingCount = 0;
    _bytesRead = 0;
    _superBlockSound = false;
    _tracks.clear();
    _damaged.clear();
    _leaked.clear();
    _freeButUsed.clear();
    _badPages.clear();
    _dangling = false;
    _firstTimelineID = 0;
    Run run(*this);
    return run.execute(progress) && _findingCount == 0;
}

bool IntegrityChecker::Run::loadSuperBlock() {
    try {
        _superBlock.load(&_owner._file, nullptr, 0, _owner._file.sectorSize());
    } catch (const Exception& e) {
        note(0, 0, "", "superblock: " + e.messageText());
        return false;
    }
    _owner._bytesRead += SuperBlock::Size;
    if (!_superBlock.isValid()) {
        note(0, 0, "", "superblock: not a storage file (no valid magic, version or page size)");
        return false;
    }
    if (_superBlock.pageCount() < 2) {
        note(0, 56, "", "superblock: " + std::to_string(_superBlock.pageCount()) + " pages");
        return false;
    }
    if (_superBlock.checksum() == 0) {
        note(0, 132, "", "superblock: no checksum");
    }
    return true;
}

void IntegrityChecker::Run::checkTrackList() {
    TrackListItem item;
    std::uint8_t mark = 1;
    for (std::size_t i = 0; _superBlock.getTrack(i, item); ++i) {
        const std::string name = trackName(item.type());
        if (!isKnownTrack(item.type())) {
            note(0, static_cast<std::uint32_t>(528 + 24 * i), "", "the track list holds an unknown type \"" + name + "\"");
            continue;
        }
        if (_marks.count(name) != 0) {
            note(0, static_cast<std::uint32_t>(528 + 24 * i), name, "listed twice in the track list");
            continue;
        }
        _marks[name] = mark++;
        _entries.push_back(item);
    }
}

std::unique_ptr<TrackChain> IntegrityChecker::Run::chainFor(const PageType& type) {
    for (const TrackListItem& entry : _entries) {
        if (entry.type() == type) {
            return std::make_unique<TrackChain>(_shared, entry, _marks[trackName(type)]);
        }
    }
    return nullptr;
}

void IntegrityChecker::Run::keep(const TrackChain& chain) {
    TrackState state;
    state.entry = chain.entry();
    for (const auto& segment : chain.segments()) {
        if (!segment.empty()) {
            state.segments.push_back(segment);
        }
    }
    state.damaged = chain.damaged();
    state.whole = chain.isWhole();
    _owner._tracks.push_back(std::move(state));
}

bool IntegrityChecker::Run::execute(const Progress& progress) {
    _progress = progress;
    if (!loadSuperBlock()) {
        return false;
    }
    _owner._superBlockSound = true;
    _cache.setSuperBlock(&_superBlock);
    _lookup = std::make_unique<Page>(&_superBlock, &_cache);
    const std::uint32_t pages = _superBlock.pageCount();
    _shared.superBlock = &_superBlock;
    _shared.cache = &_cache;
    _shared.owner.assign(std::size_t{pages} + 1, 0);
    _shared.report = [this](const IntegrityFinding& finding) { report(finding); };
    _shared.pageRead = [this](std::uint32_t size) {
        _owner._bytesRead += size;
        if (_progress) {
            _progress(_owner._bytesRead, std::max(_total, _owner._bytesRead));
        }
    };
    _free.assign(std::size_t{pages} + 1, false);
    _bad.assign(std::size_t{pages} + 1, false);
    checkTrackList();
    checkFreeList();
    std::uint64_t freeCount = 0;
    for (std::uint32_t n = 1; n <= pages; ++n) {
        freeCount += _free[n] ? 1 : 0;
    }
    _total = (pages - freeCount) * std::uint64_t{_superBlock.pageSize()} + SuperBlock::Size;
    checkJournal();
    checkSystemTrack(PageType::Log);
    checkSystemTrack(PageType::Info);
    checkSystemTrack(PageType::Bad);
    checkData();
    checkReferences(PageType::RecordingTable);
    checkReferences(PageType::Event);
    checkAccounting();
    _owner._damaged = _shared.damaged;
    _lookup.reset();
    _cache.clear();
    return true;
}

void IntegrityChecker::Run::checkFreeList() {
    std::unique_ptr<TrackChain> chain = chainFor(PageType::FreePageList);
    if (!chain) {
        note(0, 0, "FREE", "the track list has no free-page list");
        return;
    }
    const std::uint32_t pages = _superBlock.pageCount();
    while (Page* page = chain->next()) {
        const std::uint32_t number = page->pageNumber();
        const std::uint32_t size = page->pageSize();
        if (page->itemSize() != 8) {
            chain->markDamaged(number, 16, "item size " + std::to_string(page->itemSize()) + " where 8 was expected");
            continue;
        }
        const std::uint32_t slots = (size - Page::IndexData) / 8;
        const std::uint32_t head = page->firstItemOffset();
        const std::uint32_t count = page->itemCount();
        if ((head - Page::IndexData) % 8 != 0 || (page->lastItemOffset() - Page::IndexData) % 8 != 0 ||
            count > slots || (head - Page::IndexData) / 8 >= slots ||
            ((head - Page::IndexData) / 8 + count) % slots != (page->lastItemOffset() - Page::IndexData) / 8) {
            chain->markDamaged(number, 24, "ring head, tail and count do not agree");
            continue;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t offset = Page::IndexData + (((head - Page::IndexData) / 8 + i) % slots) * 8;
            const std::uint32_t first = page->buffer().getU32(offset);
            const std::uint32_t last = page->buffer().getU32(offset + 4);
            if (first == 0 || last < first || last > pages) {
                chain->markDamaged(number, offset,
                                   "interval " + std::to_string(first) + "~" + std::to_string(last) +
                                       " does not lie within the file's pages");
                break;
            }
            for (std::uint32_t n = first; n <= last; ++n) {
                if (_free[n]) {
                    note(number, offset, "FREE", "page " + std::to_string(n) + " is listed free twice");
                    break;
                }
                _free[n] = true;
            }
        }
    }
    keep(*chain);
}

void IntegrityChecker::Run::checkJournal() {
    std::unique_ptr<TrackChain> chain = chainFor(PageType::Journal);
    if (!chain) {
        return;
    }
    while (Page* page = chain->next()) {
        if (page->itemCount() != 0) {
            note(page->pageNumber(), 20, "JNAL",
                 "holds " + std::to_string(page->itemCount()) +
                     " records of an unfinished transaction (a writable open rolls it back)");
        }
    }
    keep(*chain);
}

void IntegrityChecker::Run::checkSystemTrack(const PageType& type) {
    std::unique_ptr<TrackChain> chain = chainFor(type);
    if (!chain) {
        return;
    }
    const std::uint32_t itemSize = type == PageType::Bad ? 4 : 64;
    const std::uint32_t pages = _superBlock.pageCount();
    while (Page* page = chain->next()) {
        const std::uint32_t number = page->pageNumber();
        const std::uint32_t size = page->pageSize();
        if (page->itemSize() != itemSize) {
            chain->markDamaged(number, 16,
                               "item size " + std::to_string(page->itemSize()) + " where " +
                                   std::to_string(itemSize) + " was expected");
            continue;
        }
        const std::uint32_t first = page->firstItemOffset();
        const std::uint32_t last = page->lastItemOffset();
        const std::uint32_t count = page->itemCount();
        if ((first - Page::IndexData) % itemSize != 0 || (last - Page::IndexData) % itemSize != 0) {
            chain->markDamaged(number, 24, "item offsets off the item grid");
            continue;
        }
        if (type == PageType::Log) {
            // A ring: the head is the oldest message, the tail the next free slot.
            const std::uint32_t slots = (size - Page::IndexData) / itemSize;
            if (count > slots || ((first - Page::IndexData) / itemSize + count) % slots !=
                                     (last - Page::IndexData) / itemSize) {
                chain->markDamaged(number, 20, "ring head, tail and count do not agree");
            }
            continue;
        }
        if (count > 0 && last != first + (count - 1) * itemSize) {
            chain->markDamaged(number, 20,
                               std::to_string(count) + " items do not end at the last item offset " +
                                   std::to_string(last));
            continue;
        }
        if (type == PageType::Bad) {
            for (std::uint32_t i = 0; i < count; ++i) {
                const std::uint32_t offset = first + i * itemSize;
                const std::uint32_t bad = page->buffer().getU32(offset);
                if (!_superBlock.isValidPageNumber(bad)) {
                    chain->markDamaged(number, offset, "lists page " + std::to_string(bad) + ", outside the file");
                    break;
                }
                if (!_bad[bad]) {
                    _bad[bad] = true;
                    _owner._badPages.push_back(bad);
                }
            }
        } else {
            for (std::uint32_t i = 0; i < count; ++i) {
                const std::uint32_t offset = first + i * itemSize;
                const std::byte* key = page->buffer().pointer(offset, 64);
                if (std::find(key, key + 32, std::byte{0}) == key + 32 ||
                    std::find(key + 32, key + 64, std::byte{0}) == key + 64) {
                    chain->markDamaged(number, offset, "entry without a terminated key or value");
                    break;
                }
            }
        }
    }
    (void)pages;
    keep(*chain);
}

bool IntegrityChecker::Run::checkPage(Cursor& cursor) {
    Page& page = cursor.page();
    cursor._items.clear();
    const bool media = cursor._type == PageType::Media || cursor._type == PageType::PreEvent;
    bool ok = true;
    try {
        ok = media ? checkFrames(cursor, page)
                   : checkFixedItems(cursor, page, cursor._type == PageType::TextIn ? TextInElement::FixedSize : 64);
    } catch (const Exception& e) {
        cursor._chain.markDamaged(page.pageNumber(), 0, "items cannot be read: " + e.messageText());
        ok = false;
    }
    if (!ok) {
        cursor._items.clear();
        cursor._overflow = 0;
    }
    return ok;
}

bool IntegrityChecker::Run::framesFit(const Page& page, std::uint32_t from) {
    // Whether the page's frames, read from `from`, end where its header says.
    std::uint32_t offset = from;
    MediaElement frame;
    for (std::uint32_t i = 0; i < page.itemCount(); ++i) {
        if (offset < Page::IndexData || std::uint64_t{offset} + MediaElement::FixedSize > page.pageSize()) {
            return false;
        }
        frame.readAt(page.buffer(), offset);
        if (i == 0 && frame.mediaID() != page.firstItemID()) {
            return false;
        }
        if (i + 1 == page.itemCount()) {
            return offset == page.lastItemOffset() && frame.mediaID() == page.lastItemID();
        }
        const std::uint64_t end = std::uint64_t{offset} + MediaElement::FixedSize + frame.payloadSize();
        if (end > page.pageSize()) {
            return false;
        }
        offset = static_cast<std::uint32_t>(end);
    }
    return false;
}

bool IntegrityChecker::Run::checkFrames(Cursor& cursor, Page& page) {
    TrackChain& chain = cursor._chain;
    const std::uint32_t number = page.pageNumber();
    const std::uint32_t size = page.pageSize();
    const std::uint32_t count = page.itemCount();
    const std::uint32_t first = page.firstItemOffset();
    if (page.itemSize() != MediaElement::FixedSize) {
        chain.markDamaged(number, 16, "item size " + std::to_string(page.itemSize()) + " where " +
                                          std::to_string(MediaElement::FixedSize) + " was expected");
        return false;
    }
    // The payload the frame before carries into this page comes first.
    if (cursor._overflow > 0 && !chain.startsSegment()) {
        const std::uint32_t expected = Page::IndexData + cursor._overflow;
        if (first != expected) {
            if (count > 0 && first < expected && framesFit(page, first)) {
                // This page's own items start inside what the frame before
                // claims: that frame's size is what is wrong.
                chain.markEarlierDamaged(cursor._overflowFrom, cursor._overflowOffset,
                                         "last frame runs " + std::to_string(cursor._overflow) + " bytes into page " +
                                             std::to_string(number) + ", whose own items start at " +
                                             std::to_string(first));
            } else {
                chain.markDamaged(number, 24,
                                  "first item offset " + std::to_string(first) + " where the frame before ends at " +
                                      std::to_string(expected));
                return false;
            }
        }
    }
    cursor._overflow = 0;
    if (count == 0) {
        if (page.firstItemID() != 0 || page.lastItemID() != 0 || page.lastItemOffset() != Page::IndexData) {
            chain.markDamaged(number, 32, "an empty page with item IDs or a last item offset");
            return false;
        }
        return true;
    }
    std::uint32_t offset = first;
    std::uint32_t mask = 0;
    std::optional<std::uint64_t> previous = cursor._lastID;
    MediaElement frame;
    std::uint32_t end = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (offset < Page::IndexData || std::uint64_t{offset} + MediaElement::FixedSize > size) {
            chain.markDamaged(number, offset, "frame " + std::to_string(i) + " of " + std::to_string(count) +
                                                  " starts past the end of the page");
            return false;
        }
        frame.readAt(page.buffer(), offset);
        if (frame.mediaType() != MediaElement::Video && frame.mediaType() != MediaElement::Audio) {
            chain.markDamaged(number, offset, "frame with media type " + std::to_string(frame.mediaType()));
            return false;
        }
        const std::uint64_t total = std::uint64_t{MediaElement::FixedSize} + frame.dataSize() + frame.extraSize();
        const std::uint64_t room = std::uint64_t{size} - offset;
        const bool last = i + 1 == count;
        if (total > room + (last ? size - Page::IndexData : 0) || frame.dataSize() > size ||
            frame.extraSize() > size) {
            chain.markDamaged(number, offset, "frame of " + std::to_string(total) + " bytes does not fit");
            return false;
        }
        if (previous && frame.mediaID() <= *previous) {
            chain.markDamaged(number, offset,
                              "media ID " + std::to_string(frame.mediaID()) + " does not follow " +
                                  std::to_string(*previous));
            return false;
        }
        previous = frame.mediaID();
        if (frame.marksChannel()) {
            mask |= frame.channelMask().word();
        }
        cursor._items.push_back(ItemRef{offset, frame.mediaID(), static_cast<std::uint32_t>(total)});
        if (last) {
            if (offset != page.lastItemOffset()) {
                chain.markDamaged(number, 28,
                                  "last item offset " + std::to_string(page.lastItemOffset()) +
                                      " where the last frame starts at " + std::to_string(offset));
                return false;
            }
            end = static_cast<std::uint32_t>(std::min<std::uint64_t>(offset + total, std::uint64_t{size} * 2));
        } else {
            offset += static_cast<std::uint32_t>(total);
        }
    }
    if (page.firstItemID() != cursor._items.front().id || page.lastItemID() != cursor._items.back().id) {
        chain.markDamaged(number, page.firstItemID() != cursor._items.front().id ? 32 : 40,
                          "header's item IDs " + std::to_string(page.firstItemID()) + ".." +
                              std::to_string(page.lastItemID()) + " differ from its frames' " +
                              std::to_string(cursor._items.front().id) + ".." +
                              std::to_string(cursor._items.back().id));
        return false;
    }
    const std::uint32_t headerMask = page.channelMask().word();
    // The overwrite trims a track's first page without narrowing its mask.
    const bool isFirst = number == chain.entry().firstPage();
    if (isFirst ? (mask & ~headerMask) != 0 : mask != headerMask) {
        chain.markDamaged(number, 48, "channel mask " + std::to_string(headerMask) + " where its frames give " +
                                          std::to_string(mask));
        return false;
    }
    cursor._lastID = previous;
    if (end > size) {
        cursor._overflow = end - size;
        cursor._overflowFrom = number;
        cursor._overflowOffset = page.lastItemOffset();
        if (page.next() == 0) {
            note(number, page.lastItemOffset(), chain.name(),
                 "the last frame continues past the track's last page (a writable open drops it)");
            cursor._overflow = 0;
        }
    }
    return true;
}

bool IntegrityChecker::Run::checkFixedItems(Cursor& cursor, Page& page, std::uint32_t itemSize) {
    TrackChain& chain = cursor._chain;
    const std::uint32_t number = page.pageNumber();
    const std::uint32_t size = page.pageSize();
    const std::uint32_t count = page.itemCount();
    const std::uint32_t first = page.firstItemOffset();
    const std::uint32_t lastOffset = page.lastItemOffset();
    if (page.itemSize() != itemSize) {
        chain.markDamaged(number, 16,
                          "item size " + std::to_string(page.itemSize()) + " where " + std::to_string(itemSize) +
                              " was expected");
        return false;
    }
    if (count == 0) {
        if (page.firstItemID() != 0 || page.lastItemID() != 0 || lastOffset != Page::IndexData) {
            chain.markDamaged(number, 32, "an empty page with item IDs or a last item offset");
            return false;
        }
        return true;
    }
    if ((first - Page::IndexData) % itemSize != 0 || lastOffset != first + (count - 1) * itemSize ||
        std::uint64_t{lastOffset} + itemSize > size) {
        chain.markDamaged(number, 24,
                          std::to_string(count) + " items from offset " + std::to_string(first) +
                              " do not end at the last item offset " + std::to_string(lastOffset));
        return false;
    }
    const bool timeline = cursor._type == PageType::Timeline;
    std::unique_ptr<IRecordable> item;
    if (timeline) item = std::make_unique<TimelineElement>();
    else if (cursor._type == PageType::RecordingTable) item = std::make_unique<RecordingTableElement>();
    else if (cursor._type == PageType::Event) item = std::make_unique<EventElement>();
    else item = std::make_unique<TextInElement>();
    std::optional<std::uint64_t> previous = cursor._lastID;
    std::uint32_t mask = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t offset = first + i * itemSize;
        item->readAt(page.buffer(), offset);
        const std::uint64_t id = item->mediaID();
        if (previous && (timeline ? id <= *previous : id < *previous)) {
            if (cursor._type == PageType::RecordingTable) {
                // Entries out of order misdescribe the recording; the table
                // can be built again from the timeline.
                note(number, offset, "RTBL",
                     "entry for media ID " + std::to_string(id) + " does not follow " + std::to_string(*previous));
            } else {
                chain.markDamaged(number, offset,
                                  "media ID " + std::to_string(id) + " does not follow " + std::to_string(*previous));
                return false;
            }
        }
        previous = id;
        if (item->marksChannel()) {
            mask |= item->channelMask().word();
        }
        std::string wrong;
        if (timeline) {
            const auto& element = static_cast<const TimelineElement&>(*item);
            if (element.mediaType() != 0 && element.mediaType() != 1 && element.mediaType() != 3) {
                wrong = "element with media type " + std::to_string(element.mediaType());
            } else if (!_superBlock.isValidPosition(element.mediaPosition())) {
                wrong = "element names position (" + std::to_string(element.mediaPosition().number) + ", " +
                        std::to_string(element.mediaPosition().offset) + "), outside the file";
            }
        } else if (cursor._type == PageType::RecordingTable) {
            const auto& entry = static_cast<const RecordingTableElement&>(*item);
            if (!_superBlock.isValidPosition(entry.position())) {
                wrong = "entry names a timeline position outside the file";
            }
        } else if (cursor._type == PageType::Event) {
            const auto& event = static_cast<const EventElement&>(*item);
            if (!_superBlock.isValidPosition(event.timelinePos())) {
                wrong = "event names a timeline position outside the file";
            }
        } else if (static_cast<const TextInElement&>(*item).mediaType() != MediaElement::TextIn) {
            wrong = "record with media type " + std::to_string(static_cast<const TextInElement&>(*item).mediaType());
        }
        if (!wrong.empty()) {
            chain.markDamaged(number, offset, wrong);
            return false;
        }
        cursor._items.push_back(ItemRef{offset, id, itemSize});
    }
    if (page.firstItemID() != cursor._items.front().id || page.lastItemID() != cursor._items.back().id) {
        chain.markDamaged(number, page.firstItemID() != cursor._items.front().id ? 32 : 40,
                          "header's item IDs " + std::to_string(page.firstItemID()) + ".." +
                              std::to_string(page.lastItemID()) + " differ from its items' " +
                              std::to_string(cursor._items.front().id) + ".." +
                              std::to_string(cursor._items.back().id));
        return false;
    }
    const std::uint32_t headerMask = page.channelMask().word();
    // Text-in records never mark a channel, so even a trimmed page keeps none.
    const bool isFirst = number == chain.entry().firstPage() && cursor._type != PageType::TextIn;
    if (isFirst ? (mask & ~headerMask) != 0 : mask != headerMask) {
        chain.markDamaged(number, 48, "channel mask " + std::to_string(headerMask) + " where its items give " +
                                          std::to_string(mask));
        return false;
    }
    cursor._lastID = previous;
    return true;
}

void IntegrityChecker::Run::checkData() {
    std::unique_ptr<TrackChain> timelineChain = chainFor(PageType::Timeline);
    std::unique_ptr<TrackChain> mediaChain = chainFor(PageType::Media);
    std::unique_ptr<TrackChain> preEventChain = chainFor(PageType::PreEvent);
    std::unique_ptr<TrackChain> textChain = chainFor(PageType::TextIn);
    std::optional<Cursor> media, preEvent, textIn;
    if (mediaChain) media.emplace(*this, *mediaChain, PageType::Media);
    if (preEventChain) preEvent.emplace(*this, *preEventChain, PageType::PreEvent);
    if (textChain) textIn.emplace(*this, *textChain, PageType::TextIn);
    if (timelineChain) {
        Cursor timeline(*this, *timelineChain, PageType::Timeline);
        joinTimeline(timeline, media ? &*media : nullptr, preEvent ? &*preEvent : nullptr,
                     textIn ? &*textIn : nullptr);
        keep(*timelineChain);
    }
    for (std::optional<Cursor>* cursor : {&media, &preEvent, &textIn}) {
        if (*cursor) {
            (*cursor)->drain();
            keep((*cursor)->_chain);
        }
    }
}

void IntegrityChecker::Run::joinTimeline(Cursor& timeline, Cursor* media, Cursor* preEvent, Cursor* textIn) {
    TimelineElement element;
    bool first = true;
    while (timeline.advance()) {
        element.readAt(timeline.page().buffer(), timeline.item().offset);
        if (first) {
            _firstTimelineID = element.mediaID();
            _owner._firstTimelineID = _firstTimelineID;
            first = false;
        }
        const PagePosition& at = element.mediaPosition();
        Cursor* holder = nullptr;
        if (element.mediaType() == 3) {
            if (textIn && textIn->seek(element.mediaID())) holder = textIn;
        } else {
            if (media && media->seek(element.mediaID())) holder = media;
            else if (preEvent && preEvent->seek(element.mediaID())) holder = preEvent;
        }
        const std::uint32_t number = timeline.page().pageNumber();
        const std::uint32_t offset = timeline.item().offset;
        const std::string where = "(" + std::to_string(at.number) + ", " + std::to_string(at.offset) + ")";
        if (holder == nullptr) {
            if (_shared.damaged.count(at.number) == 0) {
                dangling(number, offset, "TIML",
                         "element for media ID " + std::to_string(element.mediaID()) + " names " + where +
                             ", but no track holds that media ID");
            }
            continue;
        }
        const ItemRef& item = holder->item();
        if (holder->page().pageNumber() != at.number || item.offset != at.offset) {
            dangling(number, offset, "TIML",
                     "element for media ID " + std::to_string(element.mediaID()) + " names " + where +
                         ", but the item is at (" + std::to_string(holder->page().pageNumber()) + ", " +
                         std::to_string(item.offset) + ")");
        } else if (element.mediaType() != 3 && element.totalSize() != item.size) {
            dangling(number, offset + 48, "TIML",
                     "element for media ID " + std::to_string(element.mediaID()) + " gives " +
                         std::to_string(element.totalSize()) + " bytes for a frame of " + std::to_string(item.size));
        }
    }
}

std::optional<TimelineElement> IntegrityChecker::Run::timelineElementAt(const PagePosition& position) {
    const auto timelineMark = _marks.find("TIML");
    if (timelineMark == _marks.end() || position.number >= _shared.owner.size() ||
        _shared.owner[position.number] != timelineMark->second || _shared.damaged.count(position.number) != 0) {
        return std::nullopt;
    }
    try {
        if (_lookup->pageNumber() != position.number) {
            _lookup->load(position.number, true);
        }
    } catch (const Exception&) {
        _lookup->release();
        return std::nullopt;
    }
    const Page& page = *_lookup;
    if (page.itemCount() == 0 || position.offset < page.firstItemOffset() || position.offset > page.lastItemOffset() ||
        (position.offset - page.firstItemOffset()) % TimelineElement::FixedSize != 0) {
        return std::nullopt;
    }
    TimelineElement element;
    element.readAt(page.buffer(), position.offset);
    return element;
}

void IntegrityChecker::Run::checkReferences(const PageType& type) {
    std::unique_ptr<TrackChain> chain = chainFor(type);
    if (!chain) {
        return;
    }
    const std::string name = trackName(type);
    Cursor cursor(*this, *chain, type);
    RecordingTableElement entry;
    EventElement event;
    while (cursor.advance()) {
        const std::uint32_t number = cursor.page().pageNumber();
        const std::uint32_t offset = cursor.item().offset;
        PagePosition position;
        std::uint64_t id = 0;
        if (type == PageType::Event) {
            event.readAt(cursor.page().buffer(), offset);
            position = event.timelinePos();
            id = event.mediaID();
        } else {
            entry.readAt(cursor.page().buffer(), offset);
            position = entry.position();
            id = entry.mediaID();
        }
        if (_shared.damaged.count(position.number) != 0) {
            continue;
        }
        const std::optional<TimelineElement> element = timelineElementAt(position);
        const std::string where = "(" + std::to_string(position.number) + ", " + std::to_string(position.offset) + ")";
        if (!element) {
            if (type == PageType::Event && id < _firstTimelineID) {
                continue;  // An event older than the oldest data kept.
            }
            dangling(number, offset, name,
                     "names timeline position " + where + " for media ID " + std::to_string(id) +
                         ", where the timeline holds no element");
        } else if (element->mediaID() != id) {
            dangling(number, offset, name,
                     "names timeline position " + where + " for media ID " + std::to_string(id) +
                         ", where the element carries " + std::to_string(element->mediaID()));
        } else if (type == PageType::Event && !(element->dateTime() == event.dateTime())) {
            dangling(number, offset, name,
                     "event's time " + event.dateTime().toString() + " differs from its element's " +
                         element->dateTime().toString());
        }
    }
    keep(*chain);
    _lookup->release();
}

void IntegrityChecker::Run::checkAccounting() {
    const std::uint32_t pages = _superBlock.pageCount();
    std::uint32_t runStart = 0;
    auto flushRun = [&](std::uint32_t end) {
        if (runStart == 0) return;
        note(runStart, 0, "",
             runStart == end ? "page is neither free nor part of a track (leaked)"
                             : "pages " + std::to_string(runStart) + "~" + std::to_string(end) +
                                   " are neither free nor part of a track (leaked)");
        runStart = 0;
    };
    for (std::uint32_t n = 1; n <= pages; ++n) {
        const bool owned = _shared.owner[n] != 0;
        if (_free[n] && owned) {
            note(n, 0, "", "page is listed free but a track holds it");
            _owner._freeButUsed.push_back(n);
        } else if (_free[n] && _bad[n]) {
            note(n, 0, "", "page is listed both free and bad");
        } else if (owned && _bad[n] && _shared.damaged.count(n) == 0) {
            note(n, 0, "", "page is listed bad but a track holds it");
        }
        if (!_free[n] && !owned && !_bad[n]) {
            _owner._leaked.push_back(n);
            if (runStart == 0) runStart = n;
        } else {
            flushRun(n - 1);
        }
    }
    flushRun(pages);
}

} // namespace ostrel
