#pragma once

#include "storage/Track.h"

#include <cstdint>
#include <memory>

namespace ostrel {

class FreePageList;
class IOverwritePreparer;
class MediaElement;

// The recorded frames: 64-byte headers each followed by the frame's payload,
// which may continue into the next page. The oldest pages are freed whole by
// the storage's overwrite, prepared by a read-ahead through the oldest pages.
class MediaTrack : public Track {
public:
    static constexpr std::uint32_t ItemSize = 64;

    MediaTrack();
    ~MediaTrack() override;

    PageType pageType() const override { return PageType::Media; }
    std::uint32_t itemSize() const override { return ItemSize; }
    bool carriesMedia() const override { return true; }

    void init(Storage& storage, bool forWrite, std::uint32_t lastPage) override;
    bool close(bool flush) override;
    // Removes every frame (the page an append is filling stays, empty of
    // older frames).
    void clear() override;
    // Frees the oldest pages whose frames all lie before `before`.
    bool overwrite(std::uint64_t before) override;

    PagePosition write(MediaElement& frame);
    // Removes the frame at `position` and every later frame.
    void truncateAfter(const PagePosition& position);
    // Position of the first frame whose media ID is above `after`, (0, 0)
    // when there is none.
    PagePosition positionAfter(std::uint64_t after);
    IOverwritePreparer* preparer() const { return _preparer.get(); }

protected:
    // Reads ahead through the oldest pages before a page is chained.
    Page& chainPage(std::uint32_t number, IPageInitializer* initializer) override;

private:
    void resetPreparer();
    void cutAt(Page& page, const PagePosition& position);
    // The media pages from the track's first page up to (not including)
    // `stop`, following checked links.
    void collectUpTo(std::uint32_t stop, FreePageList& pages);
    std::uint32_t firstPageByTimeline();
    // Makes `first` the track's first page, freeing `pages`.
    void installFirst(std::uint32_t first, FreePageList& pages);

    std::unique_ptr<IOverwritePreparer> _preparer;
};

} // namespace ostrel
