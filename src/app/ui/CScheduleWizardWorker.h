#pragma once

#include "network/client/IPlaybackClientListener.h"
#include "network/protocol/playback/RecordingTimeTableEntry.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ostrel {

class ControllerThread;
class NetworkPlaybackClient;

// The schedule wizard's own thread. "Load" talks to a site through the
// wizard's playback client and Finish formats storage files; both may take
// long (a name lookup, a site that does not answer, gigabytes to allocate),
// and the controller thread must never wait for them. So they run here, in
// order, and their results travel back as tasks posted to the controller
// thread. The playback client reports on the network thread; those reports
// are only queued here.
//
// The wizard owns the worker while it is open; finish() (the wizard closes)
// stops delivering results at once, and the thread then disconnects and
// shuts the client down and ends on its own. Nobody joins it, so closing the
// wizard never waits for a site either.
class CScheduleWizardWorker : public IPlaybackClientListener,
                              public std::enable_shared_from_this<CScheduleWizardWorker> {
public:
    struct Connection {
        std::string address;
        uint16_t port = 0;
        std::string user;
        std::string password;
    };
    // What a query ends with: the site's time table, or nothing when the site
    // could not be reached (or did not answer in time).
    using QueryDone = std::function<void(std::optional<std::vector<RecordingTimeTableEntry>> table)>;

    // A query without an answer after this long counts as failed.
    static constexpr std::chrono::seconds DefaultQueryTimeout{30};
    // The wizard's client never plays, so its frame queue is tiny.
    static constexpr int QueueBytes = 8;

    // Starts the thread. Results are posted to `controller`.
    static std::shared_ptr<CScheduleWizardWorker> start(ControllerThread& controller,
                                                        std::chrono::milliseconds queryTimeout = DefaultQueryTimeout);
    ~CScheduleWizardWorker() override;
    CScheduleWizardWorker(const CScheduleWizardWorker&) = delete;
    CScheduleWizardWorker& operator=(const CScheduleWizardWorker&) = delete;

    // Asks the site for its recording time table of 1900-01-01 00:00:00 to
    // 2100-12-31 23:59:59, all channels: disconnects the client if it is
    // connected, connects, asks once logged in, and disconnects when the
    // answer is there. `done` runs on the controller thread, unless another
    // query or finish() came first.
    void query(const Connection& connection, QueryDone done);
    // Runs `job` on the worker thread after what is queued before it.
    void run(std::function<void()> job);
    // Posts `task` to the controller thread; false (dropped) after finish().
    bool post(std::function<void()> task);
    // No more results are delivered; the thread disconnects, shuts the
    // client down and ends once its current job is done. Idempotent.
    void finish();
    bool isFinishing() const { return _finishing.load(); }

    // Worker threads that have not ended yet, in the whole process.
    static int runningThreads();
    // Waits until every worker thread has ended, at most `patience` (the
    // application's end: the threads may still be letting their site go).
    static bool waitForAll(std::chrono::milliseconds patience);

    // ---- IPlaybackClientListener, on the network thread: queued only ----
    void playbackConnected(int handle) override;
    void playbackDisconnected(int handle, int reason) override;
    void playbackRecordingTimeTableReceived(int handle, const std::vector<RecordingTimeTableEntry>& list) override;

private:
    CScheduleWizardWorker(ControllerThread& controller, std::chrono::milliseconds queryTimeout);
    void runThread();
    void enqueue(std::function<void()> job);
    // ---- on the worker thread ----
    void startQuery(const Connection& connection, QueryDone done);
    void connected(int handle);
    void disconnected(int handle, int reason);
    void tableReceived(int handle, const std::vector<RecordingTimeTableEntry>& list);
    void timedOut();
    void endQuery(std::optional<std::vector<RecordingTimeTableEntry>> table);

    const std::chrono::milliseconds _queryTimeout;
    std::atomic<bool> _finishing{false};

    std::mutex _postMutex;
    ControllerThread* _controller; // null once finished

    std::mutex _mutex;
    std::condition_variable _wake;
    std::deque<std::function<void()>> _jobs;
    std::optional<std::chrono::steady_clock::time_point> _deadline;

    // Worker thread only.
    std::unique_ptr<NetworkPlaybackClient> _client;
    int _queryHandle = -1;
    bool _queryOpen = false;
    QueryDone _queryDone;
};

} // namespace ostrel
