#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ostrel {

// What a site connection has yet to send, in order: bytes of its own (packet
// headers, replies) and borrowed bytes that outlive the queue (the
// recording's payload pattern), so that a frame's data goes from the pattern
// to the socket with no copy of its own. send() hands the socket many pieces
// in one call.
class SendQueue {
public:
    // Copies the bytes into the queue.
    void append(const uint8_t* bytes, size_t length);
    // Queues the bytes without copying them; they must stay valid and
    // unchanged until sent or cleared.
    void appendBorrowed(const uint8_t* bytes, size_t length);
    // Zero bytes, copied.
    void appendZeros(size_t length);

    size_t pending() const { return _pending; }
    bool isEmpty() const { return _pending == 0; }
    // Sends as much as the socket takes now (non-blocking). False when the
    // socket failed (errno tells), true otherwise, also when it is full.
    bool send(int socket);
    void clear();

private:
    struct Piece {
        const uint8_t* borrowed; // nullptr: own bytes at `offset` in _owned
        size_t offset;
        size_t length;
    };

    // Takes the first `count` sent bytes off the front.
    void advance(size_t count);
    // Drops the pieces already sent (and the own bytes only they used).
    void compact();

    std::vector<uint8_t> _owned;
    std::vector<Piece> _pieces;
    size_t _next = 0;   // the first piece not wholly sent
    size_t _sentOfNext = 0;
    size_t _pending = 0;
};

} // namespace ostrel
