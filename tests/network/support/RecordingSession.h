#pragma once

#include "network/session/Session.h"
#include "network/session/SessionContext.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace ostrel::test {

// A Session that writes down every event ("connected", "failed 111",
// "closed 102", "sent 0", "read") and lets tests wait for them. Optional hooks
// run on the dispatcher thread inside the events.
class RecordingSession : public Session {
public:
    void attachContext(SessionContext* context) override { _context = context; }
    void connectCompleted() override { record("connected", onConnected); }
    void connectFailed(int reason) override { record("failed " + std::to_string(reason), nullptr); }
    void connectionClosed(int reason) override { record("closed " + std::to_string(reason), nullptr); }
    void sendCompleted(Priority priority) override {
        record("sent " + std::to_string(static_cast<int>(priority)), nullptr);
    }
    void readCompleted() override { record("read", onRead); }

    SessionContext* context() const { return _context; }
    // Waits until `event` has been recorded (bounded); true when it was.
    bool waitFor(const std::string& event, int timeoutMilliseconds = 5000) {
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds),
                                 [&] { return countLocked(event) > 0; });
    }
    int count(const std::string& event) {
        std::lock_guard<std::mutex> lock(_mutex);
        return countLocked(event);
    }
    std::vector<std::string> events() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _events;
    }

    std::function<void()> onConnected;
    std::function<void()> onRead;

private:
    void record(std::string event, const std::function<void()>& hook) {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _events.push_back(std::move(event));
        }
        _changed.notify_all();
        if (hook) {
            hook();
        }
    }
    int countLocked(const std::string& event) const {
        int n = 0;
        for (const auto& e : _events) {
            n += e == event ? 1 : 0;
        }
        return n;
    }

    SessionContext* _context = nullptr;
    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<std::string> _events;
};

} // namespace ostrel::test
