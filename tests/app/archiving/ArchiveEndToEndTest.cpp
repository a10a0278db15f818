// Archiving end to end: ostrel-archive's run against an in-process simulated
// site on loopback, into small storage files, then the files read back and
// compared item by item with what the site has recorded.
#include "app/archiving/Archiver.h"
#include "app/archiving/NetworkArchivingClient.h"
#include "app/support/ArchiveTestSupport.h"
#include "base/DateTime.h"
#include "base/Interval.h"
#include "base/UniqueID.h"
#include "network/client/NetworkPlaybackContext.h"
#include "ostrel-archive/ArchiveTool.h"
#include "ostrel-sitesim/SiteServer.h"
#include "storage/EventElement.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/MediaElement.h"
#include "storage/RecordingRun.h"
#include "storage/StorageGroup.h"
#include "storage/aio/DirectStorageFile.h"
#include "storage/pager/Page.h"
#include "storage/pager/SuperBlock.h"
#include "storage/util/IntegrityChecker.h"

#include "storage/Recorder.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace ostrel;
using namespace ostrel::testing;

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
        formatStorage(path, pages, PageSize);
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

    std::vector<StoredItem> expected(const SiteServer& site) const { return expectedItems(site, clock.load()); }

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
    const StoredGroup stored = readBack(files);
    ASSERT_EQ(stored.items.size(), want.size());
    expectSame(stored.items, want, 0);
    EXPECT_EQ(result.frames, want.size() - countOfType(want, 3));

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
    expectTablesDescribe(stored, siteTimeTable(site, at(0, 0, 0), at(23, 59, 59)));
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
    const StoredGroup stored = readBack(files);
    EXPECT_GT(stored.items.size(), firstCount);
    ASSERT_EQ(stored.items.size(), want.size());
    expectSame(stored.items, want, 0);
    EXPECT_EQ(stored.info.at("LastVideoTime"), "2024/01/01 10:06:04");
    expectTablesDescribe(stored, siteTimeTable(site, at(0, 0, 0), at(23, 59, 59), 25));
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
    const StoredGroup stored = readBack(files);
    ASSERT_GT(stored.items.size(), 0u);
    EXPECT_LT(stored.items.size(), want.size());
    expectSame(stored.items, want, 0);
    // Every frame reported as archived is there.
    const std::size_t media = stored.items.size() - countOfType(stored.items, 3);
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
    const StoredGroup stored = readBack(files);
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

