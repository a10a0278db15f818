#include "network/session/SelectDispatcher.h"

#include "base/ByteBuffer.h"
#include "base/Exception.h"
#include "base/Trace.h"
#include "network/session/CloseReason.h"
#include "network/session/Session.h"
#include "network/session/SessionContextImpl.h"
#include "network/socket/NonBlockingSocketChannel.h"
#include "network/socket/SocketException.h"

#include <cerrno>
#include <exception>
#include <poll.h>

namespace ostrel {
namespace {

// How many packets one connection may send in one step before the others get
// their turn.
constexpr int BurstLimit = 32;
// How many receives one connection may make in one step (each up to the
// 1 MiB receive buffer) before the others get their turn.
constexpr int ReceiveBurst = 4;

} // namespace

SelectDispatcher::SelectDispatcher(int connections, std::string threadName, SocketApi& api)
    : Dispatcher(connections, std::move(threadName)), _api(api), _wakeUp(api), _connections(connections) {
    std::vector<NonBlockingSocketChannel*> channels;
    for (int i = 0; i < connections; ++i) {
        _channels.push_back(std::make_unique<NonBlockingSocketChannel>(api));
        channels.push_back(_channels.back().get());
    }
    createContexts(channels);
    _worker = std::make_unique<WorkerThread>(*this, this->threadName().c_str());
}

SelectDispatcher::~SelectDispatcher() {
    stop();
    _worker.reset();
}

void SelectDispatcher::wakeUp() {
    // The worker asking for itself (a session reading on, answering or
    // closing from one of its events) needs no wake-up: it builds its next
    // step from the flags as soon as this one ends. Skipping it spares a
    // loopback send and receive per packet.
    if (&Thread::current() == _worker.get()) {
        return;
    }
    _wakeUp.wake();
}

NonBlockingSocketChannel* SelectDispatcher::acquireChannel(int slot) {
    NonBlockingSocketChannel& channel = *_channels[static_cast<size_t>(slot)];
    if (!channel.isOpen()) {
        channel.open();
    }
    return &channel;
}

void SelectDispatcher::startThreads() {
    _wakeUp.open();
    _worker->start();
}

void SelectDispatcher::stopThreads() {
    _worker->stop();
    _wakeUp.wake();
    _worker->join();
    _wakeUp.close();
}

// ---- worker -----------------------------------------------------------------

SelectDispatcher::WorkerThread::WorkerThread(SelectDispatcher& dispatcher, const char* name)
    : LoopingThread(name), _dispatcher(dispatcher) {
    _fds.resize(static_cast<size_t>(dispatcher._connections) + 1);
    _watched.resize(static_cast<size_t>(dispatcher._connections));
}

SelectDispatcher::WorkerThread::~WorkerThread() {
    stop();
    join();
}

template <typename Event>
bool SelectDispatcher::WorkerThread::deliver(SessionContextImpl& context, Event&& event, bool closing) {
    try {
        event();
        return true;
    } catch (const Exception& e) {
        traceException(e);
    } catch (const std::exception& e) {
        trace("%s\n", e.what());
    } catch (...) {
        trace("unknown exception\n");
    }
    trace("Session event failed on the dispatcher thread; closing its connection.\n");
    // A failed closing event needs nothing more: its slot was reset before it
    // (and may already serve another session).
    if (!closing) {
        closeFromWorker(context, CloseReason::Requested);
    }
    return false;
}

void SelectDispatcher::WorkerThread::closeFromWorker(SessionContextImpl& context, int reason) {
    // The slot is reset before the session hears of the close, so that a
    // session released in that event finds a free slot when it connects again
    // at once; the session no longer reaches the old connection either way.
    Session* session = context.session();
    if (session != nullptr) {
        session->attachContext(nullptr);
    }
    context.reset();
    if (session != nullptr) {
        deliver(context, [&] { session->connectionClosed(reason); }, true);
    }
}

void SelectDispatcher::WorkerThread::connectFailed(SessionContextImpl& context, int reason) {
    Session* session = context.session();
    if (session != nullptr) {
        session->attachContext(nullptr);
    }
    context.reset();
    if (session != nullptr) {
        deliver(context, [&] { session->connectFailed(reason); }, true);
    }
}

void SelectDispatcher::WorkerThread::completeConnect(SessionContextImpl& context) {
    context.markConnected();
    Session* session = context.session();
    deliver(context, [&] { session->connectCompleted(); });
}

void SelectDispatcher::WorkerThread::closeAll(int reason) {
    for (int slot = 0; slot < _dispatcher.connectionCount(); ++slot) {
        SessionContextImpl& context = _dispatcher.context(slot);
        if (!context.isFree() && context.channel().isOpen()) {
            closeFromWorker(context, reason);
        }
    }
}

void SelectDispatcher::WorkerThread::onStop() { closeAll(CloseReason::DispatcherStopping); }

void SelectDispatcher::WorkerThread::runOnce() {
    // 1. Who waits for what.
    size_t count = 0;
    // A connection whose session asks for bytes it has already received
    // needs no waiting: this step serves it at once.
    bool buffered = false;
    _fds[count++] = pollfd{_dispatcher._wakeUp.receivingSocket(), POLLIN, 0};
    for (int slot = 0; slot < _dispatcher.connectionCount(); ++slot) {
        SessionContextImpl& context = _dispatcher.context(slot);
        if (context.isFree()) {
            continue;
        }
        int flags = context.flags();
        if ((flags & SessionContextImpl::CloseRequested) != 0) {
            closeFromWorker(context, context.closeReason());
            continue;
        }
        short events = 0;
        if ((flags & SessionContextImpl::ConnectRequested) != 0) {
            bool connected = false;
            try {
                connected = context.startConnect();
            } catch (const SocketException& e) {
                // Refused outright (a loopback connect may know at once).
                connectFailed(context, CloseReason::ofSocketError(e.code()));
                continue;
            } catch (const Exception& e) {
                traceException(e);
                connectFailed(context, CloseReason::Requested);
                continue;
            }
            if (connected) {
                completeConnect(context);
                continue;
            }
            context.clearFlags(SessionContextImpl::ConnectRequested);
            context.setFlags(SessionContextImpl::ConnectInProgress);
            events = POLLOUT;
        } else if ((flags & SessionContextImpl::ConnectInProgress) != 0) {
            events = POLLOUT;
        } else if (!context.isTcpUp()) {
            continue; // attached, its connect not requested yet
        } else {
            if ((flags & SessionContextImpl::ReadRequested) != 0) {
                events |= POLLIN;
                buffered = buffered || context.bufferedCount() > 0;
            }
            if ((flags & SessionContextImpl::WritePending) != 0) {
                events |= POLLOUT;
            }
        }
        // Errors and hang-ups are reported whatever is asked for.
        _watched[count - 1] = Watched{&context, context.generation()};
        _fds[count++] = pollfd{context.channel().socket(), events, 0};
    }

    // 2. Wait.
    const int ready = _dispatcher._api.poll(_fds.data(), count, buffered ? 0 : StepMilliseconds);
    if (ready < 0) {
        if (errno == EINTR) {
            return;
        }
        const int error = errno;
        closeAll(CloseReason::DispatcherStopping);
        throw SocketException(error);
    }
    if (ready == 0 && !buffered) {
        return;
    }

    // 3. Wake-ups.
    if ((_fds[0].revents & POLLIN) != 0) {
        _dispatcher._wakeUp.drain();
        if (ready == 1 && !buffered) {
            return;
        }
    }

    // 4. Serve, in slot order.
    for (size_t i = 1; i < count; ++i) {
        const Watched& watched = _watched[i - 1];
        SessionContextImpl& context = *watched.context;
        // Reset (and maybe taken again) by an event earlier in this step.
        if (context.isFree() || context.generation() != watched.generation) {
            continue;
        }
        serve(context, _fds[i].revents);
    }
    if (!isStopRequested()) {
        Thread::yield();
    }
}

void SelectDispatcher::WorkerThread::serve(SessionContextImpl& context, short events) {
    const int flags = context.flags();
    if ((flags & SessionContextImpl::CloseRequested) != 0) {
        closeFromWorker(context, context.closeReason());
        return;
    }
    if ((flags & SessionContextImpl::ConnectInProgress) != 0) {
        if ((events & (POLLOUT | POLLERR | POLLHUP)) == 0) {
            return; // still connecting
        }
        int error = 0;
        try {
            error = _dispatcher._api.socketError(context.channel().socket());
        } catch (const SocketException& e) {
            error = e.code();
        }
        if (error == 0 && (events & POLLOUT) != 0 && (events & POLLERR) == 0) {
            completeConnect(context);
        } else {
            connectFailed(context, CloseReason::ofSocketError(error != 0 ? error : ECONNREFUSED));
        }
        return;
    }
    if ((events & (POLLERR | POLLNVAL)) != 0) {
        trace("Set in Error FD_SET\n");
        int error = 0;
        try {
            error = _dispatcher._api.socketError(context.channel().socket());
        } catch (const SocketException& e) {
            error = e.code();
        }
        closeFromWorker(context, CloseReason::ofSocketError(error));
        return;
    }
    const bool reading = (flags & SessionContextImpl::ReadRequested) != 0;
    if ((events & POLLIN) != 0 || (reading && ((events & POLLHUP) != 0 || context.bufferedCount() > 0))) {
        serveReadable(context);
        if (context.isFree()) {
            return;
        }
    } else if ((events & POLLHUP) != 0) {
        // Hung up while nothing is being read: nothing more can come or go.
        trace("[READ] Socket closed...\n");
        closeFromWorker(context, CloseReason::PeerClosed);
        return;
    }
    if ((events & POLLOUT) != 0) {
        serveWritable(context);
    }
}

void SelectDispatcher::WorkerThread::serveReadable(SessionContextImpl& context) {
    int receives = 0;
    // Whether the last receive took all the socket had: then the next one
    // would only find nothing, and the rest waits for the next step's poll.
    bool drained = false;
    for (bool first = true;; first = false) {
        ByteBuffer* target = context.readTarget();
        if (target == nullptr) {
            if (first) {
                trace("Context isn't interest to read. But it intends to read... Now close socket.\n");
                closeFromWorker(context, CloseReason::UnexpectedReadable);
            }
            return; // the session reads on later; what was received ahead waits
        }
        context.takeBuffered(*target);
        while (target->remaining() > 0) {
            if (drained || receives == ReceiveBurst) {
                return; // the rest comes in a later step
            }
            ++receives;
            // Nothing is buffered here. A large rest goes straight into the
            // target; anything else is received ahead in one chunk.
            const int wanted = target->remaining();
            const bool direct = wanted >= SessionContextImpl::DirectReadSize;
            const int received = direct ? context.channel().read(*target) : context.receiveAhead();
            if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return;
            }
            if (received <= 0) {
                trace("[READ] Socket closed...\n");
                closeFromWorker(context, CloseReason::PeerClosed);
                return;
            }
            drained = received < (direct ? wanted : SessionContextImpl::ReceiveBufferSize);
            context.takeBuffered(*target);
        }
        context.readFinished();
        Session* session = context.session();
        if (!deliver(context, [&] { session->readCompleted(); })) {
            return;
        }
        if (context.isFree() || (context.flags() & SessionContextImpl::CloseRequested) != 0) {
            return;
        }
    }
}

