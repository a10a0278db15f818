#pragma once

// Helpers shared by the tests that run work on background threads.

#include "base/thread/Thread.h"

#include <chrono>
#include <functional>
#include <utility>

namespace ostrel::testing {

// Polls the predicate until it holds or the patience runs out; every wait in a
// test stays bounded this way.
inline bool eventually(const std::function<bool()>& predicate,
                       std::chrono::seconds patience = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        Thread::sleep(1);
    }
    return true;
}

// A thread that runs one function and is joined when it goes out of scope.
class FunctionThread : public Thread {
public:
    explicit FunctionThread(std::function<void()> body, const char* name = "test")
        : Thread(name), _body(std::move(body)) {}
    ~FunctionThread() override { join(); }
    void run() override { _body(); }

private:
    std::function<void()> _body;
};

} // namespace ostrel::testing
