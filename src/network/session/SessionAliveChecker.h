#pragma once

#include "base/thread/Condition.h"
#include "base/thread/LoopingThread.h"
#include "base/thread/Mutex.h"

#include <cstdint>
#include <set>

namespace ostrel {

class CommonSession;

// The one process-wide thread ("SessionAliveChecker") that watches every
// logged-in session once a second: a peer silent for 120 s gets an alive-check
// request, one silent for 240 s is dropped with reason 312, and a peer of the
// older scheme gets a request after 20 s without outgoing traffic. It runs
// while sessions exist (counted by acquire/release) and parks itself while
// none is registered.
class SessionAliveChecker : public LoopingThread {
public:
    static constexpr uint32_t PassMilliseconds = 1000;

    // Counts a session into existence; the first one creates and starts the checker.
    static void acquire();
    // The last one stops and destroys it.
    static void release();
    // The running checker; nullptr while no session exists.
    static SessionAliveChecker* instance();

    void registerSession(CommonSession& session);
    void unregisterSession(CommonSession& session);
    bool isRegistered(const CommonSession& session) const;
    // One pass over every registered session, on the calling thread (what the
    // thread does once a second; tests call it after moving their clock).
    void checkNow();

    void stop() override;

    // Only acquire() creates the checker.
    class Key {
        friend class SessionAliveChecker;
        Key() = default;
    };
    explicit SessionAliveChecker(Key);
    ~SessionAliveChecker() override;

protected:
    void step() override;

private:

    mutable Mutex _mutex;
    Condition _pause{_mutex};
    std::set<CommonSession*> _sessions;
};

} // namespace ostrel
