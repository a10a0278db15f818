#pragma once

#include "storage/IOverwritePreparer.h"
#include "storage/pager/Page.h"

#include <cstdint>
#include <deque>

namespace ostrel {

// The media track's read-ahead: a scan page read straight from the file
// (header only, never through the page cache) that advances one page per
// appended media page while the queue of page summaries has room. The page
// the media track is writing is never collected.
class OverwritePreparer : public IOverwritePreparer {
public:
    struct Summary {
        std::uint64_t firstMediaID = 0;
        std::uint64_t lastMediaID = 0;
        std::uint32_t reserved = 0;
        std::uint32_t number = 0;
    };

    void init(Storage& storage, std::uint32_t capacity) override;
    void dispose() override;
    void pageAppended() override;
    std::uint32_t complete(std::uint64_t before, FreePageList& pagesToFree) override;
    void collectAll(std::uint64_t before, FreePageList& pagesToFree) override;
    void collectQueued(std::uint64_t before, FreePageList& pagesToFree) override;

    std::size_t queued() const { return _queue.size(); }
    std::uint32_t capacity() const { return _capacity; }
    std::uint32_t scanPage() const { return scan().pageNumber(); }

private:
    // The scan page, and the object its successor's header is read into:
    // a successor that proves to follow becomes the scan page as it was read.
    Page& scan() { return _scanPages[_scanIndex]; }
    const Page& scan() const { return _scanPages[_scanIndex]; }
    Page& probe() { return _scanPages[1 - _scanIndex]; }

    bool advance();
    Summary summary() const;
    bool isProtected(std::uint32_t number) const;

    Storage* _storage = nullptr;
    Page _scanPages[2];
    std::size_t _scanIndex = 0;
    std::deque<Summary> _queue;
    std::uint32_t _capacity = 1;
    // Inside complete(): the overwrite runs, every filled page is on disk,
    // and a successor that does not link back is damage to step over.
    bool _overwriting = false;
};

} // namespace ostrel
