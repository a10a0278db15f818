#include "network/session/SessionAliveChecker.h"

#include "network/session/CommonSession.h"


namespace ostrel {

SessionAliveChecker::SessionAliveChecker() : LoopingThread("SessionAliveChecker") {}

SessionAliveChecker::~SessionAliveChecker() {
    stop();
    join();
}

void SessionAliveChecker::registerSession(CommonSession& session) {
    Mutex::ScopedLock lock(_mutex);
    if (_sessions.insert(&session).second) {
        resume();
    }
}

void SessionAliveChecker::unregisterSession(CommonSession& session) {
    Mutex::ScopedLock lock(_mutex);
    _sessions.erase(&session);
}

bool SessionAliveChecker::isRegistered(const CommonSession& session) const {
    Mutex::ScopedLock lock(_mutex);
    return _sessions.count(const_cast<CommonSession*>(&session)) > 0;
}

void SessionAliveChecker::checkNow() {
    Mutex::ScopedLock lock(_mutex);
    for (CommonSession* session : _sessions) {
        session->checkAlive();
    }
}

void SessionAliveChecker::stop() {
    LoopingThread::stop();
    Mutex::ScopedLock lock(_mutex);
    _sessions.clear();
    _pause.notifyAll();
}

void SessionAliveChecker::step() {
    {
        Mutex::ScopedLock lock(_mutex);
        if (_sessions.empty()) {
            // Parks before the next step; registerSession() resumes it.
            suspend();
            return;
        }
        // Interrupted early only by stop().
        _pause.wait(PassMilliseconds);
        if (isStopRequested()) {
            return;
        }
    }
    checkNow();
}

} // namespace ostrel
