#include "app/support/ArchiveTestSupport.h"

#include "base/BitMask32.h"
#include "base/DateTime.h"
#include "base/File.h"
#include "base/Interval.h"
#include "base/UniqueID.h"
#include "network/protocol/playback/MediaFrame.h"
#include "ostrel-sitesim/SiteServer.h"
#include "ostrel-sitesim/SyntheticRecording.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrackIterator.h"
#include "storage/StorageFormatOptions.h"
#include "storage/StorageGroup.h"
#include "storage/TextInElement.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/pager/PageType.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace ostrel::testing {

void formatStorage(const std::string& path, uint32_t pages, uint32_t pageSize) {
    File::create(path, 8192 + int64_t{pages} * pageSize);
    FixedSizeFileStorage storage;
    storage.open(path, true, Storage::CorrectionAndRecovery); // false until formatted
    StorageFormatOptions options;
    options.repositoryID = UniqueID();
    options.pageSize = pageSize;
    options.recorderType = RecorderType::Flac;
    storage.format(options);
    EXPECT_TRUE(storage.close(true));
}

std::vector<StoredItem> expectedItems(const SiteServer& site, int64_t clockSeconds) {
    const SyntheticRecording& rec = site.recording();
    std::vector<StoredItem> items;
    for (const SyntheticRecording::Span& span : rec.spans(clockSeconds)) {
        for (int64_t second = span.first; second <= span.last; ++second) {
            for (int slot = 0; slot < rec.slotsPerSecond(); ++slot) {
                RecordingItem item;
                if (!rec.itemAt(span, second, slot, item)) {
                    continue;
                }
                StoredItem s;
                s.epoch = item.epochSeconds;
                if (item.kind == RecordingItem::Kind::TextIn) {
                    s.mediaType = 3;
                    s.text = rec.textOf(item);
                    s.channels = 1u << item.channel;
                } else {
                    MediaFrame frame;
                    rec.header(item, frame);
                    s.mediaType = frame.mediaType();
                    s.channels = frame.channelMask().word();
                    s.frameIndex = frame.frameIndex();
                    s.gopID = frame.gopID();
                    rec.payload(item, s.payload);
                }
                items.push_back(std::move(s));
            }
        }
    }
    return items;
}

StoredGroup readBack(const std::vector<std::string>& paths) {
    StoredGroup stored;
    StorageGroup group;
    std::vector<Storage*> inOrder;
    for (const std::string& path : paths) {
        auto storage = std::make_unique<FixedSizeFileStorage>();
        EXPECT_TRUE(storage->open(path, true, Storage::CorrectionAndRecovery)) << path;
        inOrder.push_back(storage.get());
        group.addStorage(std::move(storage));
    }
    group.selectRecordingStorage(UniqueID::nil(), 0);
    for (Storage* member : inOrder) {
        stored.lastSections.push_back(member->hasTrack(PageType::Timeline) ? member->lastSectionID() : 0);
    }
    for (Storage* member : group.recordStorages()) {
        auto keep = [&stored](const StoredItem& s) {
            EXPECT_EQ(stored.byID.count(s.mediaID), 0u) << "media ID " << s.mediaID << " stored twice";
            stored.byID[s.mediaID] = s;
        };
        MediaTrackIterator media(*member, PageType::Media);
        for (bool more = media.first(); more; more = media.next()) {
            MediaElement frame;
            media.read(frame);
            StoredItem s;
            s.mediaType = frame.mediaType();
            s.epoch = frame.dateTime().epochSeconds();
            s.channels = frame.channelMask().word();
            s.frameIndex = frame.frameIndex();
            s.gopID = frame.gopID();
            s.mediaID = frame.mediaID();
            s.payload = media.readPayload();
            keep(s);
        }
        if (member->hasTrack(PageType::TextIn)) {
            TrackIterator texts(*member, PageType::TextIn);
            for (bool more = texts.first(); more; more = texts.next()) {
                TextInElement record;
                texts.read(record);
                StoredItem s;
                s.mediaType = 3;
                s.epoch = record.dateTime().epochSeconds();
                s.channels = record.channelMask().word();
                s.mediaID = record.mediaID();
                s.text = record.text();
                keep(s);
            }
        }
        if (member->hasTrack(PageType::Event)) {
            TrackIterator events(*member, PageType::Event);
            for (bool more = events.first(); more; more = events.next()) {
                EventElement event;
                events.read(event);
                stored.events.push_back(event);
                // The event's timeline position names the element of its frame.
                TrackIterator timeline(*member, PageType::Timeline);
                if (timeline.seek(event.timelinePos())) {
                    TimelineElement element;
                    timeline.read(element);
                    EXPECT_EQ(element.mediaID(), event.mediaID());
                } else {
                    ADD_FAILURE() << "event timeline position does not name a timeline element";
                }
            }
        }
    }
    for (auto& [id, item] : stored.byID) {
        stored.items.push_back(item);
    }
    group.recordingTimeTable(BitMask32(BitMask32::AllBits), Interval(DateTime(1970, 1, 1, 0, 0, 0), DateTime()),
                             stored.runs);
    group.allInfo(stored.info);
    group.close(true);
    return stored;
}

void expectSame(const std::vector<StoredItem>& stored, const std::vector<StoredItem>& expected, std::size_t offset) {
    ASSERT_LE(offset + stored.size(), expected.size());
    for (std::size_t i = 0; i < stored.size(); ++i) {
        const StoredItem& s = stored[i];
        const StoredItem& e = expected[offset + i];
        ASSERT_EQ(s.mediaType, e.mediaType) << "item " << i;
        ASSERT_EQ(s.epoch, e.epoch) << "item " << i;
        ASSERT_EQ(s.channels, e.channels) << "item " << i;
        ASSERT_EQ(s.frameIndex, e.frameIndex) << "item " << i;
        ASSERT_EQ(s.gopID, e.gopID) << "item " << i;
        ASSERT_EQ(s.payload, e.payload) << "item " << i;
        ASSERT_EQ(s.text, e.text) << "item " << i;
    }
}

std::size_t countOfType(const std::vector<StoredItem>& items, uint16_t mediaType) {
    return static_cast<std::size_t>(
        std::count_if(items.begin(), items.end(), [mediaType](const StoredItem& i) { return i.mediaType == mediaType; }));
}

} // namespace ostrel::testing
