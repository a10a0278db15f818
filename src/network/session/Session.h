#pragma once

#include "network/session/Priority.h"

namespace ostrel {

class SessionContext;

// The events a dispatcher context delivers to its session, all on the
// dispatcher's one worker thread.
class Session {
public:
    virtual ~Session() = default;

    // The context this session now runs on (nullptr when it is let go).
    virtual void attachContext(SessionContext* context) = 0;
    // The TCP connection is up.
    virtual void connectCompleted() = 0;
    // The connection could not be made; the context has been reset.
    virtual void connectFailed(int reason) = 0;
    // The connection is gone; the context is reset right after.
    virtual void connectionClosed(int reason) = 0;
    // One queued packet of that priority went out completely.
    virtual void sendCompleted(Priority priority) = 0;
    // The buffer given to SessionContext::read is full.
    virtual void readCompleted() = 0;
};

} // namespace ostrel
