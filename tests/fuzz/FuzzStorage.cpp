#include "fuzz/FuzzStorage.h"

#include "base/Exception.h"
#include "storage/EventElement.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrackIterator.h"
#include "storage/RecordingTable.h"
#include "storage/RecordingTableElement.h"
#include "storage/TextInElement.h"
#include "storage/TextInTrack.h"
#include "storage/BadTrack.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/support/Frames.h"
#include "storage/support/SharedStorageFile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>

namespace ostrel::fuzz {

namespace {

using test::Frames;
using test::MemoryFile;
using test::at;

std::uint32_t bigEndianWord(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return std::uint32_t{bytes[offset]} << 24 | std::uint32_t{bytes[offset + 1]} << 16 |
           std::uint32_t{bytes[offset + 2]} << 8 | bytes[offset + 3];
}

// Page header words are in the page byte order, which a storage this engine
// formats takes from the host.
std::uint32_t pageWord(const StorageImage& image, std::uint32_t page, std::uint32_t field) {
    std::uint32_t value;
    std::memcpy(&value, image.bytes.data() + image.pageOffset(page) + field, 4);
    return value;
}

void writeText(Storage& storage, const DateTime& time, const std::string& text, bool endOfRun) {
    TextInElement record;
    record.setChannelMask(BitMask32().set(2));
    record.setDateTime(time);
    record.setText(text);
    record.setFlags(BitMask32(endOfRun ? TextInTrack::EndOfRunFlag : 0));
    storage.writeTimeline(record, storage.writeTextIn(record), false);
}

// One second of recording at `second`: key or delta frames on channels 0 and
// 1, an audio frame, every fifth second an event and every seventh a text-in
// record.
void recordSecond(Storage& storage, Frames& frames, std::int64_t second, int& frameNumber, bool overwrite) {
    for (int i = 0; i < 3; ++i) {
        for (int channel = 0; channel < 2; ++channel) {
            const bool key = frameNumber % 10 == 0;
            MediaElement frame = frames.video(channel, 1 + static_cast<std::uint32_t>(frameNumber / 10),
                                              static_cast<std::uint16_t>(frameNumber % 10), at(second),
                                              key ? 5000 : 300 + 37 * static_cast<std::uint32_t>(i),
                                              static_cast<std::uint32_t>(frameNumber));
            while (overwrite && !storage.hasSpaceFor(frame)) {
                storage.overwriteOldest();
            }
            const PagePosition timeline = storage.writeTimeline(frame, storage.writeMedia(frame));
            if (channel == 0 && i == 0 && second % 5 == 0) {
                EventElement event;
                event.setEventType(2);
                event.setChannelMask(BitMask32().set(channel));
                event.setDateTime(at(second));
                event.setMediaID(frame.mediaID());
                event.setTimelinePos(timeline);
                storage.writeEvent(event, false);
            }
        }
        ++frameNumber;
    }
    MediaElement audio = frames.audio(3, static_cast<std::uint16_t>(second % 100), at(second), 320);
    while (overwrite && !storage.hasSpaceFor(audio)) {
        storage.overwriteOldest();
    }
    storage.writeTimeline(audio, storage.writeMedia(audio));
    if (second % 7 == 3) {
        writeText(storage, at(second), "RECEIPT " + std::to_string(second), second % 21 == 3);
    }
}

// Reads every item of the track as `Item`; a bounded walk, since a track of
// a few pages never holds more.
template <typename Item>
void readTrack(Storage& storage, const PageType& type) {
    TrackIterator it(storage, type);
    int steps = 0;
    for (bool more = it.first(); more; more = it.next()) {
        Item item;
        it.read(item);
        if (++steps > 1000000) {
            std::fprintf(stderr, "endless walk over track %s\n", type.toString().c_str());
            std::abort();
        }
    }
    // And back from the end, which follows the other links.
    steps = 0;
    for (bool more = it.last(); more; more = it.previous()) {
        if (++steps > 1000000) {
            std::fprintf(stderr, "endless backward walk over track %s\n", type.toString().c_str());
            std::abort();
        }
    }
}

void readMedia(Storage& storage, const PageType& type) {
    MediaTrackIterator it(storage, type);
    int steps = 0;
    for (bool more = it.first(); more; more = it.next()) {
        MediaElement frame;
        it.read(frame);
        it.readPayload();
        if (++steps > 1000000) {
            std::fprintf(stderr, "endless walk over track %s\n", type.toString().c_str());
            std::abort();
        }
    }
}

void readAll(FixedSizeFileStorage& storage) {
    readTrack<TimelineElement>(storage, PageType::Timeline);
    readTrack<RecordingTableElement>(storage, PageType::RecordingTable);
    readTrack<EventElement>(storage, PageType::Event);
    readTrack<TextInElement>(storage, PageType::TextIn);
    readMedia(storage, PageType::Media);
    readMedia(storage, PageType::PreEvent);
    storage.readLog();
    std::map<std::string, std::string> info;
    storage.allInfo(info);
    Interval interval;
    if (storage.recordingInterval(interval)) {
        std::vector<RecordingRun> runs;
        storage.recordingTimeTable(BitMask32(0xFFFFFFFF), interval, runs);
    }
    storage.recordingTable().sections();
    storage.textInTrack().runs();
    storage.badTrack().pages();
    storage.firstSectionID();
    storage.lastSectionID();
    storage.freePageCount();
}

} // namespace

StorageImage recordedImage(std::uint32_t pages, bool overwrite, bool torn) {
    MemoryFile memory(2 * 4096 + std::uint64_t{pages} * ImagePageSize);
    Frames frames;
    StorageImage image;
    {
        auto storage = memory.storage();
        storage->open("image.strg", true, Storage::CorrectionAndRecovery);
        StorageFormatOptions options;
        options.pageSize = ImagePageSize;
        options.recorderType = RecorderType::Flac;
        options.description = "fuzz seed";
        options.infoEntries = {{"SiteName", "front door"}};
        storage->format(options);
        int frameNumber = 0;
        const int seconds = overwrite ? 60 : 6;
        for (std::int64_t second = 0; second < seconds; ++second) {
            recordSecond(*storage, frames, second, frameNumber, overwrite);
        }
        // Time going back starts a second recording section.
        for (std::int64_t second = -100; second < -97; ++second) {
            recordSecond(*storage, frames, second, frameNumber, overwrite);
        }
        storage->writeInfo("LastVideoMediaID", std::to_string(storage->lastIssuedItemID()), true);
        if (torn) {
            storage->flush();
            memory.file.failAfter(2);
            try {
                storage->overwriteOldest();
            } catch (const Exception&) {
            }
            // What the disk holds at the failure; the storage goes without closing.
            image.bytes = memory.file.bytes();
        } else if (!storage->close(true)) {
            throw std::runtime_error("the recorded image did not close");
        }
    }
    if (!torn) {
        image.bytes = memory.file.bytes();
    }
    image.firstPageOffset = bigEndianWord(image.bytes, 64);
    const std::uint32_t trackCount = bigEndianWord(image.bytes, 520);
    for (std::uint32_t t = 0; t < trackCount; ++t) {
        const std::size_t entry = 528 + std::size_t{t} * 24;
        StorageImage::TrackPage page{};
        std::memcpy(page.type, image.bytes.data() + entry, 4);
        const std::uint32_t last = bigEndianWord(image.bytes, entry + 12);
        for (std::uint32_t number = bigEndianWord(image.bytes, entry + 8); number != 0 && image.pages.size() < pages;
             number = pageWord(image, number, 12)) {
            page.number = number;
            image.pages.push_back(page);
            if (number == last) {
                break;
            }
        }
    }
    return image;
}

bool openAndReadAll(const std::uint8_t* data, std::size_t size, OpenMode mode) {
    MemoryFile memory(size);
    if (size > 0) {
        std::memcpy(memory.file.bytes().data(), data, size);
    }
    const bool readOnly = mode == OpenMode::ReadOnly;
    auto storage = memory.storage(readOnly ? FixedSizeFileStorage::Access::ReadOnly
                                           : FixedSizeFileStorage::Access::ReadWrite);
    bool opened = false;
    try {
        opened = storage->open("fuzz.strg", !readOnly,
                               readOnly ? Storage::CheckOnly : Storage::CorrectionAndRecovery);
        if (opened) {
            readAll(*storage);
        }
    } catch (const AssertionFailException&) {
        throw; // an assertion is never the answer to bad bytes
    } catch (const Exception&) {
        // Refused as damaged: the expected answer to most inputs.
    }
    try {
        if (storage->isOpen()) {
            storage->close(!readOnly);
        }
    } catch (const AssertionFailException&) {
        throw;
    } catch (const Exception&) {
    }
    storage.reset();
    if (opened && !readOnly) {
        // What the correction wrote is read back like any file.
        openAndReadAll(memory.file.bytes().data(), size, OpenMode::ReadOnly);
    }
    return opened;
}

} // namespace ostrel::fuzz
