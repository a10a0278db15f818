#include "network/session/Dispatcher.h"

#include "base/Trace.h"
#include "network/session/Session.h"
#include "network/session/SessionContextImpl.h"
#include "network/socket/NonBlockingSocketChannel.h"

namespace ostrel {

Dispatcher::Dispatcher(int connections, std::string threadName) : _threadName(std::move(threadName)) {
    _contexts.reserve(static_cast<size_t>(connections > 0 ? connections : 0));
}

Dispatcher::~Dispatcher() = default;

void Dispatcher::createContexts(const std::vector<NonBlockingSocketChannel*>& channels) {
    for (NonBlockingSocketChannel* channel : channels) {
        _contexts.push_back(std::make_unique<SessionContextImpl>(*this, *channel));
    }
}

SessionContext* Dispatcher::attach(Session& session) {
    Mutex::ScopedLock lock(_mutex);
    if (_stopped) {
        return nullptr;
    }
    for (size_t slot = 0; slot < _contexts.size(); ++slot) {
        SessionContextImpl& candidate = *_contexts[slot];
        if (!candidate.isFree()) {
            continue;
        }
        NonBlockingSocketChannel* channel = acquireChannel(static_cast<int>(slot));
        if (channel == nullptr) {
            trace("socket is NULL. it needs to increase Dispatchers connection count..\n");
            return nullptr;
        }
        if (!candidate.bind(session)) {
            continue;
        }
        session.attachContext(&candidate);
        return &candidate;
    }
    trace("contextImpl is NULL. it needs to increase Dispatchers connection count..\n");
    return nullptr;
}

void Dispatcher::start() {
    Mutex::ScopedLock lock(_mutex);
    if (_started) {
        return;
    }
    startThreads();
    _started = true;
}

void Dispatcher::stop() {
    {
        Mutex::ScopedLock lock(_mutex);
        if (!_started || _stopped) {
            return;
        }
        // From here on nothing is attached, so the slots stay closed.
        _stopped = true;
    }
    // Without the mutex: the worker's last events may reach code that calls attach().
    stopThreads();
    for (auto& context : _contexts) {
        if (!context->isFree()) {
            context->reset();
        }
    }
}

bool Dispatcher::isStarted() const {
    Mutex::ScopedLock lock(_mutex);
    return _started && !_stopped;
}

std::size_t Dispatcher::allocatedBufferBytes() const {
    std::size_t total = 0;
    for (const auto& context : _contexts) {
        total += context->allocatedBytes();
    }
    return total;
}

} // namespace ostrel
