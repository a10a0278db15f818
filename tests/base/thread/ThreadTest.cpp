#include "base/Exception.h"
#include "base/UncaughtExceptionHandler.h"
#include "base/thread/NullThread.h"
#include "base/thread/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace ostrel;

namespace {

// A thread whose run() is a callable, so each test states its body in place.
class FunctionThread : public Thread {
public:
    FunctionThread(const char* name, std::function<void()> body) : Thread(name), _body(std::move(body)) {}
    ~FunctionThread() override { join(); }
    void run() override { _body(); }

private:
    std::function<void()> _body;
};

// A gate the test opens to let a thread's run() end; every wait is bounded.
class Gate {
public:
    void open() {
        std::lock_guard<std::mutex> lock(_mutex);
        _open = true;
        _changed.notify_all();
    }
    bool waitOpen(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, limit, [this] { return _open; });
    }

private:
    std::mutex _mutex;
    std::condition_variable _changed;
    bool _open = false;
};

struct Report {
    std::string threadName;
    std::uint32_t threadId = 0;
    std::string typeName;
    std::string message;
    std::string text;
};

// Records what reaches the process-wide uncaught-exception handler.
class RecordingHandler : public IUncaughtExceptionHandler {
public:
    RecordingHandler() { setUncaughtExceptionHandler(this); }
    ~RecordingHandler() override { setUncaughtExceptionHandler(nullptr); }

    void handle(Thread& thread, const Exception& exception) override {
        std::lock_guard<std::mutex> lock(_mutex);
        _reports.push_back({thread.name(), thread.id(), exception.typeName(),
                            exception.message() ? exception.message() : "", exception.toString()});
    }
    std::vector<Report> reports() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _reports;
    }

private:
    std::mutex _mutex;
    std::vector<Report> _reports;
};

} // namespace

TEST(ThreadTest, JoinOnNeverStartedThreadReturnsAtOnce) {
    Thread thread("idle");
    EXPECT_FALSE(thread.isRunning());
    EXPECT_EQ(thread.id(), 0u);
    thread.join();
    thread.join();
}

TEST(ThreadTest, NameIsEmptyWhenAbsent) {
    Thread unnamed;
    EXPECT_STREQ(unnamed.name(), "");
}

TEST(ThreadTest, CurrentOnThreadsNotStartedHereIsTheNullThread) {
    EXPECT_EQ(&Thread::current(), &NullThread::instance());
    EXPECT_STREQ(Thread::current().name(), "Null");

    const Thread* seen = nullptr;
    std::thread plain([&seen] { seen = &Thread::current(); });
    plain.join();
    EXPECT_EQ(seen, &NullThread::instance());
}

TEST(ThreadTest, NullThreadCannotBeStarted) {
    try {
        NullThread::instance().start();
        FAIL() << "starting the Null thread must fail";
    } catch (const SystemException& e) {
        EXPECT_EQ(e.code(), EPERM);
    }
    EXPECT_FALSE(NullThread::instance().isRunning());
}

TEST(ThreadTest, RunSeesItselfAsCurrentWithItsOwnId) {
    const Thread* seen = nullptr;
    std::uint32_t seenId = 0;
    FunctionThread thread("worker", [&] {
        seen = &Thread::current();
        seenId = Thread::currentThreadId();
    });
    thread.start();
    thread.join();
    EXPECT_EQ(seen, &thread);
    EXPECT_EQ(thread.id(), seenId);
    EXPECT_NE(seenId, Thread::currentThreadId());
    EXPECT_FALSE(thread.isRunning());
    // Once finished, the thread is no longer registered for anyone.
    EXPECT_EQ(&Thread::current(), &NullThread::instance());
}

TEST(ThreadTest, RunsAGivenRunnableInsteadOfItself) {
    struct Counter : IRunnable {
        std::atomic<int> runs{0};
        const Thread* current = nullptr;
        void run() override {
            ++runs;
            current = &Thread::current();
        }
    } counter;
    Thread thread(counter, "runner");
    thread.start();
    thread.join();
    EXPECT_EQ(counter.runs.load(), 1);
    EXPECT_EQ(counter.current, &thread);
}

TEST(ThreadTest, AFinishedThreadCanBeStartedAgain) {
    std::atomic<int> runs{0};
    FunctionThread thread("again", [&] { ++runs; });
    for (int i = 0; i < 3; ++i) {
        thread.start();
        thread.join();
    }
    EXPECT_EQ(runs.load(), 3);
}

TEST(ThreadTest, StartWhileRunningIsRefused) {
    Gate gate;
    FunctionThread thread("busy", [&] { gate.waitOpen(); });
    thread.start();
    try {
        thread.start();
        ADD_FAILURE() << "a running thread must not be started twice";
    } catch (const SystemException& e) {
        EXPECT_EQ(e.code(), EBUSY);
    }
    EXPECT_TRUE(thread.isRunning());
    gate.open();
    thread.join();
    EXPECT_FALSE(thread.isRunning());
}

