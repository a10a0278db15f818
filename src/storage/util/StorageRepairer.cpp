#include "storage/util/StorageRepairer.h"

#include "base/Exception.h"
#include "storage/EventElement.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/MediaElement.h"
#include "storage/RecordingTableElement.h"
#include "storage/TextInElement.h"
#include "storage/TimelineElement.h"
#include "storage/VarnelException.h"
#include "storage/aio/IStorageFile.h"
#include "storage/pager/FreePageListPage.h"
#include "storage/pager/Page.h"
#include "storage/pager/PageCache.h"
#include "storage/pager/SuperBlock.h"
#include "storage/util/IntegrityChecker.h"
#include "storage/util/OverlayStorageFile.h"
#include "storage/util/RecordingTableVerifier.h"
#include "storage/util/RepairJournal.h"
#include "storage/util/internal/TrackChain.h"

#include <algorithm>
#include <map>
#include <optional>
#include <utility>

namespace ostrel {
namespace {

std::string positionText(const PagePosition& position) {
    return "(" + std::to_string(position.number) + ", " + std::to_string(position.offset) + ")";
}

using PositionKey = std::pair<std::uint32_t, std::uint32_t>;
PositionKey keyOf(const PagePosition& position) { return {position.number, position.offset}; }

// A handle onto a file the caller owns, for the storage object's opener.
class BorrowedFile final : public IStorageFile {
public:
    explicit BorrowedFile(IStorageFile& file) : _file(file) {}
    std::size_t readAt(void* buffer, std::uint64_t offset, std::size_t length) override {
        return _file.readAt(buffer, offset, length);
    }
    std::size_t writeAt(const void* buffer, std::uint64_t offset, std::size_t length) override {
        return _file.writeAt(buffer, offset, length);
    }
    std::size_t writeDeferred(const WritePiece* pieces, std::size_t count, std::uint64_t offset) override {
        return _file.writeDeferred(pieces, count, offset);
    }
    void flush() override { _file.flush(); }
    std::uint64_t size() const override { return _file.size(); }
    std::uint32_t sectorSize() const override { return _file.sectorSize(); }
    bool isWritable() const override { return _file.isWritable(); }
    const std::string& path() const override { return _file.path(); }
    int handle() const override { return _file.handle(); }

private:
    IStorageFile& _file;
};

struct Frame {
    std::uint32_t offset;
    std::uint64_t id;
    std::uint64_t end;
    std::uint32_t mask;
};

// The frames of a media page as its header and items give them.
std::vector<Frame> framesOf(const Page& page) {
    std::vector<Frame> frames;
    std::uint32_t offset = page.firstItemOffset();
    MediaElement frame;
    for (std::uint32_t i = 0; i < page.itemCount(); ++i) {
        if (std::uint64_t{offset} + MediaElement::FixedSize > page.pageSize()) {
            break;
        }
        frame.readAt(page.buffer(), offset);
        const std::uint64_t end = std::uint64_t{offset} + MediaElement::FixedSize + frame.payloadSize();
        frames.push_back(Frame{offset, frame.mediaID(), end, frame.marksChannel() ? frame.channelMask().word() : 0});
        offset = static_cast<std::uint32_t>(std::min<std::uint64_t>(end, page.pageSize()));
    }
    return frames;
}

// A page of fixed-size items after some of them were taken out: `count`
// items from `first` on, their media IDs from `firstID` to `lastID` and the
// channels they mark in `mask`; then saved.
void setBounds(Page& page, std::uint32_t first, std::uint32_t itemSize, std::size_t count, std::uint64_t firstID,
               std::uint64_t lastID, std::uint32_t mask) {
    page.setItemCount(static_cast<std::uint32_t>(count));
    if (count == 0) {
        page.setFirstItemOffset(Page::IndexData);
        page.setLastItemOffset(Page::IndexData);
        page.setFirstItemID(0);
        page.setLastItemID(0);
    } else {
        page.setLastItemOffset(first + static_cast<std::uint32_t>(count - 1) * itemSize);
        page.setFirstItemID(firstID);
        page.setLastItemID(lastID);
    }
    page.setChannelMask(BitMask32(mask));
    page.save();
}

bool isOrdered(const PageType& type) {
    return type == PageType::Timeline || type == PageType::RecordingTable || type == PageType::Media ||
           type == PageType::Event || type == PageType::PreEvent || type == PageType::TextIn;
}

} // namespace

std::string StorageRepairer::LostRange::toString() const {
    return "channel " + std::to_string(channel) + (audio ? " audio" : " video") + ": " + from.toString() + " ~ " +
           to.toString() + " (" + std::to_string(frames) + (frames == 1 ? " frame)" : " frames)");
}

class StorageRepairer::Work {
public:
    Work(StorageRepairer& owner, IStorageFile& file, const IntegrityChecker& checker, bool rebuildTable)
        : _owner(owner), _file(file), _checker(checker), _rebuildTable(rebuildTable) {}