// A storage that overwrites its oldest data meets a media page whose header
// was lost: the page is taken out of use, the run says so and archives on to
// the end of the range, and the file passes the full check afterwards.
TEST_F(ArchiveEndToEndTest, ADamagedPageInTheRingIsTakenOutAndArchivingGoesOn) {
    SiteServer& site = startSite(settingsWith(recording()));
    const std::vector<std::string> files = {storageFile("a.strg", 24)};
    ArchiveOptions first = options(files);
    first.overwrite = true;
    first.to = at(10, 1, 29);
    const ArchiveResult done = run(first);
    ASSERT_EQ(done.exitCode, 0) << done.reason << "\n" << output;

    // The third page of the media track (the overwrite reaches it soon) loses its header.
    uint32_t damaged = 0;
    uint64_t offset = 0;
    {
        FixedSizeFileStorage storage(FixedSizeFileStorage::Access::ReadOnly);
        ASSERT_TRUE(storage.open(files[0], false, Storage::CheckOnly));
        Page page(&storage.superBlock(), &storage.pageCache());
        damaged = storage.findTrack(PageType::Media)->firstPage();
        for (int i = 0; i < 2; ++i) {
            page.loadHeader(damaged, true);
            damaged = page.next();
            ASSERT_NE(damaged, 0u);
        }
        page.release();
        offset = storage.superBlock().pageOffset(damaged);
        storage.close(false);
    }
    {
        std::fstream file(files[0], std::ios::in | std::ios::out | std::ios::binary);
        const std::string zeros(512, '\0');
        file.seekp(static_cast<std::streamoff>(offset));
        file.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    }

    ArchiveOptions again = options(files);
    again.overwrite = true;
    again.resume = true;
    const ArchiveResult resumed = run(again);
    ASSERT_EQ(resumed.exitCode, 0) << resumed.reason << "\n" << output;
    EXPECT_NE(output.find("warning: " + files[0] + ": "), std::string::npos) << output;
    EXPECT_NE(output.find("page " + std::to_string(damaged)), std::string::npos) << output;
    {
        DirectStorageFile file(files[0], DirectStorageFile::Mode::ReadOnly);
        IntegrityChecker checker(file);
        EXPECT_TRUE(checker.run()) << (checker.findings().empty() ? "" : checker.findings().front().toString());
    }
    // What is left ends with the newest part of the recording, without a hole.
    const StoredGroup stored = readBack(files);
    EXPECT_EQ(stored.info.at("LastVideoTime"), "2024/01/01 10:05:39");
    std::vector<StoredItem> media;
    std::vector<StoredItem> wantMedia;
    for (const StoredItem& i : stored.items) {
        if (i.mediaType != 3) media.push_back(i);
    }
    for (const StoredItem& i : expected(site)) {
        if (i.mediaType != 3) wantMedia.push_back(i);
    }
    ASSERT_GT(media.size(), 0u);
    ASSERT_LE(media.size(), wantMedia.size());
    expectSame(media, wantMedia, wantMedia.size() - media.size());
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
    StoredGroup stored = readBack(files);
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
    expectTablesDescribe(stored, siteTimeTable(first, at(0, 0, 0), at(23, 59, 59)));
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
    StoredGroup stored = readBack(files);
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

TEST_F(ArchiveEndToEndTest, AResumeFindsTheRecordLeftInTheMemberRecordingMovedAwayFrom) {
    SiteServer& site = startSite(settingsWith(recording()));
    const std::vector<std::string> files = {storageFile("a.strg", 120), storageFile("b.strg", 200)};
    ArchiveOptions first = options(files);
    first.to = at(10, 1, 29);
    ASSERT_EQ(run(first).exitCode, 0) << output;

    // Archiving went on after the stored record until recording moved to b,
    // and ended before the next store, as a killed run does: items the record
    // does not cover in both members, and no record in b.
    {
        StorageGroup group;
        for (const std::string& path : files) {
            auto storage = std::make_unique<FixedSizeFileStorage>();
            ASSERT_TRUE(storage->open(path, true, Storage::CorrectionAndRecovery));
            group.addStorage(std::move(storage));
        }
        group.selectRecordingStorage(UniqueID::nil(), 0);
        ASSERT_EQ(group.current()->path(), files[0]);
        std::string value;
        ASSERT_TRUE(group.readInfo("LastVideoTime", value));
        EXPECT_EQ(value, "2024/01/01 10:01:29");
        Recorder recorder;
        recorder.open(group);
        const std::vector<uint8_t> payload(6000, 0xAB);
        int written = 0;
        auto writeOne = [&] {
            MediaElement frame;
            frame.setMediaType(MediaElement::Video);
            frame.setChannelMask(BitMask32(1));
            frame.setFrameIndex(0);
            frame.setDataSize(static_cast<uint32_t>(payload.size()));
            frame.setPayload(payload.data());
            frame.setDateTime(at(10, 2, 0).addSeconds(written++));
            recorder.writeFrame(frame);
        };
        while (group.current()->path() == files[0] && written < 1000) {
            writeOne();
        }
        ASSERT_EQ(group.current()->path(), files[1]);
        for (int i = 0; i < 10; ++i) {
            writeOne();
        }
        EXPECT_FALSE(group.current()->readInfo("LastVideoTime", value));
        recorder.close();
        ASSERT_TRUE(group.close(true));
    }

    ArchiveOptions again = options(files);
    again.resume = true;
    const ArchiveResult resumed = run(again);
    ASSERT_EQ(resumed.exitCode, 0) << resumed.reason << "\n" << output;
    const std::vector<StoredItem> want = expected(site);
    const StoredGroup stored = readBack(files);
    ASSERT_EQ(stored.items.size(), want.size());
    expectSame(stored.items, want, 0);
    // The resumed recording is the group's newest: b continues above a's sections.
    ASSERT_EQ(stored.lastSections.size(), 2u);
    EXPECT_GT(stored.lastSections[1], stored.lastSections[0]);
    EXPECT_EQ(stored.info.at("LastVideoTime"), "2024/01/01 10:05:39");
}

TEST_F(ArchiveEndToEndTest, ACutBackToARecordInAnotherMemberCutsEveryMemberAndKeepsTheRecordingMemberNewest) {
    // Recording went round the group: a, then b (where the record was
    // stored), then back to a over its oldest data, and ended there before
    // the next store. The cut back to the record empties a's new section, so
    // a is left with sections older than b's; the resumed recording in a must
    // still be the group's newest.
    const std::vector<std::string> files = {storageFile("a.strg", 60), storageFile("b.strg", 60)};
    const std::vector<uint8_t> payload(3000, 0x5C);
    int written = 0;
    auto open = [&files](StorageGroup& group) {
        for (const std::string& path : files) {
            auto storage = std::make_unique<FixedSizeFileStorage>();
            ASSERT_TRUE(storage->open(path, true, Storage::CorrectionAndRecovery));
            group.addStorage(std::move(storage));
        }
        group.selectRecordingStorage(UniqueID::nil(), 0);
    };
    auto writeOne = [&](Recorder& recorder) {
        MediaElement frame;
        frame.setMediaType(MediaElement::Video);
        frame.setChannelMask(BitMask32(1));
        frame.setFrameIndex(0);
        frame.setDataSize(static_cast<uint32_t>(payload.size()));
        frame.setPayload(payload.data());
        frame.setDateTime(at(10, 0, 0).addSeconds(written++));
        recorder.writeFrame(frame);
        return frame.mediaID();
    };
    ResumeRecord record;
    {
        StorageGroup group;
        open(group);
        NetworkArchivingClient client(context);
        client.archiver().setOverwrite(true);
        client.archiver().open(group);
        Recorder recorder;
        recorder.open(group);
        while (group.current()->path() == files[0] && written < 2000) {
            writeOne(recorder);
        }
        ASSERT_EQ(group.current()->path(), files[1]);
        for (int i = 0; i < 5; ++i) {
            record.mediaID = writeOne(recorder);
        }
        record.position = MediaPosition(1, static_cast<uint32_t>(written - 1), 0);
        record.sectionID = group.lastSectionID();
        record.time = at(10, 0, 0).addSeconds(written - 1);
        ASSERT_TRUE(client.archiver().storeResumeRecord(record));
        while (group.current()->path() == files[1] && written < 4000) {
            writeOne(recorder);
        }
        ASSERT_EQ(group.current()->path(), files[0]);
        for (int i = 0; i < 5; ++i) {
            writeOne(recorder);
        }
        recorder.close();
        EXPECT_TRUE(client.archiver().close());
    }

    StorageGroup group;
    open(group);
    ASSERT_EQ(group.current()->path(), files[0]);
    NetworkArchivingClient client(context);
    client.archiver().setOverwrite(true);
    client.archiver().open(group);
    ResumeRecord loaded;
    ASSERT_TRUE(client.archiver().loadResumeRecord(loaded));
    EXPECT_EQ(loaded.mediaID, record.mediaID);
    ASSERT_TRUE(client.archiver().truncateAfter(loaded));
    Storage* a = group.recordStorages()[0]->path() == files[0] ? group.recordStorages()[0] : group.recordStorages()[1];
    Storage* b = a == group.recordStorages()[0] ? group.recordStorages()[1] : group.recordStorages()[0];
    EXPECT_EQ(a->lastIssuedItemID(), record.mediaID);
    EXPECT_EQ(b->lastIssuedItemID(), record.mediaID);
    EXPECT_GT(a->lastSectionID(), b->lastSectionID());
    Recorder recorder;
    recorder.open(group);
    const uint64_t next = writeOne(recorder);
    EXPECT_EQ(next, record.mediaID + 1);
    EXPECT_EQ(group.current(), a);
    EXPECT_GT(a->lastSectionID(), b->lastSectionID());
    recorder.close();
    EXPECT_TRUE(client.archiver().close());
}

TEST_F(ArchiveEndToEndTest, AResumeStoreThatArrivesLateNeverReplacesANewerRecord) {
    const std::string path = storageFile("a.strg", 40);
    StorageGroup group;
    auto storage = std::make_unique<FixedSizeFileStorage>();
    ASSERT_TRUE(storage->open(path, true, Storage::CorrectionAndRecovery));
    group.addStorage(std::move(storage));
    group.selectRecordingStorage(UniqueID::nil(), 0);
    NetworkArchivingClient client(context);
    Archiver& archiver = client.archiver();
    archiver.open(group);
    auto record = [](uint64_t mediaID, int second) {
        ResumeRecord r;
        r.position = MediaPosition(1, static_cast<uint32_t>(second), 0);
        r.sectionID = 1;
        r.time = at(10, 0, second);
        r.mediaID = mediaID;
        return r;
    };
    ASSERT_TRUE(archiver.storeResumeRecord(record(500, 50)));
    EXPECT_TRUE(archiver.storeResumeRecord(record(200, 20))); // late: left out
    ResumeRecord loaded;
    ASSERT_TRUE(archiver.loadResumeRecord(loaded));
    EXPECT_EQ(loaded.mediaID, 500u);
    EXPECT_EQ(loaded.time, at(10, 0, 50));
    ASSERT_TRUE(archiver.storeResumeRecord(record(700, 59)));
    ASSERT_TRUE(archiver.loadResumeRecord(loaded));
    EXPECT_EQ(loaded.mediaID, 700u);
    EXPECT_TRUE(archiver.close());
}

TEST_F(ArchiveEndToEndTest, AFailedConnectionIsReportedWithWhatHappened) {
    struct Case {
        const char* name;
        std::function<void(SiteSettings&)> site; // empty: nothing listens
        std::string password;
        std::string text;
        int reason;
    };
    const Case cases[] = {
        {"nothing listening", nullptr, "admin", "Connection refused", 111},
        {"wrong password", [](SiteSettings&) {}, "wrong", "Failed to login", 308},
        {"no playback permission", [](SiteSettings& s) { s.faults.refuseLogin = 5; }, "admin",
         "Network playback permission denied", 311},
        {"channel full", [](SiteSettings& s) { s.faults.channelFull = true; }, "admin",
         "Network playback channel full", 313},
        {"no playback profile", [](SiteSettings& s) { s.faults.noPlaybackProfile = true; }, "admin",
         "Network playback protocol not supported", 305},
    };
    const std::vector<std::string> files = {storageFile("a.strg", 40)};
    for (const Case& c : cases) {
        // A bound socket that does not listen: connections to its port are refused.
        const int unlistened = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(unlistened, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(unlistened, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        socklen_t length = sizeof address;
        ASSERT_EQ(getsockname(unlistened, reinterpret_cast<sockaddr*>(&address), &length), 0);
        if (c.site) {
            SiteSettings settings = settingsWith(recording());
            c.site(settings);
            startSite(settings);
        } else {
            port = ntohs(address.sin_port);
        }
        ArchiveOptions o = options(files);
        o.password = c.password;
        const ArchiveResult result = run(o);
        close(unlistened);
        EXPECT_EQ(result.exitCode, 1) << c.name;
        EXPECT_EQ(result.reason.rfind(c.text + " (", 0), 0u) << c.name << ": " << result.reason;
        EXPECT_NE(result.reason.find("reason " + std::to_string(c.reason) + ")"), std::string::npos)
            << c.name << ": " << result.reason;
        EXPECT_EQ(result.frames, 0u) << c.name;
    }

    // The command line says it on the error stream with status 1.
    const int unlistened = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(unlistened, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(unlistened, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string passwordFile = dir + "/password";
    std::ofstream(passwordFile) << "admin\n";
    std::ostringstream out;
    std::ostringstream err;
    const int status = ArchiveTool::main({"--site", "127.0.0.1:" + std::to_string(ntohs(address.sin_port)), "--user",
                                          "admin", "--password-file", passwordFile, "--storage", files[0]},
                                         out, err, notInterrupted);
    close(unlistened);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err.str().rfind("ostrel-archive: Connection refused (", 0), 0u) << err.str();
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
