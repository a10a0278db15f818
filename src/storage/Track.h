#pragma once

#include "storage/PagePosition.h"
#include "storage/pager/Page.h"
#include "storage/pager/PageType.h"

#include <cstdint>
#include <functional>
#include <string>

namespace ostrel {

class FreePageList;
class IPageInitializer;
class IRecordable;
class Storage;

// A chain of pages of one type holding items in write order: what every
// track of a storage has in common. A track is opened from its last page
// (the track-list entry gives the first one). Appending writes the item's
// fixed part into the current page, or into a newly chained page when it
// does not fit; a payload that does not fit continues at the start of the
// next page. The beginning is trimmed by `overwrite`, the end by
// `truncateAfter`; every multi-page change runs as a journaled transaction.
//
// One thread writes a track. Readers walk it with their own TrackIterator;
// the current page is locked while its bytes change, so a reader's copy of
// it never shows half an item.
class Track {
public:
    Track();
    virtual ~Track();
    Track(const Track&) = delete;
    Track& operator=(const Track&) = delete;

    // Removes every item (overwrite with the largest media ID).
    virtual void clear();
    // Removes every item whose media ID is below `before` from the
    // beginning; answers whether anything was removed. Tracks bind it to the
    // shared algorithm with their own item class.
    virtual bool overwrite(std::uint64_t before);
    // Chains a new page after the current one and makes it current.
    virtual Page& appendPage(IPageInitializer* initializer);
    // A free page for this track (the storage may overwrite old data first).
    virtual std::uint32_t allocatePage();
    // Loads page `number` into the current page object.
    virtual void loadPage(std::uint32_t number);
    virtual PageType pageType() const = 0;
    virtual std::uint32_t itemSize() const = 0;
    // Opens the track over `storage` from `lastPage` (0: the track is empty).
    virtual void init(Storage& storage, bool forWrite, std::uint32_t lastPage);
    // Flushes when asked (an I/O failure then answers false) and lets go of
    // every page.
    virtual bool close(bool flush);
    // Removes every item whose media ID is above `after` from the end.
    virtual void truncateAfter(std::uint64_t after, IRecordable& item);
    // Appends the item; answers the position of its fixed part.
    virtual PagePosition write(IRecordable& item);
    // Saves the current page's unsaved changes.
    virtual void flush();
    virtual bool carriesMedia() const { return false; }
    virtual bool isEmpty() const;
    // Reads the item at `position` of `page` (false when it is not an item position).
    virtual bool readAt(Page& page, const PagePosition& position, IRecordable& item);
    // Whether the current page has room for the item's fixed part and payload.
    virtual bool fits(const IRecordable& item) const;

    bool isOpen() const { return _storage != nullptr; }
    bool isWritable() const { return _storage != nullptr && _forWrite; }
    Storage* storage() const { return _storage; }
    // The current page, null when the track has none.
    Page* currentPage() { return _current->isLoaded() ? _current : nullptr; }
    const Page* currentPage() const { return _current->isLoaded() ? _current : nullptr; }
    const PagePosition& cursor() const { return _cursor; }
    std::uint32_t writeOffset() const { return _writeOffset; }
    // Bytes left in the current page after the write cursor (0 without a page).
    std::uint32_t freeRoom() const;
    // Whether `number` is the page an append of this track is filling right
    // now: the storage's overwrite never frees it.
    bool isWritingPage(std::uint32_t number) const;

protected:
    // Chains the allocated page `number` after the current one and makes it
    // current (the second half of appendPage).
    virtual Page& chainPage(std::uint32_t number, IPageInitializer* initializer);
    // The shared trimming of the beginning, with a scratch item of the track.
    bool overwrite(std::uint64_t before, IRecordable& item);
    // Removes the items above `after` from one page (the new last page).
    virtual void removeAfter(Page& page, std::uint64_t after, IRecordable& item);
    // A page object holding page `number` for writing: the current page when
    // it is that page, else the overwrite page.
    Page& loadPageToOverwrite(std::uint32_t number);
    // While the beginning of the track is trimmed, page `from` (on its way
    // out) links to `next`, which does not link back. When `next` does link
    // back to `from` and only `from`'s copy of its checksum changed, `next`
    // is sound: answers it. When the page after `next` still links back to
    // `next`, `next` is the damaged page: it is handed to the storage to be
    // taken out of use (its items are lost) and the page after it is
    // answered. Otherwise null: the chain cannot be picked up again.
    Page* stepOverDamaged(std::uint32_t from, std::uint32_t fromChecksum, std::uint32_t next);
    // The track's first page (from the storage's track list), through
    // loadPageToOverwrite; checked against the track list.
    Page* firstPage();
    // Frees `pagesToFree` and deletes the track from the track list.
    void deleteTrack(FreePageList& pagesToFree);
    // Before `page` is saved inside a transaction: a current page that was
    // never saved is first saved on its own (it leaves the free list).
    void prepareForTransaction(Page& page);
    // Size of the item at `offset` of `page` (the fixed size, or the whole
    // frame for media tracks).
    std::uint32_t stepAt(const Page& page, std::uint32_t offset, IRecordable& item) const;
    // What a rewrite did to one item.
    struct ItemRewrite {
        bool changed = false;
        // The item names the page where the walk ends (after this page).
        bool reachedStop = false;
    };
    // Walks the track backwards from its current page, item by item, and
    // saves every page whose items `rewrite` changed; a page held for the
    // overwrite is changed in place, so that the held copy stays the one
    // written. Ends after the page where an item reached the stop, at the
    // track's first page or at a page without a predecessor; a backward
    // link that is wrong or runs in a circle is StorageCorrupted, named with
    // `trackName` ("the timeline") and `pageName` ("timeline page"). Answers
    // the number of items changed.
    std::uint32_t rewriteBackwards(const std::string& trackName, const std::string& pageName,
                                   const std::function<ItemRewrite(Page& page, std::uint32_t offset)>& rewrite);
    // Loads page `number` into `page` and checks that it is the page the
    // link named: its type and checksum (VarnelException code 4 otherwise).
    void loadLinked(Page& page, std::uint32_t number, std::uint32_t checksum, bool readOnly);
    Page& otherPage() { return _current == &_pages[0] ? _pages[1] : _pages[0]; }
    void requireWritable() const;
    std::uint32_t pageSize() const;

    // Marks the track as appending for the lifetime of the scope.
    class AppendScope {
    public:
        explicit AppendScope(Track& track) : _track(track), _previous(track._appending) { track._appending = true; }
        ~AppendScope() { _track._appending = _previous; }
        AppendScope(const AppendScope&) = delete;
        AppendScope& operator=(const AppendScope&) = delete;

    private:
        Track& _track;
        bool _previous;
    };

    Page _pages[2];
    Page _overwritePage;
    Page* _current = &_pages[0];
    Storage* _storage = nullptr;
    PagePosition _cursor;
    std::uint32_t _writeOffset = 0;
    bool _forWrite = false;
    bool _appending = false;
};

} // namespace ostrel
