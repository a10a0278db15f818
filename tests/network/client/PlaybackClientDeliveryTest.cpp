// The queue side of a playback client, without a network: frames, text-in
// records, stop notices and callbacks travel through the client's queue and
// reach the listener on the media dispatcher thread as they were queued.
#include "base/DateTime.h"
#include "base/Interval.h"
#include "base/thread/Thread.h"
#include "network/client/IPlaybackClientListener.h"
#include "network/client/PlaybackClient.h"
#include "network/media/MediaDispatcher.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/MediaPosition.h"
#include "network/protocol/playback/PlayRequest.h"
#include "network/protocol/playback/TextInFrame.h"
#include "support/TestThreads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace ostrel;

namespace {

constexpr auto Patience = std::chrono::seconds(30);

using ostrel::testing::eventually;

// A client whose network side only writes down what it would send; the test
// plays the network thread by calling the protected hooks.
class TestClient : public PlaybackClient {
public:
    using PlaybackClient::attachQueue;
    using PlaybackClient::clearQueue;
    using PlaybackClient::deliverFrame;
    using PlaybackClient::detachQueue;
    using PlaybackClient::queueTextIn;
    using PlaybackClient::releaseQueue;
    using PlaybackClient::stateMachine;

    ~TestClient() override {
        detachQueue();
        releaseQueue();
    }

    std::vector<std::string> sent() {
        std::lock_guard<std::mutex> lock(_sentMutex);
        return _sent;
    }

protected:
    int sessionHandle() const override { return 1000; }
    void sendPlayRequest(const PlaybackRequestRecord&) override { record("play"); }
    void sendPauseRequest(const MediaPosition& position) override { record("pause " + position.toString()); }

private:
    void record(const std::string& line) {
        std::lock_guard<std::mutex> lock(_sentMutex);
        _sent.push_back(line);
    }

    std::mutex _sentMutex;
    std::vector<std::string> _sent;
};

// Writes every report down; frames as "video <mediaID> <flag> <speed> <position> <bytes>".
class Listener : public IPlaybackClientListener {
public:
    void playbackVideoFrameReceived(int handle, bool flag, int speed, const MediaFrame& frame,
                                    const MediaPosition& position) override {
        if (onFrame) {
            onFrame(frame);
        }
        std::string bytes(reinterpret_cast<const char*>(frame.data()), static_cast<size_t>(frame.dataLength()));
        add("video " + std::to_string(handle) + " " + std::to_string(frame.mediaID()) + " " + (flag ? "1" : "0") +
            " " + std::to_string(speed) + " " + position.toString() + " " + std::to_string(frame.channel()) + " " +
            frame.time().toString() + " " + bytes);
    }
    void playbackAudioFrameReceived(int, const MediaFrame& frame, const MediaPosition&) override {
        add("audio " + std::to_string(frame.mediaID()));
    }
    void playbackTextInReceived(int, const TextInFrame& frame, const MediaPosition& position) override {
        add("text " + std::string(frame.text()) + " " + position.toString());
    }
    void playbackStopped(int, uint32_t reason) override { add("stopped " + std::to_string(reason)); }
    void playbackStarted(int, uint32_t mode) override { add("started " + std::to_string(mode)); }
    void playbackCallback(int, int kind, void* record) override {
        add("callback " + std::to_string(kind) + " " + *static_cast<std::string*>(record));
    }

    std::vector<std::string> waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(_mutex);
        _changed.wait_for(lock, Patience, [&] { return _events.size() >= count; });
        return _events;
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _events;
    }

    std::function<void(const MediaFrame&)> onFrame;

private:
    void add(const std::string& event) {
        std::lock_guard<std::mutex> lock(_mutex);
        _events.push_back(event);
        _changed.notify_all();
    }

    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<std::string> _events;
};

MediaFrame videoFrame(uint64_t mediaID, const std::string& data) {
    MediaFrame frame;
    frame.setMediaType(MediaFrame::Video);
    frame.setChannelMask(BitMask32(1u << 2));
    frame.setMediaID(mediaID);
    frame.setTime(DateTime(2024, 1, 1, 10, 0, static_cast<int>(mediaID % 60)));
    frame.setDataSize(static_cast<uint32_t>(data.size()));
    frame.setData(reinterpret_cast<const uint8_t*>(data.data()));
    return frame;
}

const Interval Range(DateTime(2024, 1, 1, 10, 0, 0), DateTime(2024, 1, 1, 10, 9, 59));

class PlaybackClientDeliveryTest : public ::testing::Test {
protected:
    void SetUp() override { dispatcher.start(); }
    void TearDown() override {
        dispatcher.stop();
        dispatcher.join();
    }

