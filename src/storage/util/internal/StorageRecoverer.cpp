#include "base/Trace.h"
#include "storage/util/internal/StorageRecoverer.h"

#include "base/Exception.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrackIterator.h"
#include "storage/RecordingTable.h"
#include "storage/RecordingTableElement.h"
#include "storage/Storage.h"
#include "storage/Timeline.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/pager/Page.h"
#include "storage/util/StorageUtility.h"
#include "storage/util/internal/CorrectionText.h"
#include "storage/util/internal/StorageRecoveryUtil.h"

namespace ostrel {

namespace {

using ull = unsigned long long;

// The timeline's last element that names a frame (text-in elements name
// records of the text-in track); false when there is none.
bool lastFrameElement(Storage& storage, TimelineElement& element, PagePosition& position) {
    TrackIterator it(storage, PageType::Timeline);
    for (bool more = it.last(); more; more = it.previous()) {
        it.read(element);
        if (element.mediaType() != 3) {
            position = it.position();
            return true;
        }
    }
    return false;
}

std::uint64_t mediaLastID(Storage& storage) {
    MediaTrackIterator it(storage, PageType::Media);
    if (!it.last()) {
        return 0;
    }
    MediaElement frame;
    it.read(frame);
    return frame.mediaID();
}

} // namespace

void StorageRecoverer::log(const std::string& text) {
    trace("%s\n", text.c_str());
    _storage.log(text, 2, true);
}

void StorageRecoverer::recoverTimeline() {
    TimelineElement last;
    PagePosition lastPosition;
    const bool hasElement = lastFrameElement(_storage, last, lastPosition);
    const std::uint64_t timelineLast = hasElement ? last.mediaID() : 0;
    const std::uint64_t mediaLast = StorageUtility(_storage).isEmpty(PageType::Media) ? 0 : mediaLastID(_storage);
    if (hasElement && mediaLast != 0 && timelineLast > mediaLast) {
        log("Timeline Page Item is Invalid");
        throw VarnelException(VarnelException::StorageCorrupted, "timeline runs past the media track");
    }
    if (mediaLast == 0 || mediaLast <= timelineLast) {
        log("[RECOVERY] no need to recover timeline");
        return;
    }
    MediaTrackIterator media(_storage, PageType::Media);
    bool positioned = false;
    if (hasElement) {
        if (!media.first()) {
            return;
        }
        MediaElement first;
        media.read(first);
        if (last.mediaID() < first.mediaID()) {
            log(CorrectionText::format("findMediaPositionAfter(%llu)", static_cast<ull>(last.mediaID())));
            log(CorrectionText::format("MediaTrackFirstItemID(%llu)", static_cast<ull>(first.mediaID())));
            log(CorrectionText::format("MediaTrackFirstPosition((%u,%u)", media.position().number,
                                       media.position().offset));
            positioned = true;
        } else {
            MediaElement named;
            bool found = false;
            try {
                if (media.seek(last.mediaPosition())) {
                    media.read(named);
                    found = named.mediaID() == last.mediaID();
                }
            } catch (const VarnelException&) {
                found = false;
            }
            if (found) {
                positioned = media.next();
            } else {
                // The page the element names was reused: find the first frame
                // after the element's ID from the track's start.
                for (bool more = media.first(); more; more = media.next()) {
                    media.read(named);
                    if (named.mediaID() > last.mediaID()) {
                        positioned = true;
                        break;
                    }
                }
            }
        }
    } else {
        positioned = media.first();
    }
    if (!positioned) {
        log("[RECOVERY] no need to recover timeline");
        return;
    }
    log(CorrectionText::format("[RECOVERY] recovery timeline from media (%u, %u)", media.position().number,
                               media.position().offset));
    const std::optional<TrackListItem> entry = _storage.findTrack(PageType::Timeline);
    Timeline timeline;
    timeline.init(_storage, true, entry ? entry->lastPage() : 0);
    int recovered = 0;
    PagePosition lastWritten;
    try {
        bool more = true;
        while (more) {
            MediaElement frame;
            media.read(frame);
            // A frame whose payload cannot be read back ends the track here.
            std::vector<std::uint8_t> payload;
            if (!media.readPayload(payload)) {
                throw VarnelException(VarnelException::StorageCorrupted, "frame payload lost");
            }
            _storage.setTimeStamp(media.page().timeStamp());
            TimelineElement element = TimelineElement::indexing(frame, media.position());
            const PagePosition written = timeline.write(element);
            if (!written.isNull()) {
                if (recovered == 0) {
                    log(CorrectionText::format("[RECOVERY] timeline recovery start position (%u, %u)",
                                               written.number, written.offset));
                }
                ++recovered;
                lastWritten = written;
            }
            more = media.next();
        }
    } catch (const Exception& e) {
        log(CorrectionText::format("[RECOVERY] exception when timeline recovery: %s", e.toString().c_str()));
        timeline.close(true);
        StorageRecoveryUtil::fix(_storage, media.position());
        log(CorrectionText::format("[RECOVERY] timeline %d items recovered. last position (%u, %u)", recovered,
                                   lastWritten.number, lastWritten.offset));
        return;
    }
    timeline.close(true);
    log(CorrectionText::format("[RECOVERY] timeline %d items recovered. last position (%u, %u)", recovered,
                               lastWritten.number, lastWritten.offset));
}

void StorageRecoverer::recoverRecordingTable() {
    if (StorageUtility(_storage).isEmpty(PageType::Timeline)) {
        log("[RECOVERY] no need to recover recording table");
        return;
    }
    const std::optional<TrackListItem> entry = _storage.findTrack(PageType::RecordingTable);
    RecordingTable table;
    table.init(_storage, true, entry ? entry->lastPage() : 0);
    // The table continues from its last entry as the recorder would have
    // written it: a table opened over the timeline's end would take every
    // element before that end for time going backwards.
    if (!table.isBehindTimeline()) {
        table.close(false);
        log("[RECOVERY] no need to recover recording table");
        return;
    }
    RecordingTableElement last;
    PagePosition position;
    {
        TrackIterator rt(_storage, PageType::RecordingTable);
        if (rt.last()) {
            rt.read(last);
            position = last.position();
        }
    }
    log(CorrectionText::format("[RECOVERY] recovery recording table from timeline (%u, %u) prev (%u, %u)",
                               position.number, position.offset, last.previousPosition().number,
                               last.previousPosition().offset));
    const std::uint32_t updated = table.rebuildFromTimeline();
    table.close(true);
    log(CorrectionText::format("[RECOVERY] recording table %d items updated", static_cast<int>(updated)));
}

} // namespace ostrel
