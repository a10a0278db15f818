#include "network/client/NetworkPlaybackContext.h"

#include "base/Trace.h"
#include "network/client/NetworkPlaybackSession.h"
#include "network/session/CloseReason.h"
#include "network/session/SelectDispatcher.h"

#include <mutex>
#include <set>

namespace ostrel {
namespace {

std::mutex& processMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<NetworkPlaybackContext>& processContext() {
    static std::shared_ptr<NetworkPlaybackContext> context;
    return context;
}

std::set<Date> orderedDates(const std::vector<Date>& dates) { return std::set<Date>(dates.begin(), dates.end()); }

} // namespace

// ---- process-wide instance ------------------------------------------------------------------

std::shared_ptr<NetworkPlaybackContext> NetworkPlaybackContext::create() {
    auto context = std::make_shared<NetworkPlaybackContext>(
        Key(), std::make_unique<SelectDispatcher>(Channels, DispatcherThreadName));
    context->start();
    context->_mediaDispatcher->start();
    return context;
}

std::shared_ptr<NetworkPlaybackContext> NetworkPlaybackContext::shared() {
    std::lock_guard<std::mutex> lock(processMutex());
    if (!processContext()) {
        processContext() = create();
    }
    return processContext();
}

NetworkPlaybackContext& NetworkPlaybackContext::instance() { return *shared(); }

void NetworkPlaybackContext::shutdown() {
    std::shared_ptr<NetworkPlaybackContext> context;
    {
        std::lock_guard<std::mutex> lock(processMutex());
        context = std::move(processContext());
    }
    // Outside the process lock: stopping reports disconnects to listeners, which
    // may reach for the context themselves.
    if (context) {
        context->stopAll();
    }
}

MediaDispatcher& MediaDispatcher::instance() { return NetworkPlaybackContext::instance().mediaDispatcher(); }

NetworkPlaybackContext::NetworkPlaybackContext(Key, std::unique_ptr<SelectDispatcher> dispatcher)
    : PlaybackClientFacade(Channels, *dispatcher),
      _dispatcher(std::move(dispatcher)),
      _mediaDispatcher(std::make_unique<MediaDispatcher>()) {}

NetworkPlaybackContext::~NetworkPlaybackContext() { stopAll(); }

void NetworkPlaybackContext::stopAll() {
    {
        Mutex::ScopedLock lock(_stopMutex);
        if (_stopped) {
            return;
        }
        _stopped = true;
    }
    // The media dispatcher first: it closes every client queue, so a network
    // thread waiting for room is released and the select dispatcher can stop.
    _mediaDispatcher->stop();
    stop();
    _mediaDispatcher->join();
}

std::size_t NetworkPlaybackContext::allocatedSessionBytes() const { return _dispatcher->allocatedBufferBytes(); }

// ---- clients ----------------------------------------------------------------------------------

NetworkPlaybackSession* NetworkPlaybackContext::find(int handle) const {
    Mutex::ScopedLock lock(_mapMutex);
    const auto found = _clients.find(handle);
    return found == _clients.end() ? nullptr : found->second;
}

int NetworkPlaybackContext::connectClient(NetworkPlaybackSession& client, std::string_view address, uint16_t port,
                                          std::string_view user, std::string_view password) {
    // Both mutexes for the whole connect: the session's first events wait until
    // its handle is mapped, however fast the site answers.
    Mutex::ScopedLock callbacks(_callbackMutex);
    Mutex::ScopedLock map(_mapMutex);
    const int previous = client.handle();
    const auto found = _clients.find(previous);
    if (found != _clients.end() && found->second == &client) {
        _clients.erase(found);
        disconnect(previous);
    }
    const int handle = connect(address, port, user, password, &client);
    if (handle >= 0) {
        client.setConnectedFlag(false);
        client.setDisconnectRequested(false);
        client.setHandle(handle);
        _clients[handle] = &client;
    }
    return handle;
}

void NetworkPlaybackContext::disconnectClient(NetworkPlaybackSession& client, bool byRequest) {
    const int handle = client.handle();
    if (handle < 0) {
        return;
    }
    client.setDisconnectRequested(byRequest);
    disconnect(handle);
}

bool NetworkPlaybackContext::isClientConnected(const NetworkPlaybackSession& client) const {
    Mutex::ScopedLock lock(_mapMutex);
    const auto found = _clients.find(client.handle());
    if (found == _clients.end() || found->second != &client) {
        return false;
    }
    return client.connectedFlag() || client.loginResult().succeeded();
}

void NetworkPlaybackContext::removeClient(NetworkPlaybackSession& client) {
    {
        Mutex::ScopedLock callbacks(_callbackMutex);
        Mutex::ScopedLock map(_mapMutex);
        for (auto entry = _clients.begin(); entry != _clients.end();) {
            if (entry->second == &client) {
                disconnect(entry->first);
                entry = _clients.erase(entry);
            } else {
                ++entry;
            }
        }
    }
    client.waitForFrameCallbacks();
}

int NetworkPlaybackContext::mappedClientCount() const {
    Mutex::ScopedLock lock(_mapMutex);
    return static_cast<int>(_clients.size());
}

template <typename Call>
void NetworkPlaybackContext::forward(int handle, Call&& call) {
    Mutex::ScopedLock callbacks(_callbackMutex);
    NetworkPlaybackSession* client = find(handle);
    if (client != nullptr) {
        call(*client);
    }
}

template <typename Call>
void NetworkPlaybackContext::forwardFrame(int handle, Call&& call) {
    NetworkPlaybackSession* client = nullptr;
    {
        Mutex::ScopedLock lock(_mapMutex);
        const auto found = _clients.find(handle);
        if (found == _clients.end()) {
            return;
        }
        client = found->second;
        client->beginFrameCallback();
    }
    struct End {
        NetworkPlaybackSession* client;
        ~End() { client->endFrameCallback(); }
    } end{client};
    call(*client);
}

// ---- session events -----------------------------------------------------------------------------

void NetworkPlaybackContext::connected(int handle) {
    Mutex::ScopedLock lock(_mapMutex);
    const auto found = _clients.find(handle);
    if (found != _clients.end()) {
        found->second->setConnectedFlag(true);
    }
}

void NetworkPlaybackContext::disconnected(int handle, int reason) {
    Mutex::ScopedLock callbacks(_callbackMutex);
    Mutex::ScopedLock map(_mapMutex);
    const auto found = _clients.find(handle);
    if (found == _clients.end()) {
        return;
    }
    NetworkPlaybackSession& client = *found->second;
    if (client.disconnectRequested()) {
        reason = CloseReason::DisconnectRequested;
        client.setDisconnectRequested(false);
    }
    client.setConnectedFlag(false);
    try {
        client.disconnected(reason);
    } catch (...) {
        _clients.erase(handle);
        throw;
    }
    _clients.erase(handle);
}

void NetworkPlaybackContext::loginSucceeded(int handle, const LoginResult& result) {
    forward(handle, [&](NetworkPlaybackSession& client) {
        client.setLoginResult(result);
        client.loginSucceeded();
    });
}

void NetworkPlaybackContext::loginFailed(int handle, const LoginResult& result) {
    forward(handle, [&](NetworkPlaybackSession& client) { client.setLoginResult(result); });
}

void NetworkPlaybackContext::remoteSystemInfoReceived(int handle, const RemoteSystemInfo& info) {
    forward(handle, [&](NetworkPlaybackSession& client) { client.remoteSystemInfoReceived(info); });
}

void NetworkPlaybackContext::productInfoReceived(int handle, const ProductInfo& info) {
    forward(handle, [&](NetworkPlaybackSession& client) { client.productInfoReceived(info); });
}

void NetworkPlaybackContext::finReceived(int /*handle*/, const FinOption& /*option*/) {}

void NetworkPlaybackContext::recordingCalendarReceived(int handle, const std::vector<Date>& dates) {
    forward(handle, [&](NetworkPlaybackSession& client) { client.recordingCalendarReceived(orderedDates(dates)); });
}

void NetworkPlaybackContext::recordingTimeTableReceived(int handle,
                                                        const std::vector<RecordingTimeTableEntry>& list) {
    forward(handle, [&](NetworkPlaybackSession& client) { client.recordingTimeTableReceived(list); });
}

void NetworkPlaybackContext::eventListReceived(int handle, const std::vector<EventListEntry>& list) {
    forward(handle, [&](NetworkPlaybackSession& client) { client.eventListReceived(list); });
}

void NetworkPlaybackContext::sectionListReceived(int handle, const BitMask32& channels, const Interval& range,
                                                 const std::vector<uint32_t>& sectionIDs) {
    forward(handle, [&](NetworkPlaybackSession& client) { client.sectionListReceived(channels, range, sectionIDs); });
}

void NetworkPlaybackContext::mediaFrameReceived(int handle, const MediaFrame& frame, bool flag,
                                                const MediaPosition& position) {
    forwardFrame(handle, [&](NetworkPlaybackSession& client) { client.mediaFrameReceived(frame, flag, position); });
}

void NetworkPlaybackContext::playbackStoppedReceived(int handle, uint32_t reason) {
    forward(handle, [&](NetworkPlaybackSession& client) { client.playbackStoppedReceived(reason); });
}

void NetworkPlaybackContext::eventCalendarReceived(int handle, const std::vector<Date>& dates) {
    forward(handle, [&](NetworkPlaybackSession& client) { client.eventCalendarReceived(orderedDates(dates)); });
}

void NetworkPlaybackContext::textInFrameReceived(int handle, const TextInFrame& frame, bool /*flag*/,
                                                 const MediaPosition& position) {
    forwardFrame(handle, [&](NetworkPlaybackSession& client) { client.textInFrameReceived(frame, position); });
}

void NetworkPlaybackContext::textInEventListReceived(int handle, const std::vector<TextInEventListEntry>& list) {
    forward(handle, [&](NetworkPlaybackSession& client) { client.textInEventListReceived(list); });
}

void NetworkPlaybackContext::storageListReceived(int handle, bool /*flag*/, const std::vector<StorageListEntry>& list) {
    forward(handle, [&](NetworkPlaybackSession& client) { client.storageListReceived(list); });
}

void NetworkPlaybackContext::storageChanged(int handle) {
    forward(handle, [&](NetworkPlaybackSession& client) { client.storageChanged(); });
}

} // namespace ostrel
