#include "storage/PreEventTrack.h"

#include "storage/MediaElement.h"

namespace ostrel {

void PreEventTrack::init(Storage& storage, bool forWrite, std::uint32_t lastPage) {
    Track::init(storage, forWrite, lastPage);
    const Page* page = currentPage();
    if (page != nullptr && page->itemCount() > 0) {
        MediaElement last;
        _writeOffset = page->lastItemOffset() + stepAt(*page, page->lastItemOffset(), last);
    }
}

PagePosition PreEventTrack::write(MediaElement& frame) { return Track::write(frame); }

bool PreEventTrack::overwrite(std::uint64_t before) {
    MediaElement scratch;
    return Track::overwrite(before, scratch);
}

void PreEventTrack::truncateAfter(std::uint64_t after) {
    MediaElement scratch;
    Track::truncateAfter(after, scratch);
}

void PreEventTrack::timelinePageSaved(std::uint64_t) {
    // Pre-event frames are never moved into the media track by this system;
    // there is nothing to hand over when a timeline page is saved.
}

} // namespace ostrel
