#pragma once

#include "base/thread/Mutex.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace ostrel {

class NonBlockingSocketChannel;
class Session;
class SessionContext;
class SessionContextImpl;

// Runs the socket input and output of a fixed number of connections. Sessions
// are attached to free connection slots; application threads only set request
// flags on a slot and wake the dispatcher, whose threads make the socket calls
// and deliver the Session events.
class Dispatcher {
public:
    Dispatcher(int connections, std::string threadName);
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;
    virtual ~Dispatcher();

    // Binds the session to the first free slot, with a freshly opened socket,
    // and calls session.attachContext. nullptr (with a trace line) when every
    // slot is taken. SocketException when no socket can be created.
    SessionContext* attach(Session& session);
    // Once: starts the threads. stop: once, stops them; every connection still
    // attached is closed with reason 201 and every slot reset.
    void start();
    void stop();
    bool isStarted() const;
    int connectionCount() const { return static_cast<int>(_contexts.size()); }
    const std::string& threadName() const { return _threadName; }
    // Bytes of send queues and receive buffers the slots hold now: only
    // connections in use have any.
    std::size_t allocatedBufferBytes() const;

    // Something was requested on a slot (connect, read, write or close).
    virtual void wakeUp() = 0;

protected:
    // Opens the socket of the slot's channel; nullptr when that is impossible.
    virtual NonBlockingSocketChannel* acquireChannel(int slot) = 0;
    virtual void startThreads() = 0;
    virtual void stopThreads() = 0;

    SessionContextImpl& context(int slot) { return *_contexts[static_cast<size_t>(slot)]; }
    // Builds the slots; a derived class calls it once its channels exist.
    void createContexts(const std::vector<NonBlockingSocketChannel*>& channels);

private:
    std::string _threadName;
    mutable Mutex _mutex;
    bool _started = false;
    bool _stopped = false;
    std::vector<std::unique_ptr<SessionContextImpl>> _contexts;
};

} // namespace ostrel