    // Logged in and playing at the given speed, with its first frame (media ID 1) queued.
    void startPlaying(int queueSize = 1 << 20, uint32_t speed = 2) {
        client.attachQueue(dispatcher, queueSize, &listener);
        client.stateMachine().connected();
        client.play(PlayRequest::play(Range, BitMask32(BitMask32::AllBits), PlayRequest::Forward, speed, 3));
        networkFrame(1, "first");
    }
    // What the network thread does with a received frame.
    void networkFrame(uint64_t mediaID, const std::string& data) {
        client.stateMachine().frame(videoFrame(mediaID, data), true, MediaPosition(1, 2, static_cast<uint32_t>(mediaID)));
    }

    // Hooks that hold the dispatcher's thread use these: they outlive the thread.
    std::atomic<bool> release{false};
    std::atomic<bool> holding{false};
    MediaDispatcher dispatcher;
    Listener listener;
    TestClient client;
};

TEST_F(PlaybackClientDeliveryTest, FrameRecordCarriesEverythingToTheListener) {
    startPlaying(1 << 20, 3);
    networkFrame(2, "odd-sized"); // 9 bytes: padded in the queue, not in the frame
    const auto events = listener.waitFor(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], "started 1");
    EXPECT_EQ(events[1], "video 1000 1 1 3 1 : (2, 1) 2 " + DateTime(2024, 1, 1, 10, 0, 1).toString() + " first");
    EXPECT_EQ(events[2], "video 1000 2 1 3 1 : (2, 2) 2 " + DateTime(2024, 1, 1, 10, 0, 2).toString() + " odd-sized");
    ASSERT_TRUE(eventually([&] { return client.lastMediaID() == 2; }));
    EXPECT_EQ(client.lastPosition(), MediaPosition(1, 2, 2));
    EXPECT_EQ(client.lastVideoPosition(), MediaPosition(1, 2, 2));
    EXPECT_EQ(client.lastChannel(), 2);
}

TEST_F(PlaybackClientDeliveryTest, TextInAndCallbacksKeepTheirPlaceBetweenFrames) {
    startPlaying();
    TextInFrame text;
    text.setText("RECEIPT 7");
    client.queueTextIn(text, MediaPosition(1, 3, 40));
    std::string resume = "resume-record";
    ASSERT_TRUE(client.postCallback(0, &resume));
    networkFrame(2, "second");
    const auto events = listener.waitFor(5);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[2], "text RECEIPT 7 1 : (3, 40)");
    EXPECT_EQ(events[3], "callback 0 resume-record");
    EXPECT_EQ(events[4].substr(0, 12), "video 1000 2");
}

TEST_F(PlaybackClientDeliveryTest, SiteStopReasonThreeReachesTheListenerAsTen) {
    startPlaying();
    client.stateMachine().stopped(3);
    const auto events = listener.waitFor(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2], "stopped 10");
}

TEST_F(PlaybackClientDeliveryTest, FramesQueuedBeforeAStopAreNotDeliveredAfterIt) {
    listener.onFrame = [&](const MediaFrame& frame) {
        if (frame.mediaID() == 1) {
            holding = true;
            while (!release) {
                Thread::sleep(1);
            }
        }
    };
    startPlaying();
    ASSERT_TRUE(eventually([&] { return holding.load(); }));
    for (uint64_t id = 2; id <= 20; ++id) {
        networkFrame(id, "queued");
    }
    TextInFrame text;
    text.setText("queued text");
    client.queueTextIn(text, MediaPosition(1, 3, 40));
    // The stop waits for the frame being delivered: run it aside, release the
    // listener once the stop has emptied the queue.
    std::thread stopper([&] { client.stop(); });
    ASSERT_TRUE(eventually([&] { return client.isStopped(); }));
    release = true;
    stopper.join();
    client.stateMachine().stopped(1); // the site confirms the pause
    const auto events = listener.waitFor(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], "started 1");
    EXPECT_EQ(events[1].substr(0, 12), "video 1000 1");
    EXPECT_EQ(events[2], "stopped 1");
    EXPECT_EQ(client.sent(), (std::vector<std::string>{"play", "pause 1 : (2, 1)"}));
}

TEST_F(PlaybackClientDeliveryTest, StopFromTheListenerDoesNotWaitForItself) {
    listener.onFrame = [&](const MediaFrame& frame) {
        if (frame.mediaID() == 1) {
            client.stop();
        }
    };
    startPlaying();
    ASSERT_TRUE(eventually([&] { return client.isStopped(); }));
    networkFrame(2, "late"); // dropped: the machine waits for the site's stop
    client.stateMachine().stopped(1);
    const auto events = listener.waitFor(3);
    EXPECT_EQ(events, (std::vector<std::string>{events[0], events[1], "stopped 1"}));
}