TEST(ThreadTest, JoinOnItselfIsRefusedInsteadOfHanging) {
    int code = 0;
    std::unique_ptr<FunctionThread> thread;
    thread = std::make_unique<FunctionThread>("selfjoin", [&] {
        try {
            thread->join();
        } catch (const SystemException& e) {
            code = e.code();
        }
    });
    thread->start();
    thread->join();
    EXPECT_EQ(code, EDEADLK);
}

TEST(ThreadTest, DestroyingARunningThreadWaitsForIt) {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    Gate started;
    {
        // The base class alone: nothing derived is torn down under the running thread.
        struct Slow : IRunnable {
            std::shared_ptr<std::atomic<bool>> finished;
            Gate* started = nullptr;
            void run() override {
                started->open();
                Thread::sleep(50);
                finished->store(true);
            }
        } slow;
        slow.finished = finished;
        slow.started = &started;
        Thread thread(slow, "slow");
        thread.start();
        ASSERT_TRUE(started.waitOpen());
    }
    EXPECT_TRUE(finished->load());
}

TEST(ThreadTest, ThreadMayDestroyItselfFromRun) {
    // Owned by a pointer that run() itself releases.
    class SelfDestroying : public Thread {
    public:
        SelfDestroying(std::unique_ptr<SelfDestroying>& owner, Gate& done)
            : Thread("selfdestroy"), _owner(owner), _done(done) {}
        void run() override {
            Gate& done = _done;
            _owner.reset();
            done.open();
        }

    private:
        std::unique_ptr<SelfDestroying>& _owner;
        Gate& _done;
    };
    Gate done;
    std::unique_ptr<SelfDestroying> owner;
    owner = std::make_unique<SelfDestroying>(owner, done);
    SelfDestroying* raw = owner.get();
    raw->start();
    ASSERT_TRUE(done.waitOpen());
    // Give the detached tail a moment; a sanitizer build reports any use of the dead object.
    Thread::sleep(20);
}

TEST(ThreadTest, ExceptionsEscapingRunReachTheHandlerAndJoinReturns) {
    struct Case {
        const char* what;
        std::function<void()> body;
        const char* typeName;
        const char* message;
        const char* text;
    };
    const std::vector<Case> cases = {
        {"family member unchanged", [] { throw SystemException(ENOENT); }, "SystemException",
         "No such file or directory", nullptr},
        {"standard exception wrapped", [] { throw std::runtime_error("disk on fire"); }, "UnknownException",
         "disk on fire", "UnknownException: disk on fire"},
        {"anything else", [] { throw 42; }, "UnknownException", "unknown_message", "UnknownException"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingHandler handler;
        FunctionThread thread("thrower", c.body);
        thread.start();
        thread.join();
        EXPECT_FALSE(thread.isRunning());
        const std::vector<Report> reports = handler.reports();
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_EQ(reports[0].threadName, "thrower");
        EXPECT_EQ(reports[0].threadId, thread.id());
        EXPECT_NE(reports[0].threadId, 0u);
        EXPECT_EQ(reports[0].typeName, c.typeName);
        EXPECT_EQ(reports[0].message, c.message);
        if (c.text) {
            EXPECT_EQ(reports[0].text, c.text);
        }
        // The thread can run again after a failure.
        thread.start();
        thread.join();
        EXPECT_EQ(handler.reports().size(), 2u);
    }
}

TEST(ThreadTest, AThrowingHandlerDoesNotKeepTheThreadFromFinishing) {
    struct Throwing : IUncaughtExceptionHandler {
        void handle(Thread&, const Exception&) override { throw std::runtime_error("handler broke"); }
    } throwing;
    setUncaughtExceptionHandler(&throwing);
    FunctionThread thread("thrower", [] { throw std::logic_error("first"); });
    thread.start();
    thread.join();
    setUncaughtExceptionHandler(nullptr);
    EXPECT_FALSE(thread.isRunning());
}

TEST(ThreadTest, ThreadIdsDifferBetweenThreads) {
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    Gate release;
    FunctionThread a("a", [&] {
        first = Thread::currentThreadId();
        release.waitOpen();
    });
    FunctionThread b("b", [&] {
        second = Thread::currentThreadId();
        release.waitOpen();
    });
    a.start();
    b.start();
    Thread::yield();
    release.open();
    a.join();
    b.join();
    EXPECT_NE(first, 0u);
    EXPECT_NE(second, 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(first, a.id());
    EXPECT_EQ(second, b.id());
}
