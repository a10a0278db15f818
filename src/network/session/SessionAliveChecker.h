#pragma once

#include "base/thread/Condition.h"
#include "base/thread/LoopingThread.h"
#include "base/thread/Mutex.h"

#include <cstdint>
#include <set>

namespace ostrel {

class CommonSession;

// The thread ("SessionAliveChecker") that watches sessions once a second: a
// peer silent for 120 s gets an alive-check request, one silent for 240 s is
// dropped with reason 312, and a peer of the older scheme gets a request
// after 20 s without outgoing traffic. Whoever runs sessions (a facade) owns
// one, starts and stops it with them and hands it to each session it makes;
// it parks itself while no session is registered.
class SessionAliveChecker : public LoopingThread {
public:
    static constexpr uint32_t PassMilliseconds = 1000;

    SessionAliveChecker();
    ~SessionAliveChecker() override;

    void registerSession(CommonSession& session);
    void unregisterSession(CommonSession& session);
    bool isRegistered(const CommonSession& session) const;
    // One pass over every registered session, on the calling thread (what the
    // thread does once a second; tests call it after moving their clock).
    void checkNow();

    void stop() override;

protected:
    void step() override;

private:

    mutable Mutex _mutex;
    Condition _pause{_mutex};
    std::set<CommonSession*> _sessions;
};

} // namespace ostrel
