#include "network/session/SessionAliveChecker.h"

#include "network/session/CommonSession.h"

#include <memory>
#include <mutex>

namespace ostrel {
namespace {

std::mutex& processMutex() {
    static std::mutex mutex;
    return mutex;
}

int& sessionCount() {
    static int count = 0;
    return count;
}

std::unique_ptr<SessionAliveChecker>& checkerHolder() {
    static std::unique_ptr<SessionAliveChecker> checker;
    return checker;
}

} // namespace

SessionAliveChecker::SessionAliveChecker(Key) : LoopingThread("SessionAliveChecker") {}

SessionAliveChecker::~SessionAliveChecker() {
    stop();
    join();
}

void SessionAliveChecker::acquire() {
    std::lock_guard<std::mutex> lock(processMutex());
    if (sessionCount() == 0) {
        auto checker = std::make_unique<SessionAliveChecker>(Key());
        checker->start();
        checkerHolder() = std::move(checker);
    }
    ++sessionCount();
}

void SessionAliveChecker::release() {
    std::unique_ptr<SessionAliveChecker> last;
    {
        std::lock_guard<std::mutex> lock(processMutex());
        if (sessionCount() == 0) {
            return;
        }
        if (--sessionCount() == 0) {
            last = std::move(checkerHolder());
        }
    }
    // Stopped and joined outside the process lock: a pass may be running.
    last.reset();
}

SessionAliveChecker* SessionAliveChecker::instance() {
    std::lock_guard<std::mutex> lock(processMutex());
    return checkerHolder().get();
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
