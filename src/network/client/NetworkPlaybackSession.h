#pragma once

#include "base/BitMask32.h"
#include "base/Date.h"
#include "base/Interval.h"
#include "base/thread/Condition.h"
#include "base/thread/Mutex.h"
#include "network/protocol/LoginResult.h"

#include <atomic>
#include <cstdint>
#include <set>
#include <vector>

namespace ostrel {

class EventListEntry;
class MediaFrame;
class MediaPosition;
class ProductInfo;
class RecordingTimeTableEntry;
class RemoteSystemInfo;
class StorageListEntry;
class TextInEventListEntry;
class TextInFrame;

// One client of the network playback context as the context sees it: the
// callbacks of its session's events and replies (all on the network thread),
// and the session bookkeeping the context keeps for it.
class NetworkPlaybackSession {
public:
    NetworkPlaybackSession() = default;
    virtual ~NetworkPlaybackSession() = default;
    NetworkPlaybackSession(const NetworkPlaybackSession&) = delete;
    NetworkPlaybackSession& operator=(const NetworkPlaybackSession&) = delete;

    virtual void loginSucceeded() = 0;
    virtual void disconnected(int reason) = 0;
    virtual void remoteSystemInfoReceived(const RemoteSystemInfo& info) = 0;
    virtual void productInfoReceived(const ProductInfo& info) = 0;
    virtual void recordingCalendarReceived(const std::set<Date>& dates) = 0;
    virtual void recordingTimeTableReceived(const std::vector<RecordingTimeTableEntry>& list) = 0;
    virtual void sectionListReceived(const BitMask32& channels, const Interval& range,
                                     const std::vector<uint32_t>& sectionIDs) = 0;
    virtual void textInFrameReceived(const TextInFrame& frame, const MediaPosition& position) = 0;
    virtual void mediaFrameReceived(const MediaFrame& frame, bool flag, const MediaPosition& position) = 0;
    virtual void playbackStoppedReceived(uint32_t reason) = 0;
    virtual void eventCalendarReceived(const std::set<Date>& dates) = 0;
    virtual void eventListReceived(const std::vector<EventListEntry>& list) = 0;
    virtual void textInEventListReceived(const std::vector<TextInEventListEntry>& list) = 0;
    virtual void storageListReceived(const std::vector<StorageListEntry>& list) = 0;
    virtual void storageChanged() = 0;

    // The session handle; -1 until the first successful connect. It is kept after
    // a disconnect, so requests made then fail with InvalidSessionHandleException.
    int handle() const { return _handle.load(std::memory_order_acquire); }
    void setHandle(int handle) { _handle.store(handle, std::memory_order_release); }
    // The TCP connection is up.
    bool connectedFlag() const { return _connected.load(std::memory_order_acquire); }
    void setConnectedFlag(bool value) { _connected.store(value, std::memory_order_release); }
    bool disconnectRequested() const { return _disconnectRequested.load(std::memory_order_acquire); }
    void setDisconnectRequested(bool value) { _disconnectRequested.store(value, std::memory_order_release); }
    // The last login response, kept until the next one replaces it.
    LoginResult loginResult() const;
    void setLoginResult(const LoginResult& result);

    // Frame callbacks run without the context's callback mutex; these count them,
    // so that a client leaving the context can wait until none uses it any more.
    void beginFrameCallback();
    void endFrameCallback();
    void waitForFrameCallbacks();

private:
    std::atomic<int> _handle{-1};
    std::atomic<bool> _connected{false};
    std::atomic<bool> _disconnectRequested{false};
    mutable Mutex _mutex;
    Condition _frameCallbacksDone{_mutex};
    LoginResult _loginResult;
    int _frameCallbacks = 0;
};

} // namespace ostrel
