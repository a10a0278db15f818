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
#include <string>

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
        const std::size_t index =
            static_cast<std::size_t>(std::find(inOrder.begin(), inOrder.end(), member) - inOrder.begin());
        RecordingTableVerifier verifier(*member);
        if (!verifier.verify(RecordingTableVerifier::Depth::Full)) {
            stored.tableProblems.push_back(member->path() + ": " + verifier.problem());
        }
        for (const RecordingTableVerifier::Section& section : verifier.sections()) {
            stored.sections.push_back(StoredSection{index, section});
        }
        if (member->hasTrack(PageType::Timeline)) {
            TrackIterator timeline(*member, PageType::Timeline);
            for (bool more = timeline.first(); more; more = timeline.next()) {
                TimelineElement element;
                timeline.read(element);
                stored.indexed.insert(element.mediaID());
            }
        }
        auto keep = [&stored, index](StoredItem s) {
            s.member = index;
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
    group.recordingInterval(stored.interval);
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

namespace ostrel::testing {

std::vector<Interval> siteTimeTable(const SiteServer& site, const DateTime& from, const DateTime& to,
                                    int64_t clockSeconds) {
    const SyntheticRecording& rec = site.recording();
    std::vector<Interval> table;
    for (const SyntheticRecording::Span& span :
         SyntheticRecording::clip(rec.spans(clockSeconds), from.epochSeconds(), to.epochSeconds())) {
        table.emplace_back(DateTime::fromEpochSeconds(span.firstEpoch()), DateTime::fromEpochSeconds(span.lastEpoch()));
    }
    return RecordingTableVerifier::merged(table);
}

namespace {

std::string text(const std::vector<Interval>& intervals) {
    std::string out;
    for (const Interval& interval : intervals) {
        out += interval.toString() + " ";
    }
    return out.empty() ? "none" : out;
}

bool within(const std::vector<Interval>& runs, int64_t epoch) {
    return std::any_of(runs.begin(), runs.end(), [epoch](const Interval& run) {
        return run.from().epochSeconds() <= epoch && epoch <= run.to().epochSeconds();
    });
}

} // namespace

void expectTablesDescribe(const StoredGroup& stored, const std::vector<Interval>& siteTable) {
    for (const std::string& problem : stored.tableProblems) {
        ADD_FAILURE() << problem;
    }
    std::vector<StoredSection> sections = stored.sections;
    std::sort(sections.begin(), sections.end(), [](const StoredSection& a, const StoredSection& b) {
        return a.section.first.mediaID() < b.section.first.mediaID();
    });
    std::set<uint32_t> ids;
    std::vector<Interval> allRuns;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const RecordingTableVerifier::Section& s = sections[i].section;
        EXPECT_TRUE(ids.insert(s.id).second) << "section " << s.id << " in two members";
        ASSERT_FALSE(s.runs.empty()) << "section " << s.id;
        allRuns.insert(allRuns.end(), s.runs.begin(), s.runs.end());
        for (std::size_t j = 0; j < i; ++j) {
            const RecordingTableVerifier::Section& o = sections[j].section;
            const bool apart = s.runs.back().to() < o.runs.front().from() || o.runs.back().to() < s.runs.front().from();
            EXPECT_TRUE(apart) << "section " << s.id << " " << text(s.runs) << "overlaps section " << o.id << " "
                               << text(o.runs);
        }
        // The indexed video frames of the section: those of its member from
        // its first entry's media ID up to the next section's.
        const uint64_t end = i + 1 < sections.size() ? sections[i + 1].section.first.mediaID() : UINT64_MAX;
        const StoredItem* first = nullptr;
        const StoredItem* last = nullptr;
        for (auto it = stored.byID.lower_bound(s.first.mediaID()); it != stored.byID.end() && it->first < end; ++it) {
            const StoredItem& item = it->second;
            if (item.mediaType != 0 || !stored.indexed.count(item.mediaID) || item.member != sections[i].member) {
                continue;
            }
            first = first ? first : &item;
            last = &item;
            EXPECT_TRUE(within(s.runs, item.epoch))
                << "video frame " << item.mediaID << " lies outside the runs of its section " << s.id << ": "
                << text(s.runs);
            for (std::size_t j = 0; j < sections.size(); ++j) {
                if (j != i) {
                    EXPECT_FALSE(within(sections[j].section.runs, item.epoch))
                        << "video frame " << item.mediaID << " of section " << s.id << " lies in section "
                        << sections[j].section.id;
                }
            }
        }
        ASSERT_NE(first, nullptr) << "section " << s.id << " holds no video frame";
        EXPECT_EQ(first->mediaID, s.first.mediaID()) << "first entry of section " << s.id;
        EXPECT_EQ(first->epoch, s.first.dateTime().epochSeconds()) << "first entry of section " << s.id;
        if (s.last.channelMask().isEmpty()) {
            EXPECT_EQ(last->mediaID, s.last.mediaID()) << "closing stop of section " << s.id;
            EXPECT_EQ(last->epoch, s.last.dateTime().epochSeconds()) << "closing stop of section " << s.id;
        }
    }
    const std::vector<Interval> tableRuns = RecordingTableVerifier::merged(allRuns);
    // What the timelines index, and the seconds whose video frames none of
    // them indexes: only non-key frames that begin a member may be such.
    std::vector<Interval> indexedSeconds;
    std::vector<Interval> withUnindexed = tableRuns;
    std::map<std::size_t, uint64_t> firstIndexed;
    for (const auto& [id, item] : stored.byID) {
        if (item.mediaType == 0 && stored.indexed.count(id) && !firstIndexed.count(item.member)) {
            firstIndexed[item.member] = id;
        }
    }
    for (const auto& [id, item] : stored.byID) {
        if (item.mediaType != 0) {
            continue;
        }
        const DateTime time = DateTime::fromEpochSeconds(item.epoch);
        if (stored.indexed.count(id)) {
            indexedSeconds.emplace_back(time, time);
            continue;
        }
        EXPECT_NE(item.frameIndex, 0) << "key frame " << id << " not indexed";
        EXPECT_TRUE(firstIndexed.count(item.member) && id < firstIndexed[item.member])
            << "video frame " << id << " of " << time.toString() << " not indexed, yet not at its member's start";
        withUnindexed.emplace_back(time, time);
    }
    EXPECT_EQ(text(tableRuns), text(RecordingTableVerifier::merged(indexedSeconds)));
    EXPECT_EQ(text(RecordingTableVerifier::merged(withUnindexed)), text(siteTable));
    std::vector<Interval> groupRuns;
    for (const RecordingRun& run : stored.runs) {
        groupRuns.push_back(run.interval);
    }
    EXPECT_EQ(text(RecordingTableVerifier::merged(groupRuns)), text(tableRuns));
    if (!tableRuns.empty()) {
        EXPECT_EQ(stored.interval, Interval(tableRuns.front().from(), tableRuns.back().to()));
    }
}

} // namespace ostrel::testing
