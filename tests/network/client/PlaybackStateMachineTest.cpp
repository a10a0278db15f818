// The playback state machine driven event by event against a context that
// writes down what it is asked to do.
#include "base/DateTime.h"
#include "base/Interval.h"
#include "network/client/IPlaybackStateMachineContext.h"
#include "network/client/PlaybackRequestRecord.h"
#include "network/client/PlaybackStateMachine.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/PlayRequest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ostrel;

namespace {

// "play:<section>" / "jump" for sendPlay, "stop", "announce:<section>",
// "stopped:<reason>", "started:<mode>", "frame:<speed>".
class ScriptContext : public IPlaybackStateMachineContext {
public:
    void sendPlay(const PlaybackRequestRecord& request) override { log.push_back("play:" + describe(request)); }
    void sendStop() override { log.push_back("stop"); }
    void announce(const PlaybackRequestRecord& request) override { log.push_back("announce:" + describe(request)); }
    void reportStopped(uint32_t reason) override { log.push_back("stopped:" + std::to_string(reason)); }
    void notifyStarted(const PlaybackRequestRecord& request) override {
        log.push_back("started:" + std::to_string(request.startedMode()));
    }
    void deliverFrame(const MediaFrame&, bool, const MediaPosition&, const PlaybackRequestRecord& request) override {
        log.push_back("frame:" + std::to_string(request.speed()));
    }

    std::vector<std::string> take() {
        std::vector<std::string> taken;
        taken.swap(log);
        return taken;
    }

    std::vector<std::string> log;

private:
    static std::string describe(const PlaybackRequestRecord& request) {
        if (request.kind() == PlaybackRequestRecord::Kind::Play) {
            return std::to_string(request.request().secondParameter());
        }
        return "jump";
    }
};

const Interval Range(DateTime(2024, 1, 1, 10, 0, 0), DateTime(2024, 1, 1, 10, 9, 59));

// A play whose speed parameter tells requests apart.
PlaybackRequestRecord playAt(uint32_t speed, uint32_t direction = PlayRequest::Forward) {
    return PlaybackRequestRecord::play(PlayRequest::play(Range, BitMask32(BitMask32::AllBits), direction, speed, 3));
}

class PlaybackStateMachineTest : public ::testing::Test {
protected:
    void frame() { machine.frame(MediaFrame(), true, MediaPosition(1, 2, 3)); }
    // Logged in and playing request 1 (its first frame delivered).
    void playing() {
        machine.connected();
        machine.play(playAt(1));
        frame();
        context.take();
    }

