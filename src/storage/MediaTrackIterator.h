#pragma once

#include "storage/TrackIterator.h"

#include <cstdint>
#include <vector>

namespace ostrel {

class MediaElement;

// A TrackIterator over the media (or pre-event) track, whose frames differ
// in size: steps go from frame to frame, and a frame's payload can be read
// back also where it continues into the next page.
class MediaTrackIterator : public TrackIterator {
public:
    explicit MediaTrackIterator(Storage& storage, const PageType& type);

    std::uint32_t currentItemSize() override;
    void read(IRecordable& item) override;
    bool previous() override;
    // The payload of the frame at the cursor. A payload that continues into
    // a page the overwrite has freed meanwhile answers false with
    // wasOverwritten() set; a broken link anywhere else raises VarnelException.
    bool readPayload(std::vector<std::uint8_t>& out);
    // The same, raising VarnelException code 5 when the page was overwritten.
    std::vector<std::uint8_t> readPayload();

private:
    std::uint32_t _currentSize = 0;
};

} // namespace ostrel
