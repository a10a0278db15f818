#pragma once

#include "base/thread/Thread.h"

namespace ostrel {

// The process-wide stand-in named "Null" that Thread::current() returns on threads
// not started through Thread (the main thread, for example). It is never started.
class NullThread final : public Thread {
public:
    static NullThread& instance();

    // Throws SystemException(EPERM): the stand-in never runs.
    void start() override;

private:
    NullThread() : Thread("Null") {}
};

} // namespace ostrel