void SelectDispatcher::WorkerThread::serveWritable(SessionContextImpl& context) {
    enum class Outcome { BlockSent, Wait, Unexpected, Failed };
    for (int burst = 0; burst < BurstLimit; ++burst) {
        Outcome outcome;
        Priority sent = Priority::Normal;
        bool more = false;
        {
            Mutex::ScopedLock lock(context.sendMutex());
            ByteBuffer* block = context.currentBlock();
            if ((context.flags() & SessionContextImpl::WritePending) == 0 || block == nullptr) {
                outcome = burst == 0 ? Outcome::Unexpected : Outcome::Wait;
            } else {
                const int written = context.channel().write(*block);
                if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    trace("Select returns but write would block.\n");
                    outcome = Outcome::Wait;
                } else if (written <= 0) {
                    outcome = Outcome::Failed;
                } else if (block->remaining() > 0) {
                    outcome = Outcome::Wait; // the socket is full; the rest goes when it drains
                } else {
                    sent = context.currentPriority();
                    more = context.advanceBlock();
                    outcome = Outcome::BlockSent;
                }
            }
        }
        // Events are delivered without the send mutex, so a session may send from them.
        switch (outcome) {
        case Outcome::Wait:
            return;
        case Outcome::Unexpected:
            trace("Context isn't interest to write. But it intends to write... Now close socket.\n");
            closeFromWorker(context, CloseReason::UnexpectedWritable);
            return;
        case Outcome::Failed:
            trace("[WRITE] Socket closed...\n");
            closeFromWorker(context, CloseReason::PeerClosed);
            return;
        case Outcome::BlockSent: {
            Session* session = context.session();
            if (!deliver(context, [&] { session->sendCompleted(sent); })) {
                return;
            }
            if (!more || context.isFree()) {
                return;
            }
            break;
        }
        }
    }
}

} // namespace ostrel
