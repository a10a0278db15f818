#pragma once

#include "ostrel-sitesim/RecordingItem.h"
#include "ostrel-sitesim/SyntheticRecording.h"

#include <cstdint>
#include <vector>

namespace ostrel {

// Walks the items of some spans of a synthetic recording in delivery order
// (forward: spans, seconds and slots ascending; backward: all descending),
// keeping those of a channel mask.
class RecordingCursor {
public:
    RecordingCursor(const SyntheticRecording& recording, std::vector<SyntheticRecording::Span> spans, uint32_t mask,
                    bool forward);

    // The next item, or false at the end. Each call looks at no more than
    // one second's slots beyond the item it returns, because every second
    // of a mask that selects any video channel holds a frame of it.
    bool next(RecordingItem& item);

private:
    const SyntheticRecording& _recording;
    std::vector<SyntheticRecording::Span> _spans;
    uint32_t _mask;
    bool _forward;
    bool _empty;
    size_t _span = 0;
    int64_t _slot = 0; // slot number counted from the span's first second
};

} // namespace ostrel
