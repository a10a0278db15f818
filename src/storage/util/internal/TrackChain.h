#pragma once

#include "storage/pager/Page.h"
#include "storage/pager/TrackListItem.h"
#include "storage/util/IntegrityFinding.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace ostrel {

class PageCache;
class SuperBlock;

// Walks the chain of one track page by page in chain order, from the first
// page the track list names, checking every page's identity (type, stamps,
// a header that fits the page) and both sides of every link. Where the chain
// breaks it decides which page is damaged, steps over it when the page after
// it still links back, and otherwise collects the chain's tail backwards from
// the track list's last page. Only pages whose identity holds are handed out;
// the runs of pages that link to each other are kept as segments, so that a
// repair can relink them. One page is held at a time, plus its predecessor.
class TrackChain {
public:
    // What all the chains of one check share.
    struct Shared {
        SuperBlock* superBlock = nullptr;
        PageCache* cache = nullptr;
        // Per page number: 0 when no chain has claimed it, else the mark of the track that did.
        std::vector<std::uint8_t> owner;
        // Pages found damaged, whatever their track.
        std::set<std::uint32_t> damaged;
        std::function<void(const IntegrityFinding&)> report;
        // Called with the page size after every page read.
        std::function<void(std::uint32_t)> pageRead;
    };

    TrackChain(Shared& shared, const TrackListItem& entry, std::uint8_t mark);
    ~TrackChain();
    TrackChain(const TrackChain&) = delete;
    TrackChain& operator=(const TrackChain&) = delete;

    // The next page in chain order, null at the end. The page stays loaded
    // until the next call.
    Page* next();
    // Whether the page next() answered last does not continue the one before
    // it (first page, or the first page after a break).
    bool startsSegment() const { return _startsSegment; }
    // The items of the page next() answered last turned out damaged: it
    // leaves its segment.
    void markDamaged(std::uint32_t number, std::uint32_t offset, const std::string& problem);
    // Marks an earlier page damaged (a neighbour showed that its last item
    // cannot be right): it leaves its segment, which is split there.
    void markEarlierDamaged(std::uint32_t number, std::uint32_t offset, const std::string& problem);

    const TrackListItem& entry() const { return _entry; }
    const std::string& name() const { return _name; }
    // Runs of undamaged pages that link to each other, in chain order.
    const std::vector<std::vector<std::uint32_t>>& segments() const { return _segments; }
    // Whether the walk reached the track list's last page through the links.
    bool isWhole() const { return _whole; }
    // The pages of this track found damaged.
    const std::vector<std::uint32_t>& damaged() const { return _damagedHere; }

private:
    enum class Phase { Start, Forward, Backward, Tail, Done };

    bool load(Page& page, std::uint32_t number);
    // What is wrong with the page as a page of this track, empty when nothing.
    std::string identityProblem(Page& page, std::uint32_t number);
    void damage(std::uint32_t number, std::uint32_t offset, const std::string& problem);
    void finding(std::uint32_t number, std::uint32_t offset, const std::string& problem);
    Page* accept(bool startsSegment);
    Page* forward();
    Page* startForward();
    Page* skipOver();
    // Collects the tail from the last page backwards; answers its first page.
    void collectTail();
    Page* nextOfTail();
    // Decides between a page whose identity is gone and the link to it
    // from the page before: `namedByTail` is what the tail links back to.
    void blameSuspect(std::uint32_t namedByTail);
    bool isOurs(std::uint32_t number) const;

    Shared& _shared;
    TrackListItem _entry;
    std::uint8_t _mark;
    std::string _name;
    Phase _phase = Phase::Start;
    std::unique_ptr<Page> _current;
    std::unique_ptr<Page> _candidate;
    // The page the forward walk accepted last (0 before the first).
    std::uint32_t _last = 0;
    bool _startsSegment = true;
    bool _whole = false;
    std::vector<std::vector<std::uint32_t>> _segments;
    std::vector<std::uint32_t> _tail;
    std::vector<std::uint32_t> _damagedHere;
    std::uint32_t _suspect = 0;
    std::uint32_t _suspectFrom = 0;
    std::string _suspectProblem;
    std::size_t _tailIndex = 0;
};

// The type's four characters, without the zero byte of "BAD".
std::string trackName(const PageType& type);

} // namespace ostrel
