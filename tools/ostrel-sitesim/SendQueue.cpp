#include "ostrel-sitesim/SendQueue.h"

#include <algorithm>
#include <cerrno>
#include <sys/socket.h>
#include <sys/uio.h>

namespace ostrel {
namespace {

// Pieces handed to one sendmsg call.
constexpr size_t PiecesPerCall = 64;
// Sent pieces kept before the front is dropped.
constexpr size_t CompactAfter = 256;

} // namespace

void SendQueue::append(const uint8_t* bytes, size_t length) {
    if (length == 0) {
        return;
    }
    const size_t offset = _owned.size();
    _owned.insert(_owned.end(), bytes, bytes + length);
    // Own bytes right behind the last piece's own bytes extend it.
    if (!_pieces.empty() && _pieces.size() > _next && _pieces.back().borrowed == nullptr &&
        _pieces.back().offset + _pieces.back().length == offset) {
        _pieces.back().length += length;
    } else {
        _pieces.push_back({nullptr, offset, length});
    }
    _pending += length;
}

void SendQueue::appendBorrowed(const uint8_t* bytes, size_t length) {
    if (length == 0) {
        return;
    }
    _pieces.push_back({bytes, 0, length});
    _pending += length;
}

void SendQueue::appendZeros(size_t length) {
    static constexpr uint8_t Zeros[16] = {};
    while (length > 0) {
        const size_t part = std::min(length, sizeof Zeros);
        append(Zeros, part);
        length -= part;
    }
}

bool SendQueue::send(int socket) {
    while (_pending > 0) {
        iovec vectors[PiecesPerCall];
        size_t count = 0;
        for (size_t i = _next; i < _pieces.size() && count < PiecesPerCall; ++i) {
            const Piece& piece = _pieces[i];
            const uint8_t* start = piece.borrowed != nullptr ? piece.borrowed : _owned.data() + piece.offset;
            const size_t skip = i == _next ? _sentOfNext : 0;
            vectors[count++] = iovec{const_cast<uint8_t*>(start + skip), piece.length - skip};
        }
        msghdr message{};
        message.msg_iov = vectors;
        message.msg_iovlen = count;
        const ssize_t sent = ::sendmsg(socket, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        advance(static_cast<size_t>(sent));
    }
    return true;
}

void SendQueue::advance(size_t count) {
    _pending -= count;
    while (count > 0) {
        const size_t left = _pieces[_next].length - _sentOfNext;
        if (count < left) {
            _sentOfNext += count;
            return;
        }
        count -= left;
        ++_next;
        _sentOfNext = 0;
    }
    if (_pending == 0) {
        clear();
    } else if (_next >= CompactAfter) {
        compact();
    }
}

void SendQueue::compact() {
    size_t firstOwned = _owned.size();
    for (size_t i = _next; i < _pieces.size(); ++i) {
        if (_pieces[i].borrowed == nullptr) {
            firstOwned = _pieces[i].offset;
            break;
        }
    }
    _owned.erase(_owned.begin(), _owned.begin() + static_cast<std::ptrdiff_t>(firstOwned));
    _pieces.erase(_pieces.begin(), _pieces.begin() + static_cast<std::ptrdiff_t>(_next));
    _next = 0;
    for (Piece& piece : _pieces) {
        if (piece.borrowed == nullptr) {
            piece.offset -= firstOwned;
        }
    }
}

void SendQueue::clear() {
    _owned.clear();
    _pieces.clear();
    _next = 0;
    _sentOfNext = 0;
    _pending = 0;
}

} // namespace ostrel
