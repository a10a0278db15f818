#pragma once

#include "network/session/Priority.h"

namespace ostrel {

class SessionContext;

// The events a dispatcher context delivers to its session, all on the
// dispatcher's one worker thread.
class Session {
public:
    virtual ~Session() = default;

    // The context this session now runs on; nullptr when the dispatcher lets
    // it go, just before the slot is reset (after this returns the session
    // must not reach the old context any more).
    virtual void attachContext(SessionContext* context) = 0;
    // The TCP connection is up.
    virtual void connectCompleted() = 0;
    // The connection could not be made; the context has already been reset
    // (free for the next attach).
    virtual void connectFailed(int reason) = 0;
    // The connection is gone; the context has already been reset.
    virtual void connectionClosed(int reason) = 0;
    // One queued packet of that priority went out completely.
    virtual void sendCompleted(Priority priority) = 0;
    // The buffer given to SessionContext::read is full.
    virtual void readCompleted() = 0;
};

} // namespace ostrel
