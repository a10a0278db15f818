#include "playback/support/SiteListener.h"

#include "base/thread/Thread.h"
#include "network/protocol/RemoteSystemInfo.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/protocol/playback/TextInFrame.h"
#include "ostrel-sitesim/FramePayload.h"
#include "ostrel-sitesim/RecordingCursor.h"
#include "ostrel-sitesim/SiteServer.h"
#include "support/TestThreads.h"

#include <cstring>

namespace ostrel::test {

bool eventually(const std::function<bool()>& predicate) { return testing::eventually(predicate, Patience); }

std::vector<DeliveredFrame> expectedFrames(const SiteServer& site, const Interval& range, uint32_t mask) {
    const SyntheticRecording& recording = site.recording();
    const auto from = SyntheticRecording::secondsOf(range.from());
    const auto to = SyntheticRecording::secondsOf(range.to());
    std::vector<DeliveredFrame> frames;
    RecordingCursor cursor(recording, SyntheticRecording::clip(recording.spans(site.elapsed()), *from, *to), mask,
                           true);
    RecordingItem item;
    while (cursor.next(item)) {
        DeliveredFrame frame;
        frame.kind = item.kind == RecordingItem::Kind::Video ? 'V' : item.kind == RecordingItem::Kind::Audio ? 'A' : 'T';
        frame.mediaID = item.mediaID;
        frame.position = item.position();
        frame.payloadIntact = true;
        frames.push_back(frame);
    }
    return frames;
}

namespace {

bool payloadIntact(const MediaFrame& frame) {
    std::vector<uint8_t> expected(static_cast<size_t>(frame.dataLength()));
    FramePayload::fill(expected.data(), expected.size(), frame.channel(), frame.mediaID(), frame.time().epochSeconds());
    return frame.data() != nullptr && std::memcmp(expected.data(), frame.data(), expected.size()) == 0;
}

} // namespace

void SiteListener::playbackRecordingTimeTableReceived(int, const std::vector<RecordingTimeTableEntry>& list) {
    add("timetable " + std::to_string(list.size()));
}

void SiteListener::playbackRecordingSectionListReceived(int, const BitMask32&, const Interval&,
                                                        const std::vector<uint32_t>& sectionIDs) {
    if (onSectionList) {
        onSectionList();
    }
    add("sections " + std::to_string(sectionIDs.size()));
}

void SiteListener::playbackAudioFrameReceived(int, const MediaFrame& frame, const MediaPosition& position) {
    addFrame({'A', frame.mediaID(), position, payloadIntact(frame)});
}

void SiteListener::playbackVideoFrameReceived(int, bool, int, const MediaFrame& frame,
                                              const MediaPosition& position) {
    addFrame({'V', frame.mediaID(), position, payloadIntact(frame)});
}

void SiteListener::playbackTextInReceived(int, const TextInFrame& frame, const MediaPosition& position) {
    addFrame({'T', frame.mediaID(), position, true});
}

void SiteListener::playbackStarted(int, uint32_t mode) { add("started " + std::to_string(mode)); }

void SiteListener::playbackStopped(int, uint32_t reason) { add("stopped " + std::to_string(reason)); }

void SiteListener::playbackConnected(int) { add("connected"); }

void SiteListener::playbackDisconnected(int, int reason) { add("disconnected " + std::to_string(reason)); }

void SiteListener::playbackRemoteSystemInfoReceived(int, const RemoteSystemInfo& info) {
    add("systeminfo " + std::string(info.name()));
}

void SiteListener::playbackEventListReceived(int, const std::vector<EventListEntry>& list) {
    add("events " + std::to_string(list.size()));
}

void SiteListener::playbackCallback(int, int kind, void*) { add("callback " + std::to_string(kind)); }

void SiteListener::add(const std::string& event) {
    std::lock_guard<std::mutex> lock(_mutex);
    _events.push_back(event);
    _changed.notify_all();
}

void SiteListener::addFrame(const DeliveredFrame& frame) {
    if (onFrame) {
        onFrame(frame);
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _frames.push_back(frame);
    _changed.notify_all();
}

bool SiteListener::waitFor(const std::string& event, int times) {
    std::unique_lock<std::mutex> lock(_mutex);
    return _changed.wait_for(lock, Patience, [&] {
        int seen = 0;
        for (const auto& e : _events) {
            seen += e == event ? 1 : 0;
        }
        return seen >= times;
    });
}

bool SiteListener::waitForFrames(size_t count) {
    std::unique_lock<std::mutex> lock(_mutex);
    return _changed.wait_for(lock, Patience, [&] { return _frames.size() >= count; });
}

int SiteListener::count(const std::string& event) {
    std::lock_guard<std::mutex> lock(_mutex);
    int seen = 0;
    for (const auto& e : _events) {
        seen += e == event ? 1 : 0;
    }
    return seen;
}

int SiteListener::countPrefix(const std::string& prefix) {
    std::lock_guard<std::mutex> lock(_mutex);
    int seen = 0;
    for (const auto& e : _events) {
        seen += e.rfind(prefix, 0) == 0 ? 1 : 0;
    }
    return seen;
}

std::vector<std::string> SiteListener::events() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _events;
}

std::vector<DeliveredFrame> SiteListener::frames() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _frames;
}

size_t SiteListener::frameCount() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _frames.size();
}

void Gate::wait() {
    std::unique_lock<std::mutex> lock(_mutex);
    _reached = true;
    _changed.notify_all();
    // Bounded, so a failing test cannot hold a thread for ever.
    _changed.wait_for(lock, Patience, [&] { return _open; });
}

void Gate::open() {
    std::lock_guard<std::mutex> lock(_mutex);
    _open = true;
    _changed.notify_all();
}

bool Gate::reached() {
    std::lock_guard<std::mutex> lock(_mutex);
    return _reached;
}

} // namespace ostrel::test
