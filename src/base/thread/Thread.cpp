#include "base/thread/Thread.h"

#include "base/Exception.h"
#include "base/Trace.h"
#include "base/UncaughtExceptionHandler.h"
#include "base/thread/NullThread.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <pthread.h>
#include <system_error>
#include <unistd.h>

namespace ostrel {
namespace {

// Maps each running operating-system thread to its Thread. The mutex is held only
// for the map operations themselves, never while calling out.
class ThreadRegistry {
public:
    static ThreadRegistry& instance() {
        static ThreadRegistry registry;
        return registry;
    }

    void add(std::uint32_t id, Thread* thread) {
        std::lock_guard<std::mutex> lock(_mutex);
        _threads[id] = thread;
    }

    void remove(std::uint32_t id) {
        std::lock_guard<std::mutex> lock(_mutex);
        _threads.erase(id);
    }

    Thread* find(std::uint32_t id) {
        std::lock_guard<std::mutex> lock(_mutex);
        const auto found = _threads.find(id);
        return found == _threads.end() ? nullptr : found->second;
    }

private:
    std::mutex _mutex;
    std::map<std::uint32_t, Thread*> _threads;
};

// Hands an exception that escaped a thread to the process-wide handler. A handler
// that throws itself must not keep the thread from finishing.
void reportUncaught(Thread& thread, const Exception& exception) noexcept {
    try {
        uncaughtExceptionHandler().handle(thread, exception);
    } catch (...) {
    }
}

} // namespace

class Thread::FinishedEvent {
public:
    void set() {
        std::lock_guard<std::mutex> lock(_mutex);
        _set = true;
        _changed.notify_all();
    }
    void reset() {
        std::lock_guard<std::mutex> lock(_mutex);
        _set = false;
    }
    bool isSet() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _set;
    }
    void wait() {
        std::unique_lock<std::mutex> lock(_mutex);
        _changed.wait(lock, [this] { return _set; });
    }

private:
    mutable std::mutex _mutex;
    std::condition_variable _changed;
    bool _set = true; // a thread that was never started counts as finished
};

Thread::Thread(const char* name) : Thread(*this, name) {}

Thread::Thread(IRunnable& runnable, const char* name)
    : _name(name ? std::optional<std::string>(name) : std::nullopt),
      _runnable(&runnable),
      _finished(std::make_shared<FinishedEvent>()) {}

Thread::~Thread() {
    std::unique_lock<std::mutex> lock(_handleMutex);
    if (!_handle.joinable()) {
        return;
    }
    if (_handle.get_id() == std::this_thread::get_id()) {
        // Destroyed from its own run(): joining would wait for ourselves. The entry
        // procedure touches only its own copies from here on.
        _handle.detach();
        return;
    }
    lock.unlock();
    join();
}

void Thread::start() {
    std::lock_guard<std::mutex> lock(_handleMutex);
    if (_handle.joinable()) {
        if (!_finished->isSet()) {
            throw SystemException(EBUSY, std::string("thread \"") + name() + "\" is already running");
        }
        _handle.join(); // the previous run has finished; release its handle
    }
    _finished->reset();
    _id.store(0, std::memory_order_release);
    try {
        _handle = std::thread(&Thread::entry, this, _finished, std::string(name()));
    } catch (const std::system_error& error) {
        _finished->set();
        throw SystemException(error.code().value());
    }
}

void Thread::join() {
    if (isRunning() && id() == currentThreadId()) {
        throw SystemException(EDEADLK, std::string("thread \"") + name() + "\" cannot join itself");
    }
    {
        std::lock_guard<std::mutex> lock(_handleMutex);
        if (!_handle.joinable()) {
            return;
        }
    }
    // Waiting without the handle mutex keeps start() on a running thread (which is
    // refused) and concurrent joins from blocking behind this one.
    _finished->wait();
    std::lock_guard<std::mutex> lock(_handleMutex);
    // Setting the event is the thread's last act, so this join returns at once. The
    // handle may already belong to a newer run (restarted meanwhile): leave it then.
    if (_handle.joinable() && _finished->isSet()) {
        _handle.join();
    }
}

bool Thread::isRunning() const { return !_finished->isSet(); }

void Thread::entry(Thread* self, std::shared_ptr<FinishedEvent> finished, std::string name) {
    const std::uint32_t id = currentThreadId();
    try {
        self->_id.store(id, std::memory_order_release);
        // The kernel keeps at most 15 characters; the name helps debuggers only.
        ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
        ThreadRegistry::instance().add(id, self);
        // No per-thread start hook is needed on this platform.
        trace("Starting thread: \"%s\"(ID=%u)\n", name.c_str(), id);
        self->_runnable->run();
        // run() may have destroyed this Thread: only the copies are used from here.
        trace("Finishing thread: \"%s\"(ID=%u)\n", name.c_str(), id);
    } catch (const Exception& exception) {
        reportUncaught(*self, exception);
    } catch (const std::exception& exception) {
        reportUncaught(*self, StandardException(exception));
    } catch (...) {
        reportUncaught(*self, UnknownException());
    }
    // Removed in every case: the kernel reuses thread identifiers, and a stale entry
    // would hand a later, unrelated thread a dead object from current().
    try {
        ThreadRegistry::instance().remove(id);
    } catch (...) {
    }
    finished->set();
}

Thread& Thread::current() {
    Thread* thread = ThreadRegistry::instance().find(currentThreadId());
    return thread ? *thread : NullThread::instance();
}

void Thread::sleep(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void Thread::yield() { std::this_thread::yield(); }

std::uint32_t Thread::currentThreadId() { return static_cast<std::uint32_t>(::gettid()); }

} // namespace ostrel
