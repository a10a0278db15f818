#include "storage/support/RecordedImage.h"

#include "storage/EventElement.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrackIterator.h"
#include "storage/Recorder.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/pager/Page.h"
#include "storage/pager/SuperBlock.h"
#include "storage/support/Frames.h"
#include "storage/support/SharedStorageFile.h"
#include "storage/util/internal/TrackChain.h"

#include <stdexcept>

namespace ostrel::test {

std::map<std::string, std::vector<std::uint32_t>> trackChains(Storage& storage) {
    std::map<std::string, std::vector<std::uint32_t>> chains;
    for (const TrackListItem& entry : storage.tracks()) {
        std::vector<std::uint32_t>& pages = chains[trackName(entry.type())];
        Page page(&storage.superBlock(), &storage.pageCache());
        for (std::uint32_t number = entry.firstPage(); number != 0 && pages.size() <= storage.superBlock().pageCount();
             number = page.next()) {
            page.load(number, true);
            pages.push_back(number);
        }
    }
    return chains;
}

std::map<std::uint64_t, StoredFrame> framesThroughTimeline(Storage& storage) {
    std::map<std::uint64_t, StoredFrame> frames;
    TrackIterator timeline(storage, PageType::Timeline);
    TimelineElement element;
    MediaTrackIterator mediaTrack(storage, PageType::Media);
    MediaTrackIterator preEventTrack(storage, PageType::PreEvent);
    Page page(&storage.superBlock(), &storage.pageCache());
    for (bool more = timeline.first(); more; more = timeline.next()) {
        timeline.read(element);
        if (element.mediaType() == 3) {
            continue;
        }
        StoredFrame frame;
        frame.element = timeline.position();
        frame.position = element.mediaPosition();
        if (page.pageNumber() != frame.position.number) {
            page.load(frame.position.number, true);
        }
        MediaTrackIterator& media = page.type() == PageType::PreEvent ? preEventTrack : mediaTrack;
        if (!media.seek(frame.position)) {
            continue;
        }
        MediaElement header;
        media.read(header);
        if (header.mediaID() != element.mediaID()) {
            continue;
        }
        const auto* data = reinterpret_cast<const std::uint8_t*>(page.data());
        frame.bytes.assign(data + frame.position.offset, data + frame.position.offset + 64);
        const std::vector<std::uint8_t> payload = media.readPayload();
        frame.bytes.insert(frame.bytes.end(), payload.begin(), payload.end());
        frame.pages.push_back(frame.position.number);
        if (std::uint64_t{frame.position.offset} + frame.bytes.size() > page.pageSize()) {
            frame.pages.push_back(page.next());
        }
        frames[element.mediaID()] = std::move(frame);
    }
    return frames;
}

const RecordedImage& RecordedImage::get() {
    static const RecordedImage image = [] {
        MemoryFile memory(8192 + std::uint64_t{Pages} * PageSize);
        Frames frames;
        auto storage = memory.storage();
        storage->open("recorded.strg", true, 2);
        StorageFormatOptions options;
        options.pageSize = PageSize;
        options.recorderType = RecorderType::Flac;
        storage->format(options);
        Recorder recorder;
        recorder.open(*storage);
        std::uint32_t gop[2] = {0, 0};
        std::uint16_t index[2] = {0, 0};
        for (int i = 0; i < 420; ++i) {
            const int channel = i % 2;
            if (index[channel] % 15 == 0) {
                ++gop[channel];
                index[channel] = 0;
            }
            const std::uint32_t size = 150 + static_cast<std::uint32_t>((i * 977) % 3600);
            MediaElement frame = frames.video(channel, gop[channel], index[channel]++, at(i / 10), size, i);
            const PagePosition element = recorder.writeFrame(frame);
            if (i % 9 == 4) {
                MediaElement audio = frames.audio(0, 0, at(i / 10), 320, 10000 + i);
                recorder.writeFrame(audio);
            }
            if (i % 53 == 7) {
                MediaElement text = frames.textIn(0, at(i / 10), "TOTAL " + std::to_string(i));
                recorder.writeFrame(text);
            }
            if (i % 30 == 11 && !element.isNull()) {
                EventElement event;
                event.setEventType(1);
                event.setChannelMask(frame.channelMask());
                event.setMediaID(frame.mediaID());
                event.setDateTime(frame.dateTime());
                event.setTimelinePos(element);
                storage->writeEvent(event, false);
            }
        }
        recorder.close();
        storage->writeInfo("LastVideoMediaID", std::to_string(storage->lastIssuedItemID()), true);
        RecordedImage result;
        result.chains = trackChains(*storage);
        if (!storage->close(true)) {
            throw std::runtime_error("the recorded storage did not close");
        }
        result.bytes = memory.file.bytes();
        return result;
    }();
    return image;
}

} // namespace ostrel::test
