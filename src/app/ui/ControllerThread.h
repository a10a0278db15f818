#pragma once

#include "app/ui/Message.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace ostrel {

// What the controller thread hands its messages to: the main frame, which
// passes them on to the view and the document.
class MessageHandler {
public:
    virtual ~MessageHandler() = default;
    virtual void handleMessage(const Message& message) = 0;
};

// The message loop of the application: one thread owns the document, the sites
// and every command. Other threads (HTTP handlers, the schedules, the network
// threads, the document's action loop) only hand work to it: a posted message
// or task is queued and runs later in arrival order; a sent one runs on this
// thread while the sender waits, as a sent window message did.
class ControllerThread {
public:
    using Task = std::function<void()>;

    explicit ControllerThread(MessageHandler* handler = nullptr);
    // Stops (and drains) the loop if it still runs.
    ~ControllerThread();
    ControllerThread(const ControllerThread&) = delete;
    ControllerThread& operator=(const ControllerThread&) = delete;

    void setHandler(MessageHandler* handler) { _handler = handler; }
    void start();

    // Queue a message or a task; false (nothing queued) once the loop stops.
    bool post(const Message& message);
    bool post(Task task);
    // Runs the message or task on the controller thread and returns when it
    // has run: at once when called on the controller thread itself. False when
    // the loop no longer accepts work (it then did not run).
    bool send(const Message& message);
    bool send(const Task& task);

    // Refuses further work, runs everything already queued, then ends the
    // thread. Called from any thread but the controller thread.
    void stop();

    bool isCurrent() const { return std::this_thread::get_id() == _threadId; }
    bool isAccepting() const;
    // Work items run so far (tests watch the queue drain with it).
    uint64_t processed() const;

private:
    void run();
    void dispatch(const Task& task);

    MessageHandler* _handler;
    mutable std::mutex _mutex;
    std::condition_variable _wake;
    std::condition_variable _done;
    std::deque<Task> _queue;
    bool _accepting = false;
    uint64_t _processed = 0;
    std::thread _thread;
    std::thread::id _threadId;
};

} // namespace ostrel
