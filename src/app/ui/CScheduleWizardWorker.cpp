#include "app/ui/CScheduleWizardWorker.h"

#include "app/ui/ControllerThread.h"
#include "base/BitMask32.h"
#include "base/DateTime.h"
#include "base/Exception.h"
#include "base/Interval.h"
#include "base/Trace.h"
#include "network/client/NetworkPlaybackClient.h"

#include <pthread.h>
#include <thread>

namespace ostrel {

namespace {
std::mutex runningMutex;
std::condition_variable runningEnded;
int runningWorkers = 0;
// A disconnect the client asked for.
constexpr int RequestedDisconnect = 301;
} // namespace

CScheduleWizardWorker::CScheduleWizardWorker(ControllerThread& controller, std::chrono::milliseconds queryTimeout)
    : _queryTimeout(queryTimeout), _controller(&controller) {}

CScheduleWizardWorker::~CScheduleWizardWorker() = default;

std::shared_ptr<CScheduleWizardWorker> CScheduleWizardWorker::start(ControllerThread& controller,
                                                                    std::chrono::milliseconds queryTimeout) {
    std::shared_ptr<CScheduleWizardWorker> worker(new CScheduleWizardWorker(controller, queryTimeout));
    {
        std::lock_guard<std::mutex> lock(runningMutex);
        ++runningWorkers;
    }
    // The thread keeps the worker alive until it has shut its client down.
    std::thread([worker]() mutable {
        worker->runThread();
        worker.reset();
        std::lock_guard<std::mutex> lock(runningMutex);
        --runningWorkers;
        runningEnded.notify_all();
    }).detach();
    return worker;
}

int CScheduleWizardWorker::runningThreads() {
    std::lock_guard<std::mutex> lock(runningMutex);
    return runningWorkers;
}

bool CScheduleWizardWorker::waitForAll(std::chrono::milliseconds patience) {
    std::unique_lock<std::mutex> lock(runningMutex);
    return runningEnded.wait_for(lock, patience, [] { return runningWorkers == 0; });
}

void CScheduleWizardWorker::enqueue(std::function<void()> job) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _jobs.push_back(std::move(job));
    }
    _wake.notify_one();
}

void CScheduleWizardWorker::query(const Connection& connection, QueryDone done) {
    enqueue([this, connection, done = std::move(done)]() mutable { startQuery(connection, std::move(done)); });
}

void CScheduleWizardWorker::run(std::function<void()> job) { enqueue(std::move(job)); }

bool CScheduleWizardWorker::post(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(_postMutex);
    return _controller != nullptr && _controller->post(std::move(task));
}

void CScheduleWizardWorker::finish() {
    {
        std::lock_guard<std::mutex> lock(_postMutex);
        _controller = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _finishing = true;
    }
    _wake.notify_one();
}

void CScheduleWizardWorker::runThread() {
    pthread_setname_np(pthread_self(), "ScheduleWizard");
    try {
        _client = std::make_unique<NetworkPlaybackClient>();
        _client->start(QueueBytes, this);
    } catch (const Exception& e) {
        traceException(e);
        _client.reset();
    }
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            while (!_finishing && _jobs.empty()) {
                if (!_deadline) {
                    _wake.wait(lock);
                } else if (_wake.wait_until(lock, *_deadline) == std::cv_status::timeout && _jobs.empty()) {
                    _deadline.reset();
                    _jobs.push_back([this] { timedOut(); });
                }
            }
            if (_finishing) {
                break; // what is still queued is for a wizard that has gone
            }
            job = std::move(_jobs.front());
            _jobs.pop_front();
        }
        try {
            job();
        } catch (const Exception& e) {
            traceException(e);
        } catch (const std::exception& e) {
            trace("CScheduleWizardWorker: %s", e.what());
        }
    }
    if (_client) {
        try {
            if (_client->isConnected()) {
                _client->disconnect(true);
            }
            _client->shutdown();
        } catch (const Exception& e) {
            traceException(e);
        }
        _client.reset();
    }
}

// ---- the query, on the worker thread ---------------------------------------------------------------

void CScheduleWizardWorker::startQuery(const Connection& connection, QueryDone done) {
    _queryOpen = false; // an earlier query that is still open ends unanswered
    _queryHandle = -1;
    _queryDone = std::move(done);
    _queryOpen = true;
    if (!_client) {
        endQuery(std::nullopt);
        return;
    }
    int handle = -1;
    try {
        if (_client->isConnected()) {
            _client->disconnect(true);
        }
        handle = _client->connect(connection.address, connection.port, connection.user, connection.password);
    } catch (const Exception& e) {
        traceException(e); // an address that cannot be resolved, among others
    }
    if (handle < 0) {
        endQuery(std::nullopt);
        return;
    }
    _queryHandle = handle;
    std::lock_guard<std::mutex> lock(_mutex);
    _deadline = std::chrono::steady_clock::now() + _queryTimeout;
}

void CScheduleWizardWorker::connected(int handle) {
    if (!_queryOpen || handle != _queryHandle) {
        return;
    }
    try {
        _client->requestRecordingTimeTable(
            Interval(DateTime(1900, 1, 1, 0, 0, 0), DateTime(2100, 12, 31, 23, 59, 59)), BitMask32(BitMask32::AllBits));
    } catch (const Exception& e) {
        traceException(e);
        endQuery(std::nullopt);
        _client->disconnect(true);
    }
}

void CScheduleWizardWorker::tableReceived(int handle, const std::vector<RecordingTimeTableEntry>& list) {
    if (!_queryOpen || handle != _queryHandle) {
        return;
    }
    endQuery(list);
    _client->disconnect(true);
}

void CScheduleWizardWorker::disconnected(int handle, int reason) {
    if (_queryOpen && handle == _queryHandle && reason != RequestedDisconnect) {
        endQuery(std::nullopt);
    }
}

void CScheduleWizardWorker::timedOut() {
    if (_queryOpen) {
        trace("CScheduleWizardWorker: the site did not answer within %lld ms",
              static_cast<long long>(_queryTimeout.count()));
        endQuery(std::nullopt);
        _client->disconnect(true);
    }
}

void CScheduleWizardWorker::endQuery(std::optional<std::vector<RecordingTimeTableEntry>> table) {
    _queryOpen = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _deadline.reset();
    }
    QueryDone done = std::move(_queryDone);
    _queryDone = nullptr;
    if (done) {
        post([done = std::move(done), table = std::move(table)] { done(table); });
    }
}

// ---- reports of the playback client, on the network thread ---------------------------------------

void CScheduleWizardWorker::playbackConnected(int handle) {
    enqueue([this, handle] { connected(handle); });
}

void CScheduleWizardWorker::playbackDisconnected(int handle, int reason) {
    enqueue([this, handle, reason] { disconnected(handle, reason); });
}

void CScheduleWizardWorker::playbackRecordingTimeTableReceived(int handle,
                                                              const std::vector<RecordingTimeTableEntry>& list) {
    enqueue([this, handle, list] { tableReceived(handle, list); });
}

} // namespace ostrel
