// The archiving client's decisions without a site: frames, stop notices and
// list replies handed to it as its playback client would, into a real storage
// group on small temporary files.
#include "app/archiving/ArchivingDelegate.h"
#include "app/archiving/NetworkArchivingClient.h"
#include "base/BitMask32.h"
#include "base/DateTime.h"
#include "base/File.h"
#include "base/UniqueID.h"
#include "network/client/NetworkPlaybackContext.h"
#include "network/client/PlaybackClient.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/MediaPosition.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/StorageFormatOptions.h"
#include "storage/StorageGroup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

DateTime at(int second) { return DateTime(2024, 1, 1, 10, 0, second); }

struct Reports : ArchivingDelegate {
    void archivingStopped(bool noFrame) override { stopped.push_back(noFrame); }
    void archivingFailed(int code) override { failed.push_back(code); }
    void frameArchived(const MediaFrame& frame, uint32_t, uint32_t) override { archived.push_back(frame.frameIndex()); }
    std::vector<bool> stopped;
    std::vector<int> failed;
    std::vector<int> archived;
};

class NetworkArchivingClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ostrel-archiving-client-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        const std::string path = dir + "/a.strg";
        File::create(path, 8192 + 64 * 8192);
        {
            FixedSizeFileStorage storage;
            storage.open(path, true, Storage::CorrectionAndRecovery); // false until formatted
            StorageFormatOptions options;
            options.repositoryID = UniqueID();
            options.pageSize = 8192;
            options.recorderType = RecorderType::Flac;
            storage.format(options);
            ASSERT_TRUE(storage.close(true));
        }
        auto storage = std::make_unique<FixedSizeFileStorage>();
        ASSERT_TRUE(storage->open(path, true, Storage::CorrectionAndRecovery));
        group.addStorage(std::move(storage));
        group.selectRecordingStorage(UniqueID::nil(), 0);
        context = NetworkPlaybackContext::create();
        client = std::make_unique<NetworkArchivingClient>(context);
        client->setUp(group, PlaybackClient::ArchivingQueueSize, &reports);
    }
    void TearDown() override {
        EXPECT_TRUE(client->cleanup());
        client.reset();
        context->stopAll();
        std::filesystem::remove_all(dir);
    }

    MediaFrame frame(uint16_t type, uint16_t index, int second) {
        MediaFrame f;
        f.setMediaType(type);
        f.setFrameIndex(index);
        f.setChannelMask(BitMask32(1));
        f.setTime(at(second));
        f.setDataSize(static_cast<uint32_t>(data.size()));
        f.setData(data.data());
        return f;
    }
    void video(uint16_t index, int second, uint32_t slot, bool flag = true) {
        client->playbackVideoFrameReceived(0, flag, 1, frame(MediaFrame::Video, index, second),
                                           MediaPosition(1, static_cast<uint32_t>(second), slot));
    }
    void audio(int second, uint32_t slot) {
        client->playbackAudioFrameReceived(0, frame(MediaFrame::Audio, 0, second),
                                           MediaPosition(1, static_cast<uint32_t>(second), slot));
    }

    std::string dir;
    StorageGroup group;
    std::shared_ptr<NetworkPlaybackContext> context;
    Reports reports;
    std::unique_ptr<NetworkArchivingClient> client;
    std::vector<uint8_t> data = std::vector<uint8_t>(300, 0x5A);
    const Interval range{at(0), at(59)};
};

TEST_F(NetworkArchivingClientTest, AFirstPlayArchivesNothingBeforeTheFirstKeyFrame) {
    client->playFirst(range);
    client->setPhase(NetworkArchivingClient::PhasePlaying);
    video(3, 0, 0);
    audio(0, 1);
    video(4, 0, 2);
    video(0, 1, 0);
    audio(1, 1);
    video(1, 1, 2);
    EXPECT_EQ(reports.archived, (std::vector<int>{0, 0, 1}));
}

