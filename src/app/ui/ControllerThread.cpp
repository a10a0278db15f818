#include "app/ui/ControllerThread.h"

#include "base/Exception.h"
#include "base/Trace.h"

#include <pthread.h>

namespace ostrel {

ControllerThread::ControllerThread(MessageHandler* handler) : _handler(handler) {}

ControllerThread::~ControllerThread() { stop(); }

void ControllerThread::start() {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_thread.joinable()) {
        return;
    }
    _accepting = true;
    _thread = std::thread([this] { run(); });
    _threadId = _thread.get_id();
}

bool ControllerThread::post(const Message& message) {
    return post([this, message] {
        if (_handler) {
            _handler->handleMessage(message);
        }
    });
}

bool ControllerThread::post(Task task) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_accepting) {
            return false;
        }
        _queue.push_back(std::move(task));
    }
    _wake.notify_one();
    return true;
}

bool ControllerThread::send(const Message& message) {
    return send([this, &message] {
        if (_handler) {
            _handler->handleMessage(message);
        }
    });
}

bool ControllerThread::send(const Task& task) {
    if (isCurrent()) {
        dispatch(task);
        return true;
    }
    // The sender's own completion flag, guarded by the queue's mutex.
    auto finished = std::make_shared<bool>(false);
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_accepting) {
            return false;
        }
        _queue.push_back([this, &task, finished] {
            dispatch(task);
            std::lock_guard<std::mutex> doneLock(_mutex);
            *finished = true;
            _done.notify_all();
        });
    }
    _wake.notify_one();
    std::unique_lock<std::mutex> lock(_mutex);
    _done.wait(lock, [&] { return *finished; });
    return true;
}

void ControllerThread::stop() {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _accepting = false;
    }
    _wake.notify_one();
    if (_thread.joinable() && !isCurrent()) {
        _thread.join();
    }
}

bool ControllerThread::isAccepting() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _accepting;
}

uint64_t ControllerThread::processed() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _processed;
}

void ControllerThread::run() {
    pthread_setname_np(pthread_self(), "Controller");
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            _wake.wait(lock, [&] { return !_queue.empty() || !_accepting; });
            if (_queue.empty()) {
                return; // stopped and drained
            }
            task = std::move(_queue.front());
            _queue.pop_front();
        }
        dispatch(task);
        std::lock_guard<std::mutex> lock(_mutex);
        ++_processed;
    }
}

void ControllerThread::dispatch(const Task& task) {
    // A failing command must not end the application's message loop.
    try {
        task();
    } catch (const Exception& e) {
        traceException(e);
        trace("ControllerThread: %s", e.what());
    } catch (const std::exception& e) {
        trace("ControllerThread: %s", e.what());
    }
}

} // namespace ostrel
