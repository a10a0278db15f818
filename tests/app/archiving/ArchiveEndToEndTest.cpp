// Archiving end to end: ostrel-archive's run against an in-process simulated
// site on loopback, into small storage files, then the files read back and
// compared item by item with what the site has recorded.
#include "app/archiving/Archiver.h"
#include "base/DateTime.h"
#include "base/File.h"
#include "base/Interval.h"
#include "base/UniqueID.h"
#include "network/client/NetworkPlaybackContext.h"
#include "network/protocol/playback/MediaFrame.h"
#include "ostrel-archive/ArchiveTool.h"
#include "ostrel-sitesim/SiteServer.h"
#include "ostrel-sitesim/SyntheticRecording.h"
#include "storage/EventElement.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrackIterator.h"
#include "storage/RecordingRun.h"
#include "storage/StorageFormatOptions.h"
#include "storage/StorageGroup.h"
#include "storage/TextInElement.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/pager/PageType.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

constexpr uint32_t PageSize = 8192;

DateTime at(int hour, int minute, int second) { return DateTime(2024, 1, 1, hour, minute, second); }

// Three sections with gaps, two video channels and one audio channel at 5
// frames a second in groups of 5 (every second starts with key frames),
// events of a mapped type, of an unmapped type (64) and of type 0, and
// text-in records.
RecordingDescription recording() {
    RecordingDescription d;
    d.sections = {{1, at(10, 0, 0), at(10, 0, 19)}, {2, at(10, 1, 0), at(10, 1, 29)}, {3, at(10, 5, 0), at(10, 5, 39)}};
    d.videoChannels = 2;
    d.audioChannels = 1;
    d.frameRate = 5;
    d.gopLength = 5;
    d.keyFrameSize = 1500;
    d.frameSize = 400;
    d.audioFrameSize = 100;
    d.events = {{10, 2, 0, 1, 2, 0}, {0, 5, 1, 0, 4, 3}, {0, 7, 0, 2, 64, 0}, {0, 8, 1, 3, 0, 1}};
    d.textIns = {{5, 1, 1, "SALE", 1}};
    return d;
}

struct StoredItem {
    uint16_t mediaType = 0;
    int64_t epoch = 0;
    uint32_t channels = 0;
    uint16_t frameIndex = 0;
    uint32_t gopID = 0;
    uint64_t mediaID = 0;
    std::vector<uint8_t> payload;
    std::string text;
};

class ArchiveEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ostrel-archive-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        context = NetworkPlaybackContext::create();
    }
    void TearDown() override {
        context->stopAll();
        sites.clear();
        std::filesystem::remove_all(dir);
    }

    std::string storageFile(const std::string& name, uint32_t pages) {
        const std::string path = dir + "/" + name;
        File::create(path, 8192 + int64_t{pages} * PageSize);
        FixedSizeFileStorage storage;
        storage.open(path, true, Storage::CorrectionAndRecovery); // false until formatted
        StorageFormatOptions options;
        options.repositoryID = UniqueID();
        options.pageSize = PageSize;
        options.recorderType = RecorderType::Flac;
        storage.format(options);
        EXPECT_TRUE(storage.close(true));
        return path;
    }

    SiteServer& startSite(SiteSettings settings) {
        settings.clock = [this] { return clock.load(); };
        sites.push_back(std::make_unique<SiteServer>(settings));
        port = sites.back()->start();
        return *sites.back();
    }

    ArchiveOptions options(const std::vector<std::string>& storages) const {
        ArchiveOptions o;
        o.host = "127.0.0.1";
        o.port = port;
        o.user = "admin";
        o.password = "admin";
        o.storages = storages;
        o.from = at(9, 0, 0);
        return o;
    }

    ArchiveResult run(const ArchiveOptions& o) { return run(o, notInterrupted); }
    ArchiveResult run(const ArchiveOptions& o, const std::atomic<bool>& interrupted) {
        std::ostringstream out;
        ArchiveResult result = ArchiveTool::run(o, out, interrupted, false, context);
        output = out.str();
        return result;
    }

    // Everything the site holds now, in the order it plays it: video and
    // audio frames with their payload, and text-in records.
    std::vector<StoredItem> expected(const SiteServer& site) const {
        const SyntheticRecording& rec = site.recording();
        std::vector<StoredItem> items;
        for (const SyntheticRecording::Span& span : rec.spans(clock.load())) {
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

    // The group's media and text-in items in media ID order.
    struct Stored {
        std::vector<StoredItem> items;
        std::map<uint64_t, StoredItem> byID;
        std::vector<EventElement> events;
        std::vector<RecordingRun> runs;
        std::map<std::string, std::string> info;
        std::map<uint64_t, PagePosition> timeline; // media ID -> timeline element (checked by reading it)
        ResumeRecord resume;
        bool hasResume = false;
    };

    Stored readBack(const std::vector<std::string>& paths) {
        Stored stored;
        StorageGroup group;
        for (const std::string& path : paths) {
            auto storage = std::make_unique<FixedSizeFileStorage>();
            EXPECT_TRUE(storage->open(path, true, Storage::CorrectionAndRecovery)) << path;
            group.addStorage(std::move(storage));
        }
        group.selectRecordingStorage(UniqueID::nil(), 0);
        for (Storage* member : group.recordStorages()) {
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
                stored.byID[s.mediaID] = s;
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
                    stored.byID[s.mediaID] = s;
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

    // Stored items compared with a stretch of the expected ones.
    static void expectSame(const std::vector<StoredItem>& stored, const std::vector<StoredItem>& expected,
                           std::size_t offset) {
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

    static std::size_t videoCount(const std::vector<StoredItem>& items) {
        return static_cast<std::size_t>(
            std::count_if(items.begin(), items.end(), [](const StoredItem& i) { return i.mediaType == 0; }));
    }

    std::string dir;
    std::shared_ptr<NetworkPlaybackContext> context;
    std::vector<std::unique_ptr<SiteServer>> sites;
    std::atomic<int64_t> clock{0};
    uint16_t port = 0;
    std::string output;
    const std::atomic<bool> notInterrupted{false};
};

SiteSettings settingsWith(const RecordingDescription& d) {
    SiteSettings s;
    s.recording = d;
    return s;
}

TEST_F(ArchiveEndToEndTest, ARangeOfSeveralSectionsIsArchivedWithEveryFrameEventAndTextIn) {
    SiteServer& site = startSite(settingsWith(recording()));
    const std::vector<std::string> files = {storageFile("a.strg", 120), storageFile("b.strg", 120)};
    const ArchiveResult result = run(options(files));
    ASSERT_EQ(result.exitCode, 0) << result.reason << "\n" << output;

    const std::vector<StoredItem> want = expected(site);
    const Stored stored = readBack(files);
    ASSERT_EQ(stored.items.size(), want.size());
    expectSame(stored.items, want, 0);
    EXPECT_EQ(result.frames, want.size() - static_cast<std::size_t>(std::count_if(want.begin(), want.end(),
                                                                                  [](const StoredItem& i) {
                                                                                      return i.mediaType == 3;
                                                                                  })));

    // Events: type 2 every 10 s from second 2 on channel 0 (stored as type 3),
    // type 4 once at second 5 on channel 1 (type 1); types 64 and 0 are skipped.
    std::size_t type3 = 0;
    std::size_t type1 = 0;
    for (const EventElement& event : stored.events) {
        const auto frame = stored.byID.find(event.mediaID());
        ASSERT_NE(frame, stored.byID.end());
        EXPECT_EQ(frame->second.mediaType, 0);
        EXPECT_EQ(frame->second.epoch, event.dateTime().epochSeconds());
        EXPECT_EQ(frame->second.channels, event.channelMask().word());
        if (event.eventType() == 3) {
            ++type3;
            EXPECT_EQ(event.channelMask().word(), 1u);
        } else if (event.eventType() == 1) {
            ++type1;
            EXPECT_EQ(event.eventSubType(), 3);
        } else {
            ADD_FAILURE() << "unexpected event type " << int{event.eventType()};
        }
    }
    EXPECT_EQ(type3, 2u + 3u + 4u);
    EXPECT_EQ(type1, 3u);

    // The recording table holds the three sections as played.
    ASSERT_GE(stored.runs.size(), 3u);
    EXPECT_EQ(stored.runs.front().interval.from(), at(10, 0, 0));
    EXPECT_EQ(stored.runs.back().interval.to(), at(10, 5, 39));
    std::vector<std::pair<int64_t, int64_t>> sections;
    for (const RecordingRun& run : stored.runs) {
        if (!sections.empty() && sections.back().second + 1 >= run.interval.from().epochSeconds()) {
            sections.back().second = std::max(sections.back().second, run.interval.to().epochSeconds());
        } else {
            sections.emplace_back(run.interval.from().epochSeconds(), run.interval.to().epochSeconds());
        }
    }
    ASSERT_EQ(sections.size(), 3u);
    EXPECT_EQ(sections[1].first, at(10, 1, 0).epochSeconds());
    EXPECT_EQ(sections[1].second, at(10, 1, 29).epochSeconds());

    // Channel counts and the resume record of the last video frame.
    EXPECT_EQ(stored.info.at("VideoInNum"), "2");
    EXPECT_EQ(stored.info.at("AudioInNum"), "1");
    EXPECT_EQ(stored.info.at("LastVideoTime"), "2024/01/01 10:05:39");
    EXPECT_EQ(stored.info.at("LastVideoPosition"), result.last.position.toString());
    const auto last = stored.byID.find(result.last.mediaID);
    ASSERT_NE(last, stored.byID.end());
    EXPECT_EQ(last->second.mediaType, 0);
    EXPECT_EQ(last->second.epoch, at(10, 5, 39).epochSeconds());
}

TEST_F(ArchiveEndToEndTest, AResumeAfterTheSiteRecordedMoreContinuesWithoutLossOrDuplicate) {
    RecordingDescription d = recording();
    d.growing = true;
    SiteServer& site = startSite(settingsWith(d));
    const std::vector<std::string> files = {storageFile("a.strg", 200)};
    ArchiveResult first = run(options(files));
    ASSERT_EQ(first.exitCode, 0) << first.reason << "\n" << output;
    const std::size_t firstCount = readBack(files).items.size();

    clock.store(25);
    ArchiveOptions again = options(files);
    again.resume = true;
    ArchiveResult second = run(again);
    ASSERT_EQ(second.exitCode, 0) << second.reason << "\n" << output;

    const std::vector<StoredItem> want = expected(site);
    const Stored stored = readBack(files);
    EXPECT_GT(stored.items.size(), firstCount);
    ASSERT_EQ(stored.items.size(), want.size());
    expectSame(stored.items, want, 0);
    EXPECT_EQ(stored.info.at("LastVideoTime"), "2024/01/01 10:06:04");
}

TEST_F(ArchiveEndToEndTest, AResumeWhosePositionTheSiteOverwroteFails) {
    RecordingDescription d;
    d.sections = {{1, at(10, 0, 0), at(10, 0, 29)}};
    d.videoChannels = 1;
    d.audioChannels = 0;
    d.growing = true;
    d.retainSeconds = 30;
    startSite(settingsWith(d));
    const std::vector<std::string> files = {storageFile("a.strg", 100)};
    ASSERT_EQ(run(options(files)).exitCode, 0) << output;
    const std::size_t before = readBack(files).items.size();

    clock.store(120);
    ArchiveOptions again = options(files);
    again.resume = true;
    const ArchiveResult result = run(again);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.reason, "Resume position overwritten at the site");
    // Nothing was archived from the jump.
    EXPECT_EQ(readBack(files).items.size(), before);
}

TEST_F(ArchiveEndToEndTest, AFullGroupWithoutOverwriteStopsAndKeepsWhatWasWritten) {
    SiteServer& site = startSite(settingsWith(recording()));
    const std::vector<std::string> files = {storageFile("a.strg", 24), storageFile("b.strg", 24)};
    const ArchiveResult result = run(options(files));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.reason, "Record storage full");

    const std::vector<StoredItem> want = expected(site);
    const Stored stored = readBack(files);
    ASSERT_GT(stored.items.size(), 0u);
    EXPECT_LT(stored.items.size(), want.size());
    expectSame(stored.items, want, 0);
    // Every frame reported as archived is there.
    const std::size_t media = stored.items.size() - static_cast<std::size_t>(std::count_if(
                                                        stored.items.begin(), stored.items.end(),
                                                        [](const StoredItem& i) { return i.mediaType == 3; }));
    EXPECT_EQ(media, result.frames);
}

TEST_F(ArchiveEndToEndTest, AFullGroupWithOverwriteKeepsRecordingIntoTheOldestData) {
    SiteServer& site = startSite(settingsWith(recording()));
    const std::vector<std::string> files = {storageFile("a.strg", 24), storageFile("b.strg", 24)};
    ArchiveOptions o = options(files);
    o.overwrite = true;
    const ArchiveResult result = run(o);
    ASSERT_EQ(result.exitCode, 0) << result.reason << "\n" << output;

    const std::vector<StoredItem> want = expected(site);
    const Stored stored = readBack(files);
    ASSERT_GT(stored.items.size(), 0u);
    ASSERT_LT(stored.items.size(), want.size());
    // What is left is the newest part of the recording, without a hole, up to its last item.
    std::vector<StoredItem> media;
    std::vector<StoredItem> wantMedia;
    for (const StoredItem& i : stored.items) {
        if (i.mediaType != 3) media.push_back(i);
    }
    for (const StoredItem& i : want) {
        if (i.mediaType != 3) wantMedia.push_back(i);
    }
    ASSERT_LE(media.size(), wantMedia.size());
    expectSame(media, wantMedia, wantMedia.size() - media.size());
    EXPECT_EQ(stored.info.at("LastVideoTime"), "2024/01/01 10:05:39");
}

TEST_F(ArchiveEndToEndTest, ADisconnectMidChunkLosesNoArchivedFrameAndAResumeCompletesTheRange) {
    SiteSettings faulty = settingsWith(recording());
    faulty.faults.disconnectAfterFrames = 700;
    SiteServer& first = startSite(faulty);
    const std::vector<std::string> files = {storageFile("a.strg", 200)};
    const ArchiveResult broken = run(options(files));
    EXPECT_EQ(broken.exitCode, 1);
    EXPECT_NE(broken.reason.find("Connection lost"), std::string::npos) << broken.reason;

    const std::vector<StoredItem> want = expected(first);
    Stored stored = readBack(files);
    ASSERT_GT(stored.items.size(), 0u);
    expectSame(stored.items, want, 0);
    EXPECT_GE(stored.items.size(), broken.frames);

    startSite(settingsWith(recording()));
    ArchiveOptions again = options(files);
    again.resume = true;
    const ArchiveResult resumed = run(again);
    ASSERT_EQ(resumed.exitCode, 0) << resumed.reason << "\n" << output;
    stored = readBack(files);
    ASSERT_EQ(stored.items.size(), want.size());
    expectSame(stored.items, want, 0);
}

TEST_F(ArchiveEndToEndTest, AnInterruptedRunStoresItsResumeRecordAndAResumeCompletesTheRange) {
    std::atomic<bool> interrupted{false};
    SiteSettings settings = settingsWith(recording());
    // Ctrl-C arrives while the first play is out.
    settings.log = [&interrupted](const std::string& line) {
        if (line.find("request Play") != std::string::npos) {
            interrupted.store(true);
        }
    };
    SiteServer& site = startSite(settings);
    const std::vector<std::string> files = {storageFile("a.strg", 200)};
    const ArchiveResult stopped = run(options(files), interrupted);
    EXPECT_EQ(stopped.exitCode, ArchiveTool::Interrupted) << stopped.reason << "\n" << output;

    const std::vector<StoredItem> want = expected(site);
    Stored stored = readBack(files);
    expectSame(stored.items, want, 0);
    if (stopped.last.isValid()) {
        EXPECT_EQ(stored.info.at("LastVideoPosition"), stopped.last.position.toString());
        EXPECT_EQ(stored.info.at("LastVideoMediaID"), std::to_string(stopped.last.mediaID));
    }

    if (!stopped.last.isValid()) {
        return; // interrupted before any video frame: nothing to resume from
    }
    ArchiveOptions again = options(files);
    again.resume = true;
    const ArchiveResult resumed = run(again);
    ASSERT_EQ(resumed.exitCode, 0) << resumed.reason << "\n" << output;
    stored = readBack(files);
    ASSERT_EQ(stored.items.size(), want.size());
    expectSame(stored.items, want, 0);
}

TEST(ArchiveToolTest, TheCommandLineNeedsThePasswordFromAFile) {
    std::string error;
    EXPECT_FALSE(ArchiveTool::parse({"--site", "h:1", "--user", "u", "--password", "p", "--storage", "s"}, error));
    EXPECT_NE(error.find("password"), std::string::npos);
    EXPECT_FALSE(ArchiveTool::parse({"--site", "h", "--user", "u", "--password-file", "/nonexistent", "--storage", "s"},
                                    error));
    EXPECT_FALSE(ArchiveTool::parse({"--site", "h:1", "--user", "u", "--password-file", "/nonexistent", "--storage",
                                     "s", "--from", "2024/02/30 00:00:00"},
                                    error));
    EXPECT_FALSE(ArchiveTool::parse({"--site", "h:1", "--user", "u", "--password-file", "/nonexistent", "--storage", "s"},
                                    error));
    EXPECT_NE(error.find("password file"), std::string::npos);
}

TEST(ArchiverTextTest, ResumeEntriesParseBack) {
    MediaPosition position;
    ASSERT_TRUE(Archiver::parsePosition("3 : (17, 4294967295)", position));
    EXPECT_EQ(position, MediaPosition(3, 17, 4294967295u));
    EXPECT_FALSE(Archiver::parsePosition("3 : (17)", position));
    DateTime time;
    ASSERT_TRUE(Archiver::parseTime("2024/01/01 10:05:39", time));
    EXPECT_EQ(time, at(10, 5, 39));
    EXPECT_FALSE(Archiver::parseTime("2024/02/30 10:05:39", time));
    const std::pair<uint8_t, uint8_t> types[] = {{1, 2}, {2, 3}, {4, 1}, {8, 4}, {16, 5}, {32, 6}, {64, 0}, {0, 0}};
    for (const auto& [site, stored] : types) {
        EXPECT_EQ(Archiver::eventElementType(site), stored) << int{site};
    }
}

} // namespace