TEST_F(NetworkArchivingClientTest, AVideoFrameWithoutTheSiteFlagIsNeverArchived) {
    for (int phase : {NetworkArchivingClient::PhaseJumping, NetworkArchivingClient::PhasePlaying}) {
        client->playContinue(range);
        client->setPhase(phase);
        video(0, 2, 0, false);
    }
    EXPECT_TRUE(reports.archived.empty());
}

TEST_F(NetworkArchivingClientTest, AnEmptySectionListFailsWithCodeZero) {
    client->playFirst(range);
    client->playbackRecordingSectionListReceived(0, BitMask32(BitMask32::AllBits), range, {});
    EXPECT_EQ(reports.failed, (std::vector<int>{0}));
    EXPECT_EQ(client->phase(), NetworkArchivingClient::PhaseFirstPlay);
}

TEST_F(NetworkArchivingClientTest, EachPhaseAnswersAStopNoticeOnce) {
    struct Case {
        int phase;
        uint32_t reason;
        std::vector<bool> stopped;
        std::vector<int> failed;
        int after;
    };
    const Case cases[] = {
        {NetworkArchivingClient::PhaseWaitingForPlaybackStart, 2, {true}, {}, 0},
        {NetworkArchivingClient::PhasePlaying, 2, {false}, {}, 0},
        {NetworkArchivingClient::PhaseStorageIOError, 1, {}, {3}, 0},
        {NetworkArchivingClient::PhaseStorageFull, 1, {}, {2}, 0},
        {NetworkArchivingClient::PhaseStorageFailure, 1, {}, {4}, 0},
        {NetworkArchivingClient::PhaseJumping, 5, {}, {1}, 0},
        {NetworkArchivingClient::PhaseFirstPlay, 1, {}, {}, 0},
        {NetworkArchivingClient::PhaseResume, 2, {}, {}, NetworkArchivingClient::PhaseResume},
        {NetworkArchivingClient::PhaseIdle, 2, {}, {}, 0},
    };
    for (const Case& c : cases) {
        reports = Reports();
        client->setPhase(c.phase);
        client->playbackStopped(0, c.reason);
        EXPECT_EQ(reports.stopped, c.stopped) << "phase " << c.phase;
        EXPECT_EQ(reports.failed, c.failed) << "phase " << c.phase;
        EXPECT_EQ(client->phase(), c.after) << "phase " << c.phase;
    }
}

TEST_F(NetworkArchivingClientTest, AResumeWhoseTargetHasAnotherTimeFailsAndArchivesNothing) {
    ResumeRecord record;
    record.position = MediaPosition(1, 5, 0);
    record.time = at(5);
    client->resume(range, record);
    client->setPhase(NetworkArchivingClient::PhaseJumping);
    video(0, 6, 0);
    video(1, 5, 2); // the last frame matching does not hide the earlier mismatch
    client->playbackStopped(0, 4);
    EXPECT_EQ(reports.failed, (std::vector<int>{1}));
    EXPECT_TRUE(reports.archived.empty());
}

TEST_F(NetworkArchivingClientTest, AResumeSkipsWhatTheStorageHoldsAndArchivesWhatFollows) {
    ResumeRecord record;
    record.position = MediaPosition(1, 5, 2);
    record.time = at(5);
    client->resume(range, record);
    client->setPhase(NetworkArchivingClient::PhaseJumping);
    video(0, 5, 2);
    // The jump ends as reason 3 arrives (10): the play goes on from the start of the second.
    client->playbackStopped(0, 10);
    EXPECT_TRUE(reports.failed.empty());
    EXPECT_EQ(client->phase(), NetworkArchivingClient::PhaseWaitingForPlaybackStart);
    client->playbackStarted(0, 1);
    video(0, 5, 0);
    video(1, 5, 2);
    video(2, 5, 4);
    video(3, 6, 0);
    EXPECT_EQ(reports.archived, (std::vector<int>{2, 3}));
}

} // namespace
