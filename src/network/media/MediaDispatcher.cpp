#include "network/media/MediaDispatcher.h"

#include "base/ByteBuffer.h"
#include "base/Exception.h"
#include "base/Trace.h"
#include "network/BlockingRecordQueue.h"
#include "network/RecordSizeException.h"
#include "network/media/MediaDispatcherClient.h"

#include <chrono>
#include <exception>

namespace ostrel {

MediaDispatcher::MediaDispatcher() : LoopingThread("MediaDispatcher") {}

MediaDispatcher::~MediaDispatcher() {
    // step() uses this class's members: stop and join before they go.
    MediaDispatcher::stop();
    join();
}

void MediaDispatcher::start() {
    {
        std::shared_lock lock(_registryMutex);
        if (_stopped) {
            throw Exception("Exception", 0, std::string("The media dispatcher has been stopped."));
        }
    }
    if (isRunning()) {
        return;
    }
    LoopingThread::start();
}

void MediaDispatcher::stop() {
    LoopingThread::stop();
    std::vector<std::shared_ptr<BlockingRecordQueue>> queues;
    {
        std::unique_lock lock(_registryMutex);
        _stopped = true;
        for (const auto& entry : _registrations) {
            queues.push_back(entry.second.queue);
        }
    }
    _ready.close();
    for (const auto& queue : queues) {
        queue->close();
    }
}

void MediaDispatcher::registerClient(MediaDispatcherClient& client, std::shared_ptr<BlockingRecordQueue> queue) {
    Mutex::ScopedLock delivery(_mutex);
    std::unique_lock lock(_registryMutex);
    if (_stopped) {
        queue->close();
    }
    if (_identifiers.count(&client) > 0) {
        return;
    }
    // Identifiers are not reused while registered, so a stale ready entry of a
    // client that has gone can never deliver to another one.
    while (_nextIdentifier == 0 || _registrations.count(_nextIdentifier) > 0) {
        ++_nextIdentifier;
    }
    const std::uint32_t identifier = _nextIdentifier++;
    _registrations.emplace(identifier, Registration{&client, std::move(queue)});
    _identifiers.emplace(&client, identifier);
}

void MediaDispatcher::unregisterClient(MediaDispatcherClient& client) {
    std::shared_ptr<BlockingRecordQueue> queue;
    {
        Mutex::ScopedLock delivery(_mutex);
        std::unique_lock lock(_registryMutex);
        const auto found = _identifiers.find(&client);
        if (found == _identifiers.end()) {
            return;
        }
        const auto registration = _registrations.find(found->second);
        queue = std::move(registration->second.queue);
        _registrations.erase(registration);
        _identifiers.erase(found);
    }
    queue->close();
}

bool MediaDispatcher::isRegistered(const MediaDispatcherClient& client) const {
    std::shared_lock lock(_registryMutex);
    return _identifiers.count(&client) > 0;
}

void MediaDispatcher::onStart() { _threadId.store(std::this_thread::get_id(), std::memory_order_release); }

void MediaDispatcher::onStop() { _threadId.store(std::thread::id(), std::memory_order_release); }

bool MediaDispatcher::isDispatcherThread() const {
    return _threadId.load(std::memory_order_acquire) == std::this_thread::get_id();
}

bool MediaDispatcher::lookUp(const MediaDispatcherClient& client, std::uint32_t& identifier,
                             std::shared_ptr<BlockingRecordQueue>& queue) const {
    std::shared_lock lock(_registryMutex);
    const auto found = _identifiers.find(&client);
    if (found == _identifiers.end()) {
        return false;
    }
    identifier = found->second;
    queue = _registrations.at(identifier).queue;
    return true;
}

bool MediaDispatcher::post(MediaDispatcherClient& client, std::span<const RecordRing::Part> parts) {
    std::uint32_t identifier = 0;
    std::shared_ptr<BlockingRecordQueue> queue;
    if (!lookUp(client, identifier, queue)) {
        return false;
    }
    if (isDispatcherThread()) {
        // Only this thread could make room: waiting here would wait forever.
        if (tryPost(identifier, *queue, parts)) {
            return true;
        }
        if (!queue->isClosed()) {
            trace("MediaDispatcher::post : record of %zu bytes refused, the client queue is full and only this "
                  "thread could empty it\n",
                  RecordRing::totalLength(parts));
        }
        return false;
    }
    // The shared queue stays alive while this producer waits in it, even when the
    // client unregisters meanwhile (which closes it and so releases the wait).
    if (!queue->put(parts)) {
        return false;
    }
    return _ready.push(identifier);
}

bool MediaDispatcher::tryPost(MediaDispatcherClient& client, std::span<const RecordRing::Part> parts) {
    std::uint32_t identifier = 0;
    std::shared_ptr<BlockingRecordQueue> queue;
    return lookUp(client, identifier, queue) && tryPost(identifier, *queue, parts);
}

bool MediaDispatcher::tryPost(std::uint32_t identifier, BlockingRecordQueue& queue,
                              std::span<const RecordRing::Part> parts) {
    if (!queue.put(parts, 0)) {
        return false;
    }
    if (!_ready.push(identifier, 0)) {
        if (_ready.isClosed()) {
            return false;
        }
        Mutex::ScopedLock lock(_owedMutex);
        _owed.push_back(identifier);
        _owedCount.fetch_add(1, std::memory_order_release);
    }
    return true;
}

std::uint64_t MediaDispatcher::deliveredCount() const { return _delivered.load(std::memory_order_acquire); }

std::size_t MediaDispatcher::takeRecord(BlockingRecordQueue& queue) {
    if (_buffer.empty()) {
        // Taken with the first delivery: a process that never archives never needs it.
        _buffer.resize(DeliveryBufferSize);
    }
    while (true) {
        try {
            return queue.take(std::span<std::uint8_t>(_buffer.data(), _buffer.size()), 0);
        } catch (const RecordSizeException& e) {
            if (e.code() != RecordSizeException::BufferTooSmall) {
                throw;
            }
            // Only a queue built for records larger than any session produces gets
            // here; the record was accepted, so it is delivered, not dropped.
            trace("MediaDispatcher: delivery buffer grown to %zu bytes\n", e.recordSize());
            _buffer.resize(e.recordSize());
        }
    }
}

void MediaDispatcher::deliverOne(std::uint32_t identifier) {
    Mutex::ScopedLock delivery(_mutex);
    Registration registration{nullptr, nullptr};
    {
        std::shared_lock lock(_registryMutex);
        const auto found = _registrations.find(identifier);
        if (found == _registrations.end()) {
            return;
        }
        registration = found->second;
    }
    const std::size_t length = takeRecord(*registration.queue);
    if (length == 0) {
        return; // the client cleared its queue after posting
    }
    ByteBuffer record(_buffer.data(), static_cast<int>(length));
    _delivered.fetch_add(1, std::memory_order_acq_rel);
    // A failing client must not end the delivery to every other client.
    try {
        registration.client->deliver(record);
    } catch (const Exception& e) {
        traceException(e);
    } catch (const std::exception& e) {
        trace("MediaDispatcher: delivery failed: %s\n", e.what());
    } catch (...) {
        trace("MediaDispatcher: delivery failed with an unknown exception\n");
    }
}

std::optional<std::uint32_t> MediaDispatcher::nextIdentifier() {
    if (_owedCount.load(std::memory_order_acquire) > 0) {
        Mutex::ScopedLock lock(_owedMutex);
        if (!_owed.empty()) {
            const std::uint32_t identifier = _owed.front();
            _owed.pop_front();
            _owedCount.fetch_sub(1, std::memory_order_release);
            return identifier;
        }
    }
    if (auto identifier = _ready.pop(0)) {
        _idlePauses = 0;
        return identifier;
    }
    // Nothing waiting. Right after a busy spell, pause briefly instead of waiting
    // to be woken: producers then post without waking this thread for every
    // record, and the pause delivers what came meanwhile in one go. Once the
    // pauses find nothing, wait to be woken as usual.
    if (_idlePauses < BusyPauses) {
        ++_idlePauses;
        std::this_thread::sleep_for(std::chrono::microseconds(BusyPauseMicroseconds));
        return std::nullopt;
    }
    // Owed identifiers arise while the ready queue is full, so they are normally
    // served long before it runs empty; the bounded wait covers the rare case of
    // one added just as the queue emptied.
    auto identifier = _ready.pop(OwedCheckMilliseconds);
    if (identifier) {
        _idlePauses = 0;
    }
    return identifier;
}

void MediaDispatcher::step() {
    const auto identifier = nextIdentifier();
    if (!identifier) {
        return; // nothing yet, or closed because stop() has been requested
    }
    try {
        deliverOne(*identifier);
    } catch (const Exception& e) {
        traceException(e);
    } catch (const std::exception& e) {
        trace("MediaDispatcher: %s\n", e.what());
    }
    Thread::yield();
}

} // namespace ostrel
