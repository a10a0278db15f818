#pragma once

#include "base/Interval.h"
#include "network/client/IPlaybackClientListener.h"
#include "network/protocol/playback/MediaPosition.h"
#include "ostrel-sitesim/RecordingItem.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel {
class SiteServer;
}

namespace ostrel::test {

constexpr auto Patience = std::chrono::seconds(60);

// The shared bounded wait (support/TestThreads.h) with the playback tests' patience.
bool eventually(const std::function<bool()>& predicate);

// One frame as the listener received it.
struct DeliveredFrame {
    char kind = '?'; // 'V' video, 'A' audio, 'T' text-in
    uint64_t mediaID = 0;
    MediaPosition position;
    // The data is exactly the simulated site's bytes for this frame.
    bool payloadIntact = false;

    bool operator==(const DeliveredFrame& other) const = default;
};

// The frames a site delivers for a play of `range` on `mask`, in delivery order,
// from the site's own model (payloads marked intact).
std::vector<DeliveredFrame> expectedFrames(const SiteServer& site, const Interval& range, uint32_t mask);

// A listener that writes down what it hears: events as text ("connected",
// "disconnected 102", "started 1", "stopped 2", "sections 3", "systeminfo <name>",
// "callback 0"), frames as DeliveredFrame with their payload checked against
// the simulated site's payload formula. Hooks may hold the calling thread.
class SiteListener : public IPlaybackClientListener {
public:
    void playbackRecordingTimeTableReceived(int handle, const std::vector<RecordingTimeTableEntry>& list) override;
    void playbackRecordingSectionListReceived(int handle, const BitMask32& channels, const Interval& range,
                                              const std::vector<uint32_t>& sectionIDs) override;
    void playbackAudioFrameReceived(int handle, const MediaFrame& frame, const MediaPosition& position) override;
    void playbackVideoFrameReceived(int handle, bool flag, int speed, const MediaFrame& frame,
                                    const MediaPosition& position) override;
    void playbackTextInReceived(int handle, const TextInFrame& frame, const MediaPosition& position) override;
    void playbackStarted(int handle, uint32_t mode) override;
    void playbackStopped(int handle, uint32_t reason) override;
    void playbackConnected(int handle) override;
    void playbackDisconnected(int handle, int reason) override;
    void playbackRemoteSystemInfoReceived(int handle, const RemoteSystemInfo& info) override;
    void playbackEventListReceived(int handle, const std::vector<EventListEntry>& list) override;
    void playbackCallback(int handle, int kind, void* record) override;

    // Waits until `event` has been heard `times` times.
    bool waitFor(const std::string& event, int times = 1);
    bool waitForFrames(size_t count);
    int count(const std::string& event);
    // Events whose text starts with the prefix.
    int countPrefix(const std::string& prefix);
    std::vector<std::string> events();
    std::vector<DeliveredFrame> frames();
    size_t frameCount();

    // Called on the delivering thread before a frame is written down.
    std::function<void(const DeliveredFrame&)> onFrame;
    // Called on the network thread when a section list arrives.
    std::function<void()> onSectionList;

private:
    void add(const std::string& event);
    void addFrame(const DeliveredFrame& frame);

    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<std::string> _events;
    std::vector<DeliveredFrame> _frames;
};

// Holds threads at wait() until open().
class Gate {
public:
    void wait();
    void open();
    // Some thread is (or was) held at wait().
    bool reached();

private:
    std::mutex _mutex;
    std::condition_variable _changed;
    bool _open = false;
    bool _reached = false;
};

} // namespace ostrel::test
