#pragma once

#include "storage/PagePosition.h"
#include "storage/pager/Page.h"
#include "storage/pager/PageType.h"
#include "storage/pager/TrackListItem.h"

#include <cstdint>
#include <optional>

namespace ostrel {

class IRecordable;
class Storage;

// A cursor over one track with page objects of its own, so that any number
// of readers can walk a track while its writer appends to it and while the
// overwrite frees its oldest pages.
//
// Moving past the newest item answers false and keeps the cursor on that
// item; a later next() sees what the writer appended meanwhile. Moving onto
// a page that the overwrite freed and reused answers false with
// wasOverwritten() set (start again from first()). A broken link anywhere
// else is damage: it is logged and raises VarnelException code 4.
//
// An iterator holds pages of its storage's page cache: it must go before the
// storage is closed.
class TrackIterator {
public:
    TrackIterator(Storage& storage, const PageType& type);
    virtual ~TrackIterator();
    TrackIterator(const TrackIterator&) = delete;
    TrackIterator& operator=(const TrackIterator&) = delete;

    // The loaded page's item size (the fixed part for media tracks).
    virtual std::uint32_t itemSize() const;
    // Size of the item at the cursor (the whole frame for media tracks).
    virtual std::uint32_t currentItemSize();
    // The first item of the track; false (cursor (0, 0)) when it has none.
    virtual bool first();
    // The last item of the track; false (cursor (0, 0)) when it has none.
    virtual bool last();
    // Places the cursor; answers whether it is on an item of this track.
    virtual bool seek(const PagePosition& position);
    virtual bool previous();
    virtual bool next();
    virtual bool isValid() const;
    virtual void read(IRecordable& item);

    const PagePosition& position() const { return _position; }
    const PageType& type() const { return _type; }
    bool wasOverwritten() const { return _overwritten; }
    const Page& page() const { return *_current; }

protected:
    // Moves onto the page after the current one (skipping pages that hold
    // only the rest of a payload); false at the end of the track.
    bool nextPage();
    bool previousPage();
    // One step of the walk of nextPage (`forward`) or previousPage: the page
    // `number`, loaded in `*candidate` through a sound link from `*behind`,
    // becomes the current page when it holds items (the cursor on its first
    // or last item); a page holding only the rest of a payload is passed over
    // (`behind` and `candidate` move on, `hop` being the third page object).
    enum class Reach { Arrived, Overwritten, Onward };
    Reach reach(Page*& behind, Page*& candidate, Page& hop, std::uint32_t number,
                const std::optional<TrackListItem>& start, bool forward);
    // Loads the track's first or `last` page as the current page, again when
    // the writer moved that end meanwhile; false (cursor (0, 0)) when the
    // track has no entry.
    bool loadEnd(bool last);
    // Remembers where the track began when a page is about to be loaded.
    void noteTrackStart();
    // Whether a link that failed may have been broken by the overwrite of
    // the track's beginning since the current page was loaded (rather than
    // being damaged).
    bool isOverwritten();
    // Reloads the current page to see what its writer added since.
    bool refresh();
    // Makes the scratch page the current one.
    void swapIn();
    void checkStep(std::uint32_t offset) const;

    Page& current() { return *_current; }
    const Page& current() const { return *_current; }
    Page& scratch() { return _current == &_pages[0] ? _pages[1] : _pages[0]; }

    Storage& _storage;
    PageType _type;
    PagePosition _position;
    bool _overwritten = false;
    // The track's first page (number and checksum) when the current page was loaded.
    std::uint32_t _startPage = 0;
    std::uint32_t _startChecksum = 0;

private:
    Page _pages[2];
    Page* _current = &_pages[0];
};

} // namespace ostrel
