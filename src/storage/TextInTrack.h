#pragma once

#include "base/DateTime.h"
#include "base/thread/Mutex.h"
#include "storage/PagePosition.h"
#include "storage/TextInRun.h"
#include "storage/Track.h"

#include <cstdint>
#include <vector>

namespace ostrel {

class TextInElement;

// Lines of text a recorder attaches to a channel, grouped into runs: a
// record with a new date, or with a time of day before the previous one,
// ends the run with a stop record "Date Time Changed" and begins a new one.
// A record carrying the end-of-run flag (flag bit 1; stop records carry it,
// and so does the last record when the storage is opened again) ends its run
// too. Each record names the first record of its run; a run's first record
// names the record that ended the run before it.
class TextInTrack : public Track {
public:
    static constexpr std::uint32_t ItemSize = 128;
    static constexpr std::uint32_t EndOfRunFlag = 1u << 1;

    PageType pageType() const override { return PageType::TextIn; }
    std::uint32_t itemSize() const override { return ItemSize; }

    void init(Storage& storage, bool forWrite, std::uint32_t lastPage) override;
    bool close(bool flush) override;
    bool overwrite(std::uint64_t before) override;

    // Appends the record (its run start is set here); answers its position.
    PagePosition writeRecord(TextInElement& record);
    void truncateAfter(std::uint64_t after);
    std::vector<TextInRun> runs() const;

private:
    void writeStop(std::uint64_t mediaID);
    static bool endsRun(const TextInElement& record);
    void rebuildRuns();
    // The first record of `page` (or of the track's first page) when a run
    // start names a record the overwrite removed.
    bool firstRemainingRecord(TextInElement& record, PagePosition& position);

    mutable Mutex _mutex;
    PagePosition _runStart;
    // The last run was ended (by a stop record, or by closing the storage):
    // the next record begins a new one.
    bool _runClosed = false;
    DateTime _lastTime;
    std::vector<TextInRun> _runs;
};

} // namespace ostrel
