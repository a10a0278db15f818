#pragma once

#include "network/session/Priority.h"
#include "network/session/SessionState.h"
#include "network/socket/SocketAddress.h"

#include <cstdint>
#include <span>

namespace ostrel {

class ByteBuffer;

// One connection slot of a dispatcher, as its session sees it. Every
// operation may be called from any thread (it only records the request and
// wakes the worker, which makes the socket calls), except the two on the
// bytes received ahead, which belong to the worker's session events.
class SessionContext {
public:
    virtual ~SessionContext() = default;

    virtual SessionState state() const = 0;
    virtual bool isFree() const = 0;
    // Starts connecting; false when no session is attached.
    virtual bool connect(const SocketAddress& address) = 0;
    // Asks for the connection to be closed with the reason; false when no
    // session is attached (it was already closed).
    virtual bool close(int reason) = 0;
    // Queues the buffer's bytes from position to limit as one record of that
    // priority. False, with nothing queued, when no session is attached, the
    // queue lacks room for the whole record, or there are no bytes.
    virtual bool send(const ByteBuffer& packet, Priority priority) = 0;
    // Fills the buffer's remaining bytes, then delivers readCompleted. A new
    // request replaces one that has not completed.
    virtual void read(ByteBuffer& buffer) = 0;
    // Within a session event on the worker thread only: the bytes received
    // ahead of the session's reads, which the next read would take (empty
    // when none). They stay in place, writable, until the event returns.
    // consumeReceived(n) takes the first n of them out of the stream, as a
    // read of n bytes would, so a session can handle whole packets where
    // they lie instead of reading them into a buffer of its own.
    virtual std::span<uint8_t> receivedAhead() = 0;
    virtual void consumeReceived(int count) = 0;
    // About the Normal-priority queue.
    virtual bool hasRoom(int length) const = 0;
    virtual int freeSpace() const = 0;
    virtual int queuedCount() const = 0;
    // Copies; unset when unknown.
    virtual SocketAddress localAddress() const = 0;
    virtual SocketAddress remoteAddress() const = 0;
    // Holds back the worker's sending (and other senders) between the two calls.
    virtual void lockSend() = 0;
    virtual void unlockSend() = 0;
};

} // namespace ostrel
