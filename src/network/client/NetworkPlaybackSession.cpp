#include "network/client/NetworkPlaybackSession.h"

namespace ostrel {

LoginResult NetworkPlaybackSession::loginResult() const {
    Mutex::ScopedLock lock(_mutex);
    return _loginResult;
}

void NetworkPlaybackSession::setLoginResult(const LoginResult& result) {
    Mutex::ScopedLock lock(_mutex);
    _loginResult = result;
}

void NetworkPlaybackSession::beginFrameCallback() {
    Mutex::ScopedLock lock(_mutex);
    ++_frameCallbacks;
}

void NetworkPlaybackSession::endFrameCallback() {
    Mutex::ScopedLock lock(_mutex);
    if (--_frameCallbacks == 0) {
        _frameCallbacksDone.notifyAll();
    }
}

void NetworkPlaybackSession::waitForFrameCallbacks() {
    Mutex::ScopedLock lock(_mutex);
    while (_frameCallbacks > 0) {
        _frameCallbacksDone.wait();
    }
}

} // namespace ostrel
