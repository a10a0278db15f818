#pragma once

#include "base/thread/IRunnable.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace ostrel {

// A thread of the system. start() runs the runnable (the Thread itself unless
// another IRunnable is given) on a new operating-system thread; while it runs,
// current() on that thread returns this object.
//
// Lifetime: destroying a Thread that is still running joins it first, so the
// operating-system thread never outlives the object it uses. Only the Thread part
// is alive at that point, though: a derived class whose run() uses its own
// members must stop and join in its own destructor. A run() that destroys its
// own Thread object is tolerated (the thread is then detached and finishes on
// state it shares with nobody), as long as it does not throw afterwards.
//
// Exceptions that escape run() go to the uncaught-exception handler; the thread
// then finishes normally, so join() always returns.
class Thread : public IRunnable {
public:
    explicit Thread(const char* name = nullptr);
    explicit Thread(IRunnable& runnable, const char* name = nullptr);
    ~Thread() override;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts the operating-system thread. A thread that has finished may be
    // started again. Throws SystemException with the runtime's error number when
    // the thread cannot be created, and SystemException(EBUSY) while it still runs.
    virtual void start();
    // Waits without limit until the thread has finished; returns at once when it
    // was never started. Throws SystemException(EDEADLK) when called on itself.
    void join();
    // Started and not yet finished.
    bool isRunning() const;

    // Does nothing unless overridden.
    void run() override {}

    // The name, "" when absent.
    const char* name() const { return _name ? _name->c_str() : ""; }
    // The operating-system thread identifier, set by the thread when it starts (0 before).
    std::uint32_t id() const { return _id.load(std::memory_order_acquire); }

    // The Thread running on the calling operating-system thread, or the NullThread
    // ("Null") on a thread that was not started through this class.
    static Thread& current();
    static void sleep(std::uint32_t milliseconds);
    // Gives up the rest of the time slice.
    static void yield();
    static std::uint32_t currentThreadId();

private:
    // The finished event: manual-reset, signalled while the thread is not running.
    // Shared with the running thread, which sets it as its very last act.
    class FinishedEvent;

    static void entry(Thread* self, std::shared_ptr<FinishedEvent> finished, std::string name);

    const std::optional<std::string> _name;
    IRunnable* const _runnable;
    std::atomic<std::uint32_t> _id{0};
    std::shared_ptr<FinishedEvent> _finished;
    std::mutex _handleMutex; // serialises start(), join() and destruction on _handle
    std::thread _handle;
};

} // namespace ostrel
