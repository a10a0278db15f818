#pragma once

#include "storage/pager/TrackListItem.h"
#include "storage/util/IntegrityFinding.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace ostrel {

class IStorageFile;

// The full integrity check of a storage file, read-only and independent of
// the storage object (a file whose open-time check fails is still checked
// through). It walks every track in chain order and looks at every page of
// it once: the superblock, each page's identity and header, both links of
// every pair of neighbours, item bounds, frame sizes and their continuation
// into the next page, media-ID order, page channel masks, the timeline's
// elements against the frames and text records they name (a merge of the
// timeline with the media, pre-event and text-in tracks, which are all in
// media-ID order, so no track is read twice), the recording table's and the
// events' positions in the timeline, the journal, the bad-page list and the
// free-page list against the tracks (no page both free and used, none
// leaked). Memory stays bounded: a few pages at a time plus one byte per
// page of the file.
class IntegrityChecker {
public:
    // Bytes read so far and the bytes the walk will read (the pages in use).
    using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

    // How one track was found: its track-list entry and the runs of
    // undamaged pages that link to each other, in chain order.
    struct TrackState {
        TrackListItem entry;
        std::vector<std::vector<std::uint32_t>> segments;
        // Its pages found damaged.
        std::vector<std::uint32_t> damaged;
        bool whole = false;
    };

    // Findings kept in full; beyond that they are only counted.
    static constexpr std::size_t MaxFindings = 1000;

    explicit IntegrityChecker(IStorageFile& file);
    ~IntegrityChecker();
    IntegrityChecker(const IntegrityChecker&) = delete;
    IntegrityChecker& operator=(const IntegrityChecker&) = delete;

    // Runs the check; answers whether nothing was found.
    bool run(const Progress& progress = {});

    const std::vector<IntegrityFinding>& findings() const { return _findings; }
    std::size_t findingCount() const { return _findingCount; }
    std::uint64_t bytesRead() const { return _bytesRead; }

    // Whether the superblock could be read and is sound (without it nothing
    // else was checked and nothing can be repaired).
    bool hasSuperBlock() const { return _superBlockSound; }
    const std::vector<TrackState>& tracks() const { return _tracks; }
    const std::set<std::uint32_t>& damagedPages() const { return _damaged; }
    // Pages that neither the free list nor a track nor the bad-page list hold.
    const std::vector<std::uint32_t>& leakedPages() const { return _leaked; }
    // Pages listed free that a track holds too.
    const std::vector<std::uint32_t>& freeButUsedPages() const { return _freeButUsed; }
    const std::vector<std::uint32_t>& badPages() const { return _badPages; }
    // Whether the timeline, the recording table or the events name items
    // that are not where they say (damaged pages aside).
    bool hasDanglingReferences() const { return _dangling; }
    // The media ID of the timeline's first element (0 without one).
    std::uint64_t firstTimelineID() const { return _firstTimelineID; }

private:
    class Run;
    friend class Run;

    void add(const IntegrityFinding& finding);

    IStorageFile& _file;
    std::vector<IntegrityFinding> _findings;
    std::size_t _findingCount = 0;
    std::uint64_t _bytesRead = 0;
    bool _superBlockSound = false;
    std::vector<TrackState> _tracks;
    std::set<std::uint32_t> _damaged;
    std::vector<std::uint32_t> _leaked;
    std::vector<std::uint32_t> _freeButUsed;
    std::vector<std::uint32_t> _badPages;
    bool _dangling = false;
    std::uint64_t _firstTimelineID = 0;
};

} // namespace ostrel
