#pragma once

#include "storage/pager/PageType.h"

#include <cstdint>
#include <functional>
#include <string>

namespace ostrel {

class IRecordable;
class Page;
class Storage;
class TrackCorrector;

// Mends the last page of every track at open: a last page whose header does
// not match its last item (a torn or lost save) is replaced by the newest
// page of the chain that is consistent, found through the track that indexes
// it (the recording table for the timeline, the timeline for the media
// track) or by walking the chain from its first page.
class LastPageCorrector {
public:
    LastPageCorrector(Storage& storage, TrackCorrector& tracks) : _storage(storage), _tracks(tracks) {}

    void run();

    // The page that should end the track of `type` (its recorded last page
    // when that is right); 0 when none was found.
    std::uint32_t correctLastPage(const PageType& type);
    bool checkTrackLastPage(const PageType& type);
    // Cuts a last page after its last sound item when the newest items of a
    // save never reached the disk; false when no item of it is sound.
    bool cutTornLastPage(const PageType& type);
    // How many items from the page's first one are present and ascending.
    static std::uint32_t soundItems(const Page& page);
    std::uint32_t findNewLastPageNumberFromTrackFirst(const PageType& type);
    std::uint32_t findNewTimelineLastPage();
    std::uint32_t findNewMediaLastPage();
    void setNewLastPage(const PageType& type, std::uint32_t page);
    // Clears the link of a track's last page to a page that never became
    // part of the track.
    void clearDanglingNext(const PageType& type);

private:
    // The search through the track that indexes `type` (`leader`): after the
    // leader's own last page is made right, its elements are walked from
    // the newest to the first that names (`pageOf`) a page other than the
    // recorded last page of `type` that `accept` takes; 0 when the leader
    // cannot lead or names none.
    std::uint32_t newestPageNamedBy(const PageType& leader, const PageType& type,
                                    const std::function<std::uint32_t(const IRecordable&)>& pageOf,
                                    const std::function<bool(std::uint32_t)>& accept);
    // Walks the chain forward from `page` (which it moves along) until the
    // page `stop`: `newLast` becomes each page reached that is `whole`, while
    // its successor (loaded with the chain checks) `leadsOn`; a missing test
    // passes every page.
    void walkForward(Page& page, std::uint32_t stop, std::uint32_t& newLast,
                     const std::function<bool(const Page&)>& whole, const std::function<bool(const Page&)>& leadsOn);
    std::uint32_t recordedLast(const PageType& type) const;
    std::uint32_t lastPageNumberInSuperBlock(const PageType& type) const;
    bool isMediaPage(std::uint32_t number);
    void addFreePage(std::uint32_t number);
    void deleteTrack(const PageType& type);
    void logEcc(const PageType& type);
    void log(const std::string& text);

    Storage& _storage;
    TrackCorrector& _tracks;
};

} // namespace ostrel