    ScriptContext context;
    PlaybackStateMachine machine{context};
};

TEST_F(PlaybackStateMachineTest, StartsDisconnectedAndIgnoresRequestsUntilTheLogin) {
    EXPECT_STREQ(machine.stateName(), "DISCONNECTED");
    machine.play(playAt(1));
    machine.stop();
    machine.stopped(2);
    frame();
    machine.storageChange();
    EXPECT_TRUE(context.take().empty());
    machine.connected();
    EXPECT_STREQ(machine.stateName(), "STOPPED");
}

TEST_F(PlaybackStateMachineTest, PlayThenFirstFrameStartsAndDelivers) {
    machine.connected();
    machine.play(playAt(4));
    EXPECT_STREQ(machine.stateName(), "WAITING_FOR_REPLY");
    EXPECT_EQ(context.take(), (std::vector<std::string>{"play:4", "announce:4"}));
    frame();
    frame();
    EXPECT_STREQ(machine.stateName(), "PLAYING");
    EXPECT_EQ(context.take(), (std::vector<std::string>{"started:1", "frame:4", "frame:4"}));
    machine.stopped(2);
    EXPECT_STREQ(machine.stateName(), "STOPPED");
    EXPECT_EQ(context.take(), (std::vector<std::string>{"stopped:2"}));
}

TEST_F(PlaybackStateMachineTest, BackwardPlayDeliversNegativeSpeedAndJumpsZero) {
    machine.connected();
    machine.play(playAt(2, PlayRequest::Backward));
    frame();
    EXPECT_EQ(context.take(), (std::vector<std::string>{"play:2", "announce:2", "started:1", "frame:-2"}));
    machine.stopped(2);
    machine.play(PlaybackRequestRecord::jumpToPosition(MediaPosition(1, 0, 0), 0));
    frame();
    // From Playing, the site is asked to pause before the jump goes out.
    EXPECT_EQ(context.take(), (std::vector<std::string>{"stopped:2", "stop", "play:jump", "announce:jump",
                                                        "started:3", "frame:0"}));
}

TEST_F(PlaybackStateMachineTest, PlayAgainBeforeAnyFrameIsSentAfterTheSiteStopsAndNoStopIsReported) {
    machine.connected();
    machine.play(playAt(1));
    machine.play(playAt(2));
    EXPECT_STREQ(machine.stateName(), "WAITING_FOR_STOP");
    frame(); // a late frame of the first request
    machine.stopped(1);
    EXPECT_STREQ(machine.stateName(), "WAITING_FOR_REPLY");
    EXPECT_EQ(context.take(), (std::vector<std::string>{"play:1", "announce:1", "stop", "play:2", "announce:2"}));
    frame();
    EXPECT_EQ(context.take(), (std::vector<std::string>{"started:1", "frame:2"}));
}

TEST_F(PlaybackStateMachineTest, ThirdPlayWhileWaitingForStopReplacesTheSecond) {
    machine.connected();
    machine.play(playAt(1));
    machine.play(playAt(2));
    machine.play(playAt(3));
    machine.stopped(1);
    EXPECT_EQ(context.take(), (std::vector<std::string>{"play:1", "announce:1", "stop", "play:3", "announce:3"}));
}

TEST_F(PlaybackStateMachineTest, StopBeforeAnyFrameReportsTheSitesStopOnce) {
    machine.connected();
    machine.play(playAt(1));
    machine.stop();
    frame();
    machine.stopped(1);
    EXPECT_STREQ(machine.stateName(), "STOPPED");
    EXPECT_EQ(context.take(), (std::vector<std::string>{"play:1", "announce:1", "stop", "stopped:1"}));
    machine.stopped(1); // a second notice finds nothing to stop
    EXPECT_TRUE(context.take().empty());
}

TEST_F(PlaybackStateMachineTest, PlayAfterStopWhileWaitingForStopIsSentAndStopAfterPlayIsNot) {
    machine.connected();
    machine.play(playAt(1));
    machine.stop();
    machine.play(playAt(2)); // clears the stop-only mark
    machine.stopped(1);
    EXPECT_EQ(context.take(), (std::vector<std::string>{"play:1", "announce:1", "stop", "play:2", "announce:2"}));

    machine.play(playAt(3));
    machine.stop(); // marks stop-only again: 3 is dropped
    machine.stopped(1);
    EXPECT_EQ(context.take(), (std::vector<std::string>{"stop", "stopped:1"}));
}

TEST_F(PlaybackStateMachineTest, StopWhilePlayingWaitsForTheSiteAndDropsLateFrames) {
    playing();
    machine.stop();
    EXPECT_STREQ(machine.stateName(), "WAITING_FOR_STOP");
    frame();
    machine.stopped(1);
    EXPECT_EQ(context.take(), (std::vector<std::string>{"stop", "stopped:1"}));
}

TEST_F(PlaybackStateMachineTest, StopWhileStoppedPausesAndReportsReasonOne) {
    machine.connected();
    machine.stop();
    EXPECT_EQ(context.take(), (std::vector<std::string>{"stop", "stopped:1"}));
}

TEST_F(PlaybackStateMachineTest, StoppedRemembersWhetherItCameFromPlaying) {
    // From Playing: the next play pauses the site first.
    playing();
    machine.stopped(2);
    machine.play(playAt(2));
    EXPECT_EQ(context.take(), (std::vector<std::string>{"stopped:2", "stop", "play:2", "announce:2"}));
    // From WaitingForReply: no pause before the next play.
    machine.stopped(5);
    machine.play(playAt(3));
    EXPECT_EQ(context.take(), (std::vector<std::string>{"stopped:5", "play:3", "announce:3"}));
    // A login keeps the mark as it is.
    frame();
    machine.stopped(2);
    machine.connected();
    machine.play(playAt(4));
    EXPECT_EQ(context.take(),
              (std::vector<std::string>{"started:1", "frame:3", "stopped:2", "stop", "play:4", "announce:4"}));
}

TEST_F(PlaybackStateMachineTest, AnswerToAPauseSentBeforeAPlayDoesNotEndThatPlay) {
    // After a playback that ended by itself the next play pauses the site first;
    // a site that answers that pause must not end the new play with its answer.
    playing();
    machine.stopped(2);
    machine.play(playAt(2));
    machine.stopped(1); // the pause's answer
    EXPECT_STREQ(machine.stateName(), "WAITING_FOR_REPLY");
    frame();
    EXPECT_EQ(context.take(), (std::vector<std::string>{"stopped:2", "stop", "play:2", "announce:2", "started:1",
                                                        "frame:2"}));
}

TEST_F(PlaybackStateMachineTest, PauseAnswerAfterTheNaturalEndIsNotTheNextPlaysEnd) {
    // A new play while playing: the site ends the old playback by itself (2) just
    // as the pause arrives, and then answers the pause too (1).
    playing();
    machine.play(playAt(2));
    machine.stopped(2);
    machine.stopped(1);
    EXPECT_STREQ(machine.stateName(), "WAITING_FOR_REPLY");
    machine.stopped(5); // the new play's own end is reported
    EXPECT_EQ(context.take(), (std::vector<std::string>{"stop", "play:2", "announce:2", "stopped:5"}));
}

TEST_F(PlaybackStateMachineTest, StopWithoutAnAnsweredPauseStillEndsAPlayWaitingForItsFirstFrame) {
    // A site that does not answer a pause when nothing plays: once the play's
    // first frame has come, a later reason-1 notice is that play's own.
    playing();
    machine.stopped(2);
    machine.play(playAt(2));
    frame();
    machine.stopped(1);
    EXPECT_STREQ(machine.stateName(), "STOPPED");
    EXPECT_EQ(context.take().back(), "stopped:1");
}

TEST_F(PlaybackStateMachineTest, DisconnectFromEveryStateGoesToDisconnected) {
    playing();
    machine.disconnected();
    EXPECT_STREQ(machine.stateName(), "DISCONNECTED");
    frame();
    EXPECT_TRUE(context.take().empty());
}

TEST_F(PlaybackStateMachineTest, StorageChangeWaitsForTheSiteThenAllowsPlayFromInitial) {
    playing();
    machine.storageChange();
    EXPECT_STREQ(machine.stateName(), "STORAGE_UNKNOWN");
    machine.play(playAt(2));
    machine.stop();
    machine.stopped(1);
    frame();
    EXPECT_EQ(context.take(), (std::vector<std::string>{"stop"}));
    machine.storageChanged();
    EXPECT_STREQ(machine.stateName(), "INIT");
    machine.stop();
    EXPECT_TRUE(context.take().empty());
    machine.play(playAt(2));
    EXPECT_STREQ(machine.stateName(), "WAITING_FOR_REPLY");
    EXPECT_EQ(context.take(), (std::vector<std::string>{"play:2", "announce:2"}));
    machine.storageChanged(); // only meaningful while the storage is unknown
    EXPECT_STREQ(machine.stateName(), "WAITING_FOR_REPLY");
}

} // namespace
