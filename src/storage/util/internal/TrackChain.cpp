#include "storage/util/internal/TrackChain.h"

#include "base/Exception.h"
#include "storage/pager/PageCache.h"
#include "storage/pager/SuperBlock.h"

#include <algorithm>

namespace ostrel {

std::string trackName(const PageType& type) {
    std::string name = type.toString();
    name.erase(std::remove(name.begin(), name.end(), '\0'), name.end());
    return name;
}

TrackChain::TrackChain(Shared& shared, const TrackListItem& entry, std::uint8_t mark)
    : _shared(shared),
      _entry(entry),
      _mark(mark),
      _name(trackName(entry.type())),
      _current(std::make_unique<Page>(shared.superBlock, shared.cache)),
      _candidate(std::make_unique<Page>(shared.superBlock, shared.cache)) {}

TrackChain::~TrackChain() = default;

bool TrackChain::isOurs(std::uint32_t number) const {
    return number < _shared.owner.size() && _shared.owner[number] == _mark;
}

void TrackChain::finding(std::uint32_t number, std::uint32_t offset, const std::string& problem) {
    _whole = false;
    if (_shared.report) {
        _shared.report(IntegrityFinding{number, offset, _name, problem, false});
    }
}

void TrackChain::damage(std::uint32_t number, std::uint32_t offset, const std::string& problem) {
    _whole = false;
    if (number == 0 || _shared.damaged.count(number) != 0) {
        return;
    }
    _shared.damaged.insert(number);
    _damagedHere.push_back(number);
    if (number < _shared.owner.size()) {
        _shared.owner[number] = _mark;
    }
    // Out of the segment that holds it, which splits there.
    for (std::size_t s = 0; s < _segments.size(); ++s) {
        auto& segment = _segments[s];
        const auto at = std::find(segment.begin(), segment.end(), number);
        if (at == segment.end()) {
            continue;
        }
        std::vector<std::uint32_t> after(at + 1, segment.end());
        segment.erase(at, segment.end());
        if (!after.empty()) {
            _segments.insert(_segments.begin() + static_cast<std::ptrdiff_t>(s) + 1, std::move(after));
        }
        if (segment.empty()) {
            _segments.erase(_segments.begin() + static_cast<std::ptrdiff_t>(s));
        }
        break;
    }
    if (_shared.report) {
        _shared.report(IntegrityFinding{number, offset, _name, problem, true});
    }
}

void TrackChain::markDamaged(std::uint32_t number, std::uint32_t offset, const std::string& problem) {
    damage(number, offset, problem);
    // What follows does not continue a page that leaves the track.
    _segments.emplace_back();
}

void TrackChain::markEarlierDamaged(std::uint32_t number, std::uint32_t offset, const std::string& problem) {
    const bool wasLast = !_segments.empty() && !_segments.back().empty() && _segments.back().back() == number;
    damage(number, offset, problem);
    if (wasLast) {
        _segments.emplace_back();
    }
}

bool TrackChain::load(Page& page, std::uint32_t number) {
    try {
        page.load(number, true);
    } catch (const Exception& e) {
        page.release();
        damage(number, 0, "cannot be read: " + e.messageText());
        return false;
    }
    if (_shared.pageRead) {
        _shared.pageRead(page.pageSize());
    }
    return true;
}

std::string TrackChain::identityProblem(Page& page, std::uint32_t number) {
    if (!(page.type() == _entry.type())) {
        return "type \"" + trackName(page.type()) + "\" where \"" + _name + "\" was expected";
    }
    if (page.superChecksum() != _shared.superBlock->checksum()) {
        return "stamped for another format of the file (super checksum)";
    }
    if (page.checksum() == Page::InvalidPageChecksum) {
        return "has no checksum";
    }
    if (_entry.type() == PageType::FreePageList || _entry.type() == PageType::Log) {
        // Rings: the head may lie after the tail.
        const std::uint32_t size = page.pageSize();
        const std::uint32_t itemSize = page.itemSize();
        if (itemSize == 0 || itemSize > size - Page::IndexData || page.firstItemOffset() < Page::IndexData ||
            page.firstItemOffset() >= size || page.lastItemOffset() < Page::IndexData ||
            page.lastItemOffset() >= size || page.itemCount() > (size - Page::IndexData) / itemSize) {
            return "ring header does not fit the page";
        }
    } else {
        try {
            page.checkHeader();
        } catch (const Exception& e) {
            return "header does not fit the page: " + e.messageText();
        }
    }
    (void)number;
    return {};
}

Page* TrackChain::accept(bool startsSegment) {
    std::swap(_current, _candidate);
    const std::uint32_t number = _current->pageNumber();
    _shared.owner[number] = _mark;
    if (startsSegment || _segments.empty()) {
        if (_segments.empty() || !_segments.back().empty()) {
            _segments.emplace_back();
        }
    }
    _segments.back().push_back(number);
    _startsSegment = startsSegment;
    _last = number;
    return _current.get();
}

Page* TrackChain::next() {
    switch (_phase) {
    case Phase::Start:
        return startForward();
    case Phase::Forward:
        return forward();
    case Phase::Tail:
        return nextOfTail();
    default:
        return nullptr;
    }
}

Page* TrackChain::startForward() {
    _phase = Phase::Forward;
    _whole = true;
    const std::uint32_t number = _entry.firstPage();
    SuperBlock& sb = *_shared.superBlock;
    if (!sb.isValidPageNumber(number)) {
        finding(0, 0, "the track list names first page " + std::to_string(number) + ", outside the file");
    } else if (_shared.owner[number] != 0) {
        finding(number, 0, "the track list names this page as the first page, but another track holds it");
    } else if (load(*_candidate, number)) {
        const std::string problem = identityProblem(*_candidate, number);
        if (!problem.empty()) {
            if (_candidate->type() == _entry.type()) {
                damage(number, 0, problem);
                return skipOver();
            }
            finding(number, 0, "the track list names this page as the first page, but it " + problem);
        } else {
            Page& page = *_candidate;
            if (page.checksum() != _entry.firstPageChecksum()) {
                // Which side is wrong: the page's stamp, or the track list's copy of it?
                Page after(_shared.superBlock, _shared.cache);
                bool confirmed = false;
                if (page.next() != 0 && sb.isValidPageNumber(page.next())) {
                    try {
                        after.load(page.next(), true);
                        confirmed = after.previousChecksum() == page.checksum() && after.previous() == number;
                    } catch (const Exception&) {
                    }
                } else if (number == _entry.lastPage()) {
                    confirmed = page.checksum() == _entry.lastPageChecksum();
                }
                if (!confirmed) {
                    damage(number, 60, "checksum differs from the track list's and from its neighbour's link");
                    return skipOver();
                }
                finding(0, 0, "the track list's first-page checksum does not match page " + std::to_string(number));
            }
            if (page.previous() != 0 || page.previousChecksum() != 0) {
                finding(number, 8, "the track's first page links back to page " + std::to_string(page.previous()));
            }
            return accept(true);
        }
    }
    collectTail();
    return nextOfTail();
}

Page* TrackChain::skipOver() {
    // _candidate holds a damaged page of this track: go on with the page
    // after it when that page still links back to it.
    const std::uint32_t damaged = _candidate->pageNumber();
    const std::uint32_t after = _candidate->next();
    SuperBlock& sb = *_shared.superBlock;
    if (after != 0 && sb.isValidPageNumber(after) && _shared.owner[after] == 0 && load(*_candidate, after) &&
        identityProblem(*_candidate, after).empty() && _candidate->previous() == damaged) {
        return accept(true);
    }
    _candidate->release();
    collectTail();
    return nextOfTail();
}

Page* TrackChain::forward() {
    Page& a = *_current;
    SuperBlock& sb = *_shared.superBlock;
    const std::uint32_t from = a.pageNumber();
    const std::uint32_t number = a.next();
    if (number == 0) {
        if (from == _entry.lastPage()) {
            if (a.checksum() != _entry.lastPageChecksum()) {
                finding(0, 0, "the track list's last-page checksum does not match page " + std::to_string(from));
            }
            if (a.nextChecksum() != Page::InvalidPageChecksum) {
                finding(from, 68, "the track's last page keeps a next checksum");
            }
            _phase = Phase::Done;
            return nullptr;
        }
        if (_shared.damaged.count(from) == 0) {
            finding(from, 12,
                    "the chain ends here, but the track list names page " + std::to_string(_entry.lastPage()) +
                        " as its last page");
        }
        collectTail();
        return nextOfTail();
    }
    if (!sb.isValidPageNumber(number)) {
        damage(from, 12, "next page " + std::to_string(number) + " lies outside the file");
    } else if (isOurs(number)) {
        if (_shared.damaged.count(number) == 0) {
            damage(from, 12, "next page " + std::to_string(number) + " is already part of this track (a loop)");
        }
    } else if (_shared.owner[number] != 0) {
        damage(from, 12, "next page " + std::to_string(number) + " belongs to another track");
    } else if (load(*_candidate, number)) {
        Page& b = *_candidate;
        const std::string problem = identityProblem(b, number);
        if (!problem.empty()) {
            if (b.type() == _entry.type()) {
                damage(number, 0, problem);
                return skipOver();
            }
            // Either this page's header was destroyed or the link to it was:
            // the tail of the chain tells which.
            _suspect = number;
            _suspectFrom = from;
            _suspectProblem = problem;
        } else {
            const bool nextMatches = a.nextChecksum() == b.checksum();
            const bool backNumber = b.previous() == from;
            const bool backMatches = b.previousChecksum() == a.checksum();
            if (nextMatches && backNumber && backMatches) {
                return accept(false);
            }
            bool blameA = false;
            std::string what;
            if (!nextMatches && backNumber && backMatches) {
                // Either a's copy of b's stamp or b's stamp itself changed:
                // b's own successor (or the track list) tells which.
                bool confirmed = false;
                if (b.next() != 0 && sb.isValidPageNumber(b.next())) {
                    Page after(_shared.superBlock, _shared.cache);
                    try {
                        after.load(b.next(), true);
                        confirmed = after.previousChecksum() == b.checksum() && after.previous() == number;
                    } catch (const Exception&) {
                    }
                } else if (number == _entry.lastPage()) {
                    confirmed = b.checksum() == _entry.lastPageChecksum();
                }
                blameA = confirmed;
                what = confirmed ? "next checksum does not match page " + std::to_string(number)
                                 : "checksum does not match the link from page " + std::to_string(from);
            } else if (!backNumber && nextMatches && backMatches) {
                what = "previous page " + std::to_string(b.previous()) + " where " + std::to_string(from) +
                       " links to it";
            } else if (!backMatches && nextMatches && backNumber) {
                what = "previous checksum does not match page " + std::to_string(from);
            } else {
                what = "does not continue page " + std::to_string(from) + " (links and checksums differ)";
            }
            if (blameA) {
                damage(from, 68, what);
                return accept(true);
            }
            damage(number, backMatches ? 60 : 64, what);
            return skipOver();
        }
    }
    _candidate->release();
    collectTail();
    return nextOfTail();
}

void TrackChain::collectTail() {
    _phase = Phase::Tail;
    _tail.clear();
    _tailIndex = 0;
    SuperBlock& sb = *_shared.superBlock;
    const std::uint32_t lastPage = _entry.lastPage();
    if (!sb.isValidPageNumber(lastPage)) {
        finding(0, 0, "the track list names last page " + std::to_string(lastPage) + ", outside the file");
        return;
    }
    if (isOurs(lastPage)) {
        blameSuspect(0);
        return;
    }
    if (lastPage == _suspect) {
        // Both the page before it and the track list name it.
        blameSuspect(lastPage);
        return;
    }
    if (_shared.owner[lastPage] != 0) {
        finding(lastPage, 0, "the track list names this page as the last page, but another track holds it");
        return;
    }
    Page page(_shared.superBlock, _shared.cache);
    if (!load(page, lastPage)) {
        blameSuspect(0);
        return;
    }
    std::uint32_t current = lastPage;
    std::string problem = identityProblem(page, lastPage);
    if (!problem.empty()) {
        if (!(page.type() == _entry.type())) {
            finding(lastPage, 0, "the track list names this page as the last page, but it " + problem);
            blameSuspect(0);
            return;
        }
        damage(lastPage, 0, problem);
        // The page before it may still be sound.
        const std::uint32_t before = page.previous();
        if (before == 0 || !sb.isValidPageNumber(before) || _shared.owner[before] != 0 || !load(page, before) ||
            !identityProblem(page, before).empty() || page.next() != lastPage) {
            blameSuspect(0);
            return;
        }
        current = before;
    } else {
        if (page.checksum() != _entry.lastPageChecksum()) {
            finding(0, 0, "the track list's last-page checksum does not match page " + std::to_string(lastPage));
        }
        if (page.next() != 0 || page.nextChecksum() != Page::InvalidPageChecksum) {
            finding(lastPage, 12, "the track's last page links on to page " + std::to_string(page.next()));
        }
    }
    std::vector<std::uint32_t> pages{current};
    _shared.owner[current] = _mark;
    std::uint32_t checksum = page.checksum();
    std::uint32_t previous = page.previous();
    std::uint32_t previousChecksum = page.previousChecksum();
    while (previous != 0 && sb.isValidPageNumber(previous) && _shared.owner[previous] == 0) {
        Page before(_shared.superBlock, _shared.cache);
        if (!load(before, previous)) {
            break;
        }
        problem = identityProblem(before, previous);
        if (!problem.empty()) {
            if (before.type() == _entry.type()) {
                damage(previous, 0, problem);
            }
            break;
        }
        if (before.next() != current || before.nextChecksum() != checksum ||
            previousChecksum != before.checksum()) {
            break;
        }
        pages.push_back(previous);
        _shared.owner[previous] = _mark;
        current = previous;
        checksum = before.checksum();
        previous = before.previous();
        previousChecksum = before.previousChecksum();
    }
    // The break between the forward walk and this tail: a page that both
    // sides name but neither reached is the damaged one; when the tail links
    // back to the forward walk's end, that page's next link is what changed.
    if (_suspect != 0) {
        blameSuspect(previous);
    } else if (previous != 0 && previous == _last && _last != 0) {
        damage(_last, 12, "next link does not name page " + std::to_string(current) + ", which links back to it");
    } else if (previous != 0 && sb.isValidPageNumber(previous) && _shared.owner[previous] == 0) {
        Page gap(_shared.superBlock, _shared.cache);
        if (load(gap, previous) && gap.type() == _entry.type()) {
            damage(previous, 0, "page " + std::to_string(current) + " links back to it, but it does not continue the chain");
        }
    }
    std::reverse(pages.begin(), pages.end());
    _tail = std::move(pages);
}

void TrackChain::blameSuspect(std::uint32_t namedByTail) {
    if (_suspect == 0) {
        return;
    }
    if (namedByTail == _suspect) {
        damage(_suspect, 0, _suspectProblem + " (pages " + std::to_string(_suspectFrom) + " and after it name it)");
    } else {
        damage(_suspectFrom, 12,
               "next page " + std::to_string(_suspect) + " is not a page of this track: it " + _suspectProblem);
    }
    _suspect = 0;
}

Page* TrackChain::nextOfTail() {
    while (_tailIndex < _tail.size()) {
        const std::uint32_t number = _tail[_tailIndex];
        const bool first = _tailIndex == 0;
        ++_tailIndex;
        if (_shared.damaged.count(number) != 0) {
            continue;
        }
        if (load(*_candidate, number)) {
            return accept(first);
        }
    }
    _phase = Phase::Done;
    return nullptr;
}

} // namespace ostrel