TEST_F(PlaybackClientDeliveryTest, StopNoticeWaitsForRoomWithoutBlockingAndFollowsTheFrames) {
    // A queue that holds only a few frames, and a listener held on the first one:
    // the site's stop notice finds the queue full.
    listener.onFrame = [&](const MediaFrame& frame) {
        if (frame.mediaID() == 1) {
            holding = true;
            while (!release) {
                Thread::sleep(1);
            }
        }
    };
    const std::string data(100, 'd');
    const int recordSize = PlaybackClient::FrameRecordHeaderSize + 100 + 4;
    startPlaying(3 * recordSize);
    ASSERT_TRUE(eventually([&] { return holding.load(); }));
    networkFrame(2, data);
    networkFrame(3, data);
    networkFrame(4, data);
    // Full now; the stop notice must neither wait nor get lost.
    client.stateMachine().stopped(2);
    EXPECT_STREQ(client.stateName(), "STOPPED");
    release = true;
    const auto events = listener.waitFor(6);
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[2].substr(0, 12), "video 1000 2");
    EXPECT_EQ(events[4].substr(0, 12), "video 1000 4");
    EXPECT_EQ(events[5], "stopped 2");
}

TEST_F(PlaybackClientDeliveryTest, FrameLargerThanTheQueueIsDroppedWithoutWaiting) {
    startPlaying(4096);
    networkFrame(2, std::string(5000, 'x'));
    networkFrame(3, "small");
    const auto events = listener.waitFor(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2].substr(0, 12), "video 1000 3");
    EXPECT_EQ(client.droppedFrameCount(), 1u);
}

TEST_F(PlaybackClientDeliveryTest, LargestSessionFrameFitsTheArchivingQueue) {
    startPlaying(PlaybackClient::ArchivingQueueSize);
    const std::string data(ClientSession::MaxPayloadSize - 1 - MediaPosition::WireSize - MediaFrame::HeaderSize, 'L');
    networkFrame(2, data);
    const auto events = listener.waitFor(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[2].size(), events[2].find(" L") + 2 + data.size() - 1);
    EXPECT_EQ(client.droppedFrameCount(), 0u);
}

TEST_F(PlaybackClientDeliveryTest, FramesFarBeyondTheQueueSizeAllArriveInOrder) {
    const std::string data(100, 'd');
    startPlaying(3 * (PlaybackClient::FrameRecordHeaderSize + 104));
    std::thread network([&] {
        for (uint64_t id = 2; id <= 300; ++id) {
            networkFrame(id, data);
        }
    });
    network.join();
    const auto events = listener.waitFor(301);
    ASSERT_EQ(events.size(), 301u);
    for (uint64_t id = 1; id <= 300; ++id) {
        EXPECT_EQ(events[id].substr(0, 11 + std::to_string(id).size()), "video 1000 " + std::to_string(id));
    }
}

TEST_F(PlaybackClientDeliveryTest, StopReleasesTheNetworkThreadWaitingForRoom) {
    listener.onFrame = [&](const MediaFrame& frame) {
        if (frame.mediaID() == 1) {
            holding = true;
            while (!release) {
                Thread::sleep(1);
            }
        }
    };
    const std::string data(100, 'd');
    startPlaying(3 * (PlaybackClient::FrameRecordHeaderSize + 104));
    ASSERT_TRUE(eventually([&] { return holding.load(); }));
    std::atomic<bool> networkDone{false};
    std::thread network([&] {
        for (uint64_t id = 2; id <= 20; ++id) {
            networkFrame(id, data);
        }
        networkDone = true;
    });
    ASSERT_TRUE(eventually([&] { return dispatcher.pendingCount() >= 3; })); // the queue is full
    std::thread stopper([&] { client.stop(); });
    ASSERT_TRUE(eventually([&] { return client.isStopped(); }));
    // The network thread goes on although the listener still holds the first frame.
    EXPECT_TRUE(eventually([&] { return networkDone.load(); }));
    release = true;
    stopper.join();
    network.join();
    client.stateMachine().stopped(1);
    const auto events = listener.waitFor(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].substr(0, 12), "video 1000 1");
    EXPECT_EQ(events[2], "stopped 1");
}

TEST_F(PlaybackClientDeliveryTest, PlayClearsTheStoppedFlagAndQueuedRecords) {
    startPlaying();
    ASSERT_EQ(listener.waitFor(2).size(), 2u);
    client.stop();
    EXPECT_TRUE(client.isStopped());
    client.stateMachine().stopped(1);
    ASSERT_EQ(listener.waitFor(3).size(), 3u);
    client.play(PlayRequest::play(Range, BitMask32(BitMask32::AllBits), PlayRequest::Backward, 1, 3));
    EXPECT_FALSE(client.isStopped());
    networkFrame(5, "again");
    const auto events = listener.waitFor(5);
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[2], "stopped 1");
    EXPECT_EQ(events[3], "started 1");
    EXPECT_EQ(events[4].substr(0, 17), "video 1000 5 1 -1");
}

} // namespace
