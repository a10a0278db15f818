#include "network/protocol/CommonFacade.h"

#include "base/Exception.h"
#include "base/Trace.h"
#include "network/protocol/CommonMessageType.h"
#include "network/protocol/NewAliveCheckOption.h"
#include "network/session/CloseReason.h"
#include "network/session/CommonSession.h"
#include "network/session/Dispatcher.h"
#include "network/session/InvalidSessionHandleException.h"
#include "network/session/SendQueueOverflowException.h"
#include "network/session/SessionAliveChecker.h"
#include "network/session/SessionContext.h"
#include "base/Clock.h"
#include "network/socket/SocketAddress.h"

#include <climits>
#include <exception>
#include <mutex>

namespace ostrel {
namespace {

std::mutex& handleCounterMutex() {
    static std::mutex mutex;
    return mutex;
}

} // namespace

CommonFacade::CommonFacade(int channels, Dispatcher& dispatcher)
    : CommonFacade(channels, dispatcher, Clock::system()) {}

CommonFacade::CommonFacade(int channels, Dispatcher& dispatcher, const Clock& clock)
    : _channelCount(channels),
      _dispatcher(dispatcher),
      _clock(clock),
      _handles(channels),
      _aliveChecker(std::make_unique<SessionAliveChecker>()) {
    _syncOptions.add(NewAliveCheckOption::instance());
}

CommonFacade::~CommonFacade() { stop(); }

int CommonFacade::drawHandle(const HandleMap& map) {
    static int counter = FirstHandle;
    std::lock_guard<std::mutex> lock(handleCounterMutex());
    while (true) {
        const int candidate = counter;
        counter = counter == INT_MAX ? FirstHandle : counter + 1;
        if (!map.contains(candidate)) {
            return candidate;
        }
    }
}

void CommonFacade::start() {
    Mutex::ScopedLock lock(_tableMutex);
    if (_started) {
        return;
    }
    for (int i = 0; i < _channelCount; ++i) {
        _sessions.push_back(createSession());
    }
    _aliveChecker->start();
    _dispatcher.start();
    _started = true;
}

void CommonFacade::stop() {
    {
        Mutex::ScopedLock lock(_tableMutex);
        if (!_started) {
            return;
        }
        _started = false;
    }
    // No alive-check pass from here on: the sessions are about to go.
    _aliveChecker->stop();
    _aliveChecker->join();
    // Without the table mutex: the last disconnects need it.
    _dispatcher.stop();
    Mutex::ScopedLock lock(_tableMutex);
    _sessions.clear();
}

int CommonFacade::connect(std::string_view address, uint16_t port, std::string_view user,
                          std::string_view password, void* userData) {
    const SocketAddress target(address, port);
    Mutex::ScopedLock lock(_tableMutex);
    if (!_started) {
        return -1;
    }
    for (int channel = 0; channel < static_cast<int>(_sessions.size()); ++channel) {
        CommonSession& session = *_sessions[static_cast<size_t>(channel)];
        if (!session.isFree()) {
            continue;
        }
        const int handle = drawHandle(_handles);
        _handles.map(handle, channel);
        SessionContext* context = nullptr;
        try {
            context = _dispatcher.attach(session);
        } catch (...) {
            _handles.unmap(handle);
            throw;
        }
        if (context == nullptr) {
            _handles.unmap(handle);
            return -1;
        }
        session.assign(channel, userData, user, password);
        session.setState(SessionState::Connecting);
        context->connect(target);
        return handle;
    }
    return -1;
}

void CommonFacade::sendPacket(int handle, const Packet& packet, Priority priority) {
    Mutex::ScopedLock lock(_tableMutex);
    sessionByHandle(handle).sendPacket(packet, priority);
}

CommonSession& CommonFacade::sessionByHandle(int handle) {
    Mutex::ScopedLock lock(_tableMutex);
    const int channel = _handles.channelOf(handle);
    if (channel < 0 || channel >= static_cast<int>(_sessions.size())) {
        throw InvalidSessionHandleException(handle);
    }
    return *_sessions[static_cast<size_t>(channel)];
}

void CommonFacade::disconnect(int handle) {
    Mutex::ScopedLock lock(_tableMutex);
    const int channel = _handles.channelOf(handle);
    if (channel >= 0 && channel < static_cast<int>(_sessions.size())) {
        _sessions[static_cast<size_t>(channel)]->close(CloseReason::Requested);
    }
}

int CommonFacade::handleOfChannel(int channel) const {
    Mutex::ScopedLock lock(_tableMutex);
    return _handles.handleOf(channel);
}

bool CommonFacade::isConnected(int handle) const {
    Mutex::ScopedLock lock(_tableMutex);
    return _handles.contains(handle);
}

void CommonFacade::unknownPacketReceived(int handle, Packet& packet) {
    const uint16_t type = packet.type();
    trace("handle[%d] receive Unknown Packet Type: %d\n", handle, type);
    if (type == COMMON_MESSAGE_UNKNOWN_TYPE || handle < 0) {
        return;
    }
    try {
        sendRequest(handle, [&](Packet& answer) {
            answer.begin(COMMON_MESSAGE_UNKNOWN_TYPE);
            answer.putShort(type);
            answer.finish(true);
        });
    } catch (const SendQueueOverflowException& e) {
        traceException(e);
    }
}

void CommonFacade::sessionDisconnected(CommonSession& session, int reason) {
    session.setState(SessionState::Disconnected);
    const int channel = session.channelIndex();
    if (channel < 0) {
        return; // already reported
    }
    const int handle = handleOfChannel(channel);
    try {
        disconnected(handle, reason);
    } catch (const Exception& e) {
        traceException(e);
    } catch (const std::exception& e) {
        trace("%s\n", e.what());
    }
    Mutex::ScopedLock lock(_tableMutex);
    _handles.unmap(handle);
    trace("CommonFacade::session Disconnected... handle %d -> channel %d   channel %d -> handle %d", handle,
          _handles.channelOf(handle), channel, _handles.handleOf(channel));
    session.release();
}

} // namespace ostrel