    void run();
    const std::set<std::uint32_t>& quarantine() const { return _quarantine; }

private:
    void act(const std::string& line) { _owner._actions.push_back(line); }
    void relink(const IntegrityChecker::TrackState& track);
    // Drops the page's last frame when it runs past the page.
    bool trimOverflow(Page& page);
    bool frameHeld(std::uint16_t mediaType, const PagePosition& position, std::uint64_t id);
    void compactTimeline();
    void relinkTimelinePrevious();
    void compactEvents();
    void mendRecordingTable();
    void rewriteFreeList();
    PagePosition resolve(PagePosition position) const;
    void lose(const TimelineElement& element);
    void keepChannel(const TimelineElement& element);
    void closeRanges();
    void loseUnindexed();

    StorageRepairer& _owner;
    IStorageFile& _file;
    const IntegrityChecker& _checker;
    bool _rebuildTable;
    SuperBlock _superBlock;
    PageCache _cache;
    std::map<std::string, std::vector<std::uint32_t>> _chains;
    std::set<std::uint32_t> _quarantine;
    std::set<std::uint32_t> _release;
    std::set<std::string> _changed;
    std::map<PositionKey, PagePosition> _moved;
    std::map<PositionKey, PagePosition> _removed;
    std::uint32_t _memoPage = 0;
    std::map<std::uint32_t, std::uint64_t> _memo;
    std::map<std::pair<int, bool>, LostRange> _open;
    std::set<std::pair<std::uint32_t, std::uint32_t>> _relinked;
    bool _timelineHeadLost = false;
    bool _timelineTailLost = false;
    // A run of media IDs whose timeline elements were on damaged timeline
    // pages, between the kept pages around it (0 at the track's start), with
    // the indexing state the elements before it left.
    struct IndexGap {
        std::uint64_t from = 0;
        std::uint64_t to = ~std::uint64_t{0};
        std::uint32_t pageBefore = 0;
        std::uint32_t pageAfter = 0;
        std::map<std::uint32_t, std::pair<std::uint32_t, std::uint16_t>> groups;
        std::map<std::pair<std::uint16_t, std::uint32_t>, PagePosition> previous;
        bool filled = false;
    };
    std::vector<IndexGap> _indexGaps;
    // Pages the repair formats anew (a timeline page in place of a damaged one).
    std::set<std::uint32_t> _taken;
    // Per new timeline page, the last element it holds of each media type and channel.
    std::map<std::uint32_t, std::map<std::pair<std::uint16_t, std::uint32_t>, PagePosition>> _filledLast;
    std::map<std::uint64_t, PagePosition> _filledAt;
    std::uint32_t takeFreePage();
    void fillIndexGaps();
};

void StorageRepairer::Work::run() {
    IStorageFile& file = _file;
    _superBlock.load(&file, &file, 0, file.sectorSize());
    _cache.setSuperBlock(&_superBlock);
    for (std::uint32_t page : _checker.damagedPages()) {
        _quarantine.insert(page);
    }
    for (const IntegrityChecker::TrackState& track : _checker.tracks()) {
        const std::string name = trackName(track.entry.type());
        const PageType& type = track.entry.type();
        if (type == PageType::FreePageList) {
            continue;  // Written anew at the end.
        }
        if (!track.damaged.empty() && (type == PageType::Journal || type == PageType::Log)) {
            // The storage makes a new one at its next open or message.
            for (const auto& segment : track.segments) {
                _release.insert(segment.begin(), segment.end());
            }
            _superBlock.removeTrack(type);
            act(name + ": damaged, removed (the storage starts a new one)");
            continue;
        }
        if (track.whole && track.damaged.empty() && track.segments.size() == 1) {
            _chains[name] = track.segments.front();
            continue;
        }
        relink(track);
    }
    for (std::uint32_t page : _checker.leakedPages()) {
        _release.insert(page);
    }
    compactTimeline();
    fillIndexGaps();
    relinkTimelinePrevious();
    compactEvents();
    mendRecordingTable();
    loseUnindexed();
    rewriteFreeList();
    _superBlock.save();
    _cache.clear();
    file.flush();
}

void StorageRepairer::Work::relink(const IntegrityChecker::TrackState& track) {
    const PageType& type = track.entry.type();
    const std::string name = trackName(type);
    const bool carriesMedia = type == PageType::Media || type == PageType::PreEvent;
    _changed.insert(name);
    std::vector<std::uint32_t> chain;
    std::optional<std::uint64_t> lastID;
    Page page(&_superBlock, &_cache);
    for (std::size_t s = 0; s < track.segments.size(); ++s) {
        const auto& segment = track.segments[s];
        std::optional<std::uint64_t> firstID;
        std::optional<std::uint64_t> segmentLastID;
        for (std::uint32_t number : segment) {
            page.load(number, true);
            if (page.itemCount() > 0) {
                if (!firstID) firstID = page.firstItemID();
                segmentLastID = page.lastItemID();
            }
        }
        if (!chain.empty() && isOrdered(type) && lastID && firstID && *firstID <= *lastID) {
            // The pages after the break do not follow in media-ID order: the
            // track ends before them.
            std::size_t cut = 0;
            for (std::size_t rest = s; rest < track.segments.size(); ++rest) {
                _release.insert(track.segments[rest].begin(), track.segments[rest].end());
                cut += track.segments[rest].size();
            }
            act(name + ": cut after page " + std::to_string(chain.back()) + " (" + std::to_string(cut) +
                " pages after it do not follow in media-ID order)");
            break;
        }
        if (!chain.empty()) {
            act(name + ": page " + std::to_string(chain.back()) + " relinked to page " +
                std::to_string(segment.front()));
            _relinked.insert({chain.back(), segment.front()});
        }
        chain.insert(chain.end(), segment.begin(), segment.end());
        if (segmentLastID) lastID = segmentLastID;
    }
    page.release();
    if (type == PageType::Timeline) {
        _timelineHeadLost = chain.empty() || chain.front() != track.entry.firstPage();
        _timelineTailLost = chain.empty() || chain.back() != track.entry.lastPage();
    }
    if (chain.empty()) {
        _superBlock.removeTrack(type);
        act(name + ": no undamaged page left, track removed");
        return;
    }
    std::vector<std::uint32_t> checksums;
    for (std::uint32_t number : chain) {
        page.load(number, true);
        checksums.push_back(page.checksum());
    }
    for (std::size_t i = 0; i < chain.size(); ++i) {
        page.load(chain[i], false);
        const std::uint32_t previous = i > 0 ? chain[i - 1] : 0;
        const std::uint32_t previousChecksum = i > 0 ? checksums[i - 1] : 0;
        const std::uint32_t next = i + 1 < chain.size() ? chain[i + 1] : 0;
        const std::uint32_t nextChecksum = i + 1 < chain.size() ? checksums[i + 1] : Page::InvalidPageChecksum;
        bool changed = false;
        if (page.previous() != previous || page.previousChecksum() != previousChecksum) {
            page.setPrevious(previous);
            page.setPreviousChecksum(previousChecksum);
            changed = true;
        }
        if (page.next() != next || page.nextChecksum() != nextChecksum) {
            // What the last frame carried into the page after is gone.
            if (carriesMedia && trimOverflow(page)) {
                act(name + ": page " + std::to_string(chain[i]) + " drops its last frame, whose rest was lost");
            }
            page.setNext(next);
            page.setNextChecksum(nextChecksum);
            changed = true;
        }
        if (changed) {
            page.save();
        }
    }
    page.release();
    _superBlock.setTrackFirst(type, chain.front(), checksums.front());
    _superBlock.setTrackLast(type, chain.back(), checksums.back());
    _chains[name] = chain;
}

bool StorageRepairer::Work::trimOverflow(Page& page) {
    const std::vector<Frame> frames = framesOf(page);
    if (frames.empty() || frames.back().end <= page.pageSize()) {
        return false;
    }
    const std::size_t kept = frames.size() - 1;
    page.setItemCount(static_cast<std::uint32_t>(kept));
    if (kept == 0) {
        page.setFirstItemID(0);
        page.setLastItemID(0);
        page.setLastItemOffset(Page::IndexData);
        page.setChannelMask(BitMask32(0));
        return true;
    }
    std::uint32_t mask = 0;
    for (std::size_t i = 0; i < kept; ++i) {
        mask |= frames[i].mask;
    }
    page.setLastItemOffset(frames[kept - 1].offset);
    page.setLastItemID(frames[kept - 1].id);
    page.setChannelMask(BitMask32(mask));
    return true;
}

bool StorageRepairer::Work::frameHeld(std::uint16_t mediaType, const PagePosition& position, std::uint64_t id) {
    const bool text = mediaType == 3;
    bool inChain = false;
    for (const char* name : text ? std::vector<const char*>{"TEXT"} : std::vector<const char*>{"MDEA", "PEVT"}) {
        const auto chain = _chains.find(name);
        if (chain != _chains.end() &&
            std::find(chain->second.begin(), chain->second.end(), position.number) != chain->second.end()) {
            inChain = true;
        }
    }
    if (!inChain) {
        return false;
    }
    if (_memoPage != position.number) {
        _memo.clear();
        _memoPage = position.number;
        Page page(&_superBlock, &_cache);
        page.load(position.number, true);
        if (text) {
            for (std::uint32_t i = 0; i < page.itemCount(); ++i) {
                const std::uint32_t offset = page.firstItemOffset() + i * page.itemSize();
                if (std::uint64_t{offset} + 128 > page.pageSize()) break;
                _memo[offset] = page.buffer().getU64(offset + 16);
            }
        } else {
            for (const Frame& frame : framesOf(page)) {
                _memo[frame.offset] = frame.id;
            }
        }
    }
    const auto at = _memo.find(position.offset);
    return at != _memo.end() && at->second == id;
}

void StorageRepairer::Work::lose(const TimelineElement& element) {
    const bool audio = element.mediaType() == 1;
    if (element.mediaType() == 3) {
        return;
    }
    for (int bit = 0; bit < 32; ++bit) {
        if ((element.channelMask().word() & (1u << bit)) == 0) continue;
        auto [at, fresh] = _open.try_emplace({bit + 1, audio});
        LostRange& range = at->second;
        if (fresh) {
            range.channel = bit + 1;
            range.audio = audio;
            range.from = element.dateTime();
        }
        range.to = element.dateTime();
        ++range.frames;
    }
}

void StorageRepairer::Work::keepChannel(const TimelineElement& element) {
    const bool audio = element.mediaType() == 1;
    for (int bit = 0; bit < 32; ++bit) {
        if ((element.channelMask().word() & (1u << bit)) == 0) continue;
        const auto at = _open.find({bit + 1, audio});
        if (at != _open.end()) {
            _owner._lost.push_back(at->second);
            _open.erase(at);
        }
    }
}

void StorageRepairer::Work::closeRanges() {
    for (auto& [key, range] : _open) {
        _owner._lost.push_back(range);
    }
    _open.clear();
}

void StorageRepairer::Work::compactTimeline() {
    const auto chain = _chains.find("TIML");
    for (const IntegrityChecker::TrackState& track : _checker.tracks()) {
        if (track.entry.type() == PageType::Timeline) {
            for (std::uint32_t page : track.damaged) {
                act("TIML: damaged page " + std::to_string(page) + " taken out");
            }
        }
    }
    if (chain == _chains.end()) {
        return;
    }
    Page page(&_superBlock, &_cache);
    TimelineElement element;
    std::uint64_t dropped = 0;
    // Where a damaged timeline page left: the frames between the elements
    // on either side lost their index.
    std::optional<std::uint64_t> lastKept;
    std::optional<IndexGap> gap;
    std::map<std::uint32_t, std::pair<std::uint32_t, std::uint16_t>> groups;
    std::map<std::pair<std::uint16_t, std::uint32_t>, PagePosition> previous;
    if (_timelineHeadLost) {
        gap.emplace();
        gap->pageAfter = chain->second.front();
    }
    std::uint32_t before = 0;
    for (std::uint32_t number : chain->second) {
        if (_relinked.count({before, number}) != 0) {
            gap.emplace();
            gap->from = lastKept.value_or(0);
            gap->pageBefore = before;
            gap->pageAfter = number;
            gap->groups = groups;
            gap->previous = previous;
        }
        before = number;
        page.load(number, false);
        const std::uint32_t first = page.firstItemOffset();
        std::vector<TimelineElement> kept;
        std::vector<std::uint32_t> keptFrom;
        for (std::uint32_t i = 0; i < page.itemCount(); ++i) {
            const std::uint32_t offset = first + i * TimelineElement::FixedSize;
            element.readAt(page.buffer(), offset);
            if (frameHeld(element.mediaType(), element.mediaPosition(), element.mediaID())) {
                if (gap) {
                    gap->to = element.mediaID();
                    _indexGaps.push_back(*gap);
                    gap.reset();
                }
                lastKept = element.mediaID();
                const PagePosition at{number, first + static_cast<std::uint32_t>(kept.size()) * TimelineElement::FixedSize};
                previous[{element.mediaType(), element.channelMask().word()}] = at;
                if (element.mediaType() == 0) {
                    groups[element.channelMask().word()] = {element.gopID(), element.frameIndex()};
                }
                kept.push_back(element);
                keptFrom.push_back(offset);
                keepChannel(element);
            } else {
                // Its place goes to the element before it of the same channel.
                _removed[{number, offset}] = element.previousPosition();
                lose(element);
                ++dropped;
            }
        }
        if (kept.size() == page.itemCount()) {
            continue;
        }
        std::uint32_t mask = 0;
        for (std::size_t i = 0; i < kept.size(); ++i) {
            const std::uint32_t offset = first + static_cast<std::uint32_t>(i) * TimelineElement::FixedSize;
            kept[i].writeAt(page.buffer(), offset);
            if (offset != keptFrom[i]) {
                _moved[{number, keptFrom[i]}] = PagePosition{number, offset};
            }
            if (kept[i].marksChannel()) mask |= kept[i].channelMask().word();
        }
        setBounds(page, first, TimelineElement::FixedSize, kept.size(),
                  kept.empty() ? 0 : kept.front().mediaID(), kept.empty() ? 0 : kept.back().mediaID(), mask);
    }
    // A gap at the end needs nothing: the storage's recovery indexes the
    // frames after the timeline's last element when it opens.
    if (dropped > 0) {
        act("TIML: " + std::to_string(dropped) + " elements naming frames no longer held taken out");
    }
}

std::uint32_t StorageRepairer::Work::takeFreePage() {
    std::set<std::uint32_t> used(_quarantine.begin(), _quarantine.end());
    for (const auto& [name, chain] : _chains) used.insert(chain.begin(), chain.end());
    for (std::uint32_t number : _checker.badPages()) used.insert(number);
    used.insert(_taken.begin(), _taken.end());
    if (const std::optional<TrackListItem> list = _superBlock.findTrack(PageType::FreePageList)) {
        used.insert(list->firstPage());
    }
    for (std::uint32_t number = 1; number <= _superBlock.pageCount(); ++number) {
        if (used.count(number) == 0) {
            _taken.insert(number);
            return number;
        }
    }
    return 0;
}

void StorageRepairer::Work::fillIndexGaps() {
    // The frames a damaged timeline page indexed are still on their pages:
    // they are indexed again, by the timeline's own rules, on a page of
    // their own in the damaged page's place.
    const auto chain = _chains.find("TIML");
    if (chain == _chains.end()) {
        return;
    }
    struct Held {
        std::uint64_t id;
        PagePosition at;
        TimelineElement element;
    };
    Page page(&_superBlock, &_cache);
    for (IndexGap& gap : _indexGaps) {
        if (gap.to == ~std::uint64_t{0}) {
            continue;
        }
        std::vector<Held> held;
        for (const char* name : {"MDEA", "PEVT", "TEXT"}) {
            const auto source = _chains.find(name);
            if (source == _chains.end()) continue;
            const bool text = std::string(name) == "TEXT";
            for (std::uint32_t number : source->second) {
                page.load(number, true);
                if (page.itemCount() == 0 || page.lastItemID() <= gap.from || page.firstItemID() >= gap.to) continue;
                std::vector<std::pair<std::uint32_t, std::uint64_t>> items;
                if (text) {
                    for (std::uint32_t i = 0; i < page.itemCount(); ++i) {
                        const std::uint32_t offset = page.firstItemOffset() + i * TextInElement::FixedSize;
                        items.push_back({offset, 0});
                    }
                } else {
                    for (const Frame& frame : framesOf(page)) items.push_back({frame.offset, frame.end - frame.offset});
                }
                for (const auto& [offset, size] : items) {
                    TimelineElement element;
                    if (text) {
                        TextInElement record;
                        record.readAt(page.buffer(), offset);
                        element.setMediaType(3);
                        element.setFrameIndex(record.frameIndex());
                        element.setGopID(record.gopID());
                        element.setChannelMask(record.channelMask());
                        element.setLinkedChannelMask(record.linkedChannelMask());
                        element.setDateTime(record.dateTime());
                        element.setMediaID(record.mediaID());
                        element.setTotalSize(TextInElement::FixedSize);
                    } else {
                        MediaElement frame;
                        frame.readAt(page.buffer(), offset);
                        element.setMediaType(frame.mediaType());
                        element.setFrameIndex(frame.frameIndex());
                        element.setGopID(frame.gopID());
                        element.setChannelMask(frame.channelMask());
                        element.setLinkedChannelMask(frame.linkedChannelMask());
                        element.setDateTime(frame.dateTime());
                        element.setMediaID(frame.mediaID());
                        element.setTotalSize(static_cast<std::uint32_t>(size));
                    }
                    if (element.mediaID() <= gap.from || element.mediaID() >= gap.to) continue;
                    element.setMediaPosition(PagePosition{number, offset});
                    held.push_back(Held{element.mediaID(), PagePosition{number, offset}, element});
                }
            }
        }
        std::sort(held.begin(), held.end(), [](const Held& a, const Held& b) { return a.id < b.id; });
        // Which frames the timeline indexes: key frames, text-in records, and
        // frames that continue the group of pictures of their channel.
        std::vector<TimelineElement> elements;
        for (Held& frame : held) {
            TimelineElement& element = frame.element;
            const std::uint32_t mask = element.channelMask().word();
            const auto group = gap.groups.find(mask);
            const bool indexed = element.mediaType() == 3 || element.frameIndex() == 0 ||
                                 (group != gap.groups.end() && group->second.first == element.gopID() &&
                                  group->second.second + 1 == element.frameIndex());
            if (!indexed) continue;
            if (element.mediaType() == 0) gap.groups[mask] = {element.gopID(), element.frameIndex()};
            elements.push_back(element);
        }
        if (elements.empty()) {
            gap.filled = true;
            continue;
        }
        const std::uint32_t capacity = (_superBlock.pageSize() - Page::IndexData) / TimelineElement::FixedSize;
        if (elements.size() > capacity) {
            continue;  // More than one page ever held: left to the loss report.
        }
        const std::uint32_t number = takeFreePage();
        if (number == 0) {
            continue;
        }
        Page before(&_superBlock, &_cache);
        Page after(&_superBlock, &_cache);
        if (gap.pageBefore != 0) before.load(gap.pageBefore, false);
        after.load(gap.pageAfter, false);
        Page fresh(&_superBlock, &_cache);
        fresh.format(PageType::Timeline, number, TimelineElement::FixedSize, gap.pageBefore,
                     gap.pageBefore != 0 ? before.checksum() : 0);
        std::uint32_t mask = 0;
        std::map<std::pair<std::uint16_t, std::uint32_t>, PagePosition> last;
        for (std::size_t i = 0; i < elements.size(); ++i) {
            TimelineElement& element = elements[i];
            const std::pair<std::uint16_t, std::uint32_t> key{element.mediaType(), element.channelMask().word()};
            const auto previous = gap.previous.find(key);
            element.setPreviousPosition(previous == gap.previous.end() ? PagePosition{} : previous->second);
            const PagePosition at{number, Page::IndexData + static_cast<std::uint32_t>(i) * TimelineElement::FixedSize};
            element.writeAt(fresh.buffer(), at.offset);
            gap.previous[key] = at;
            last[key] = at;
            _filledAt[element.mediaID()] = at;
            if (element.marksChannel()) mask |= element.channelMask().word();
        }
        fresh.setItemCount(static_cast<std::uint32_t>(elements.size()));
        fresh.setFirstItemOffset(Page::IndexData);
        fresh.setLastItemOffset(Page::IndexData + static_cast<std::uint32_t>(elements.size() - 1) * TimelineElement::FixedSize);
        fresh.setFirstItemID(elements.front().mediaID());
        fresh.setLastItemID(elements.back().mediaID());
        fresh.setChannelMask(BitMask32(mask));
        fresh.setTimeStamp(after.timeStamp());
        fresh.setNext(gap.pageAfter);
        fresh.setNextChecksum(after.checksum());
        fresh.save();
        if (gap.pageBefore != 0) {
            before.setNext(number);
            before.setNextChecksum(fresh.checksum());
            before.save();
        } else {
            _superBlock.setTrackFirst(PageType::Timeline, number, fresh.checksum());
        }
        after.setPrevious(number);
        after.setPreviousChecksum(fresh.checksum());
        after.save();
        auto& pages = chain->second;
        pages.insert(std::find(pages.begin(), pages.end(), gap.pageAfter), number);
        _filledLast[number] = last;
        gap.filled = true;
        act("TIML: page " + std::to_string(number) + " indexes anew the " + std::to_string(elements.size()) +
            " frames whose elements were on a damaged page (media IDs " + std::to_string(gap.from + 1) + "~" +
            std::to_string(gap.to - 1) + ")");
    }
}

void StorageRepairer::Work::loseUnindexed() {
    // Frames still held whose timeline elements were on a damaged page.
    closeRanges();
    if (_indexGaps.empty()) {
        return;
    }
    Page page(&_superBlock, &_cache);
    MediaElement frame;
    TimelineElement element;
    for (const IndexGap& gap : _indexGaps) {
        if (gap.filled) {
            continue;
        }
        const std::uint64_t from = gap.from;
        const std::uint64_t to = gap.to;
        for (const char* name : {"MDEA", "PEVT"}) {
            const auto chain = _chains.find(name);
            if (chain == _chains.end()) continue;
            for (std::uint32_t number : chain->second) {
                page.load(number, true);
                if (page.itemCount() == 0 || page.lastItemID() <= from || page.firstItemID() >= to) continue;
                for (const Frame& held : framesOf(page)) {
                    if (held.id <= from || held.id >= to) continue;
                    frame.readAt(page.buffer(), held.offset);
                    element.setMediaType(frame.mediaType());
                    element.setChannelMask(frame.channelMask());
                    element.setDateTime(frame.dateTime());
                    lose(element);
                }
            }
        }
        closeRanges();
    }
}

PagePosition StorageRepairer::Work::resolve(PagePosition position) const {
    for (std::size_t guard = 0; guard <= _removed.size(); ++guard) {
        const auto removed = _removed.find(keyOf(position));
        if (removed == _removed.end()) break;
        position = removed->second;
    }
    const auto moved = _moved.find(keyOf(position));
    if (moved != _moved.end()) {
        position = moved->second;
    }
    return position;
}

void StorageRepairer::Work::relinkTimelinePrevious() {
    const auto chain = _chains.find("TIML");
    if (chain == _chains.end() || (_removed.empty() && _moved.empty() && _changed.count("TIML") == 0)) {
        return;
    }
    const std::set<std::uint32_t> pages(chain->second.begin(), chain->second.end());
    Page page(&_superBlock, &_cache);
    TimelineElement element;
    // The elements a new page holds are where those after it that pointed
    // into the damaged page now point.
    std::map<std::pair<std::uint16_t, std::uint32_t>, PagePosition> recent;
    for (std::uint32_t number : chain->second) {
        const auto filled = _filledLast.find(number);
        if (filled != _filledLast.end()) {
            recent = filled->second;
            continue;
        }
        page.load(number, false);
        bool changed = false;
        for (std::uint32_t i = 0; i < page.itemCount(); ++i) {
            const std::uint32_t offset = page.firstItemOffset() + i * TimelineElement::FixedSize;
            element.readAt(page.buffer(), offset);
            PagePosition previous = resolve(element.previousPosition());
            if (!previous.isNull() && pages.count(previous.number) == 0) {
                const auto at = recent.find({element.mediaType(), element.channelMask().word()});
                previous = at == recent.end() ? PagePosition{} : at->second;
            }
            if (!(previous == element.previousPosition())) {
                element.setPreviousPosition(previous);
                element.writeAt(page.buffer(), offset);
                changed = true;
            }
        }
        if (changed) {
            page.save();
        }
    }
}

void StorageRepairer::Work::compactEvents() {
    const auto chain = _chains.find("EVNT");
    if (chain == _chains.end()) {
        return;
    }
    const auto timeline = _chains.find("TIML");
    const std::set<std::uint32_t> timelinePages =
        timeline == _chains.end() ? std::set<std::uint32_t>{}
                                  : std::set<std::uint32_t>(timeline->second.begin(), timeline->second.end());
    Page page(&_superBlock, &_cache);
    Page lookup(&_superBlock, &_cache);
    EventElement event;
    TimelineElement element;
    std::uint64_t dropped = 0;
    for (std::uint32_t number : chain->second) {
        page.load(number, false);
        const std::uint32_t first = page.firstItemOffset();
        std::vector<EventElement> kept;
        bool changed = false;
        for (std::uint32_t i = 0; i < page.itemCount(); ++i) {
            event.readAt(page.buffer(), first + i * EventElement::FixedSize);
            const bool gone = _removed.count(keyOf(event.timelinePos())) != 0;
            PagePosition position = gone ? PagePosition{} : resolve(event.timelinePos());
            if (!gone && timelinePages.count(position.number) == 0) {
                const auto filled = _filledAt.find(event.mediaID());
                if (filled != _filledAt.end()) position = filled->second;
            }
            bool valid = false;
            if (!gone && timelinePages.count(position.number) != 0) {
                lookup.load(position.number, true);
                if (lookup.itemCount() > 0 && position.offset >= lookup.firstItemOffset() &&
                    position.offset <= lookup.lastItemOffset()) {
                    element.readAt(lookup.buffer(), position.offset);
                    valid = element.mediaID() == event.mediaID() && element.dateTime() == event.dateTime();
                }
            } else if (!gone && event.mediaID() < _checker.firstTimelineID()) {
                valid = true;  // Older than the oldest frame kept: left as the overwrite leaves it.
            }
            if (!valid) {
                ++dropped;
                changed = true;
                continue;
            }
            if (!(position == event.timelinePos())) {
                event.setTimelinePos(position);
                changed = true;
            }
            kept.push_back(event);
        }
        if (!changed) {
            continue;
        }
        std::uint32_t mask = 0;
        for (std::size_t i = 0; i < kept.size(); ++i) {
            kept[i].writeAt(page.buffer(), first + static_cast<std::uint32_t>(i) * EventElement::FixedSize);
            mask |= kept[i].channelMask().word();
        }
        setBounds(page, first, EventElement::FixedSize, kept.size(),
                  kept.empty() ? 0 : kept.front().mediaID(), kept.empty() ? 0 : kept.back().mediaID(), mask);
    }
    if (dropped > 0) {
        act("EVNT: " + std::to_string(dropped) + " events whose frames are no longer held taken out");
    }
}

void StorageRepairer::Work::mendRecordingTable() {
    const auto chain = _chains.find("RTBL");
    if (chain == _chains.end()) {
        return;
    }
    bool rebuild = _rebuildTable || _changed.count("RTBL") != 0 || _changed.count("TIML") != 0;
    for (const IntegrityFinding& finding : _checker.findings()) {
        rebuild = rebuild || finding.track == "RTBL";
    }
    Page page(&_superBlock, &_cache);
    RecordingTableElement entry;
    if (!rebuild) {
        for (std::uint32_t number : chain->second) {
            page.load(number, true);
            for (std::uint32_t i = 0; i < page.itemCount() && !rebuild; ++i) {
                entry.readAt(page.buffer(), page.firstItemOffset() + i * RecordingTableElement::FixedSize);
                rebuild = _removed.count(keyOf(entry.position())) != 0 || _moved.count(keyOf(entry.position())) != 0;
            }
        }
        page.release();
    }
    if (!rebuild) {
        return;
    }
    // The storage's recovery builds the table anew from the timeline.
    _release.insert(chain->second.begin(), chain->second.end());
    _superBlock.removeTrack(PageType::RecordingTable);
    _chains.erase(chain);
    act("RTBL: rebuilt from the timeline");
}

void StorageRepairer::Work::rewriteFreeList() {
    const std::uint32_t pages = _superBlock.pageCount();
    std::vector<bool> used(std::size_t{pages} + 1, false);
    for (const auto& [name, chain] : _chains) {
        for (std::uint32_t number : chain) used[number] = true;
    }
    for (std::uint32_t number : _quarantine) used[number] = true;
    for (std::uint32_t number : _checker.badPages()) used[number] = true;
    for (std::uint32_t number : _taken) used[number] = true;
    std::optional<TrackListItem> entry = _superBlock.findTrack(PageType::FreePageList);
    std::uint32_t listPage = entry ? entry->firstPage() : 0;
    if (listPage == 0 || _quarantine.count(listPage) != 0 || !_superBlock.isValidPageNumber(listPage)) {
        listPage = 0;
        for (std::uint32_t number = 1; number <= pages && listPage == 0; ++number) {
            if (!used[number]) listPage = number;
        }
        if (listPage == 0) {
            throw VarnelException(VarnelException::StorageCorrupted, "no page left for the free-page list");
        }
        act("FREE: the free-page list moves to page " + std::to_string(listPage));
    }
    used[listPage] = true;
    std::uint32_t freed = 0;
    for (std::uint32_t number : _release) {
        if (!used[number]) ++freed;
    }
    FreePageListPage list(&_superBlock, &_cache);
    if (entry && entry->firstPage() == listPage) {
        list.load(listPage, false);
        list.reset();
    } else {
        list.format(PageType::FreePageList, listPage, 8, 0, 0);
    }
    for (std::uint32_t number = 1; number <= pages; ++number) {
        if (used[number]) continue;
        std::uint32_t last = number;
        while (last < pages && !used[last + 1]) ++last;
        list.addInterval(number, last, 0);
        number = last;
    }
    list.save();
    _superBlock.setTrackFirst(PageType::FreePageList, listPage, list.checksum());
    _superBlock.setTrackLast(PageType::FreePageList, listPage, list.checksum());
    list.release();
    if (freed > 0) {
        act("FREE: " + std::to_string(freed) + " pages no track holds given back to the free list");
    }
}

StorageRepairer::StorageRepairer(IStorageFile& file) : StorageRepairer(file, RepairJournal::pathFor(file)) {}

StorageRepairer::StorageRepairer(IStorageFile& file, std::string journalPath)
    : _file(file), _journalPath(std::move(journalPath)) {}

bool StorageRepairer::run() {
    _problem.clear();
    _actions.clear();
    _lost.clear();
    _quarantined.clear();
    _hadFindings = false;
    RepairJournal journal(_journalPath);
    try {
        if (journal.replay(_file)) {
            _actions.push_back("an interrupted repair was finished");
        }
    } catch (const Exception& e) {
        _problem = "an interrupted repair could not be finished: " + e.messageText();
        return false;
    }
    // Everything below writes to the overlay: the file changes only once the
    // result passed the full check, in one journaled step, and a repair that
    // fails leaves it as it was.
    OverlayStorageFile overlay(_file);
    if (!repair(overlay)) {
        return false;
    }
    try {
        journal.commit(_file, overlay);
    } catch (const Exception& e) {
        _problem = "the repair could not be written: " + e.messageText() +
                   (journal.path().empty() ? "" : " (the next open for writing finishes it)");
        return false;
    }
    return true;
}

bool StorageRepairer::repair(IStorageFile& file) {
    IntegrityChecker checker(file);
    if (checker.run()) {
        _hadFindings = false;
        return true;
    }
    _hadFindings = true;
    if (!checker.hasSuperBlock()) {
        _problem = checker.findings().empty() ? "the superblock is damaged" : checker.findings().front().problem;
        return false;
    }
    // An unfinished transaction is rolled back first, by the storage itself.
    for (const IntegrityFinding& finding : checker.findings()) {
        if (finding.track == "JNAL" && !finding.damagesPage) {
            FixedSizeFileStorage storage(
                [&file](const std::string&, bool) { return std::make_unique<BorrowedFile>(file); });
            try {
                if (storage.open(file.path(), true, Storage::CorrectionAndRecovery)) {
                    storage.close(true);
                }
            } catch (const Exception&) {
            }
            if (checker.run()) {
                _actions.push_back("JNAL: the unfinished transaction was rolled back");
                return true;
            }
            break;
        }
    }
    // A recording table that misdescribes its timeline is built again.
    bool rebuildTable = false;
    {
        FixedSizeFileStorage storage([&file](const std::string&, bool) { return std::make_unique<BorrowedFile>(file); },
                                     FixedSizeFileStorage::Access::ReadOnly);
        try {
            if (storage.open(file.path(), false, Storage::CheckOnly)) {
                RecordingTableVerifier verifier(storage);
                rebuildTable = !verifier.verify(RecordingTableVerifier::Depth::Full);
                storage.close(false);
            }
        } catch (const Exception&) {
        }
    }
    std::set<std::uint32_t> quarantine;
    try {
        Work work(*this, file, checker, rebuildTable);
        work.run();
        quarantine = work.quarantine();
    } catch (const Exception& e) {
        _problem = "repair failed: " + e.messageText();
        return false;
    }
    FixedSizeFileStorage storage([&file](const std::string&, bool) { return std::make_unique<BorrowedFile>(file); });
    try {
        if (!storage.open(file.path(), true, Storage::CorrectionAndRecovery)) {
            _problem = "the mended storage does not open";
            return false;
        }
        for (std::uint32_t page : quarantine) {
            storage.addBadPage(page);
            _quarantined.push_back(page);
        }
        if (!_quarantined.empty()) {
            std::string list;
            for (std::uint32_t page : _quarantined) list += (list.empty() ? "" : ", ") + std::to_string(page);
            _actions.insert(_actions.begin(),
                            std::string(_quarantined.size() == 1 ? "BAD: page " : "BAD: pages ") + list +
                                " taken out of use");
        }
        if (!storage.close(true)) {
            _problem = "the mended storage does not close cleanly";
            return false;
        }
    } catch (const Exception& e) {
        _problem = "the mended storage: " + e.messageText();
        return false;
    }
    if (!checker.run()) {
        _problem = "still damaged: " + (checker.findings().empty() ? std::string("?") : checker.findings().front().toString());
        return false;
    }
    return true;
}

} // namespace ostrel
