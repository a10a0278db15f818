#pragma once

#include "base/thread/Mutex.h"
#include "network/socket/SocketChannel.h"

namespace ostrel {

// A connected loopback TCP pair that lets any thread wake a worker sleeping
// in poll: the worker watches the receiving end; wake() sends one byte unless
// a wake-up is already pending.
class WakeUpPair {
public:
    static constexpr uint8_t WakeByte = 88; // 'X'

    // Listens on an ephemeral loopback port, connects to it and keeps both ends.
    void open();
    void close();
    void wake();
    // The socket the worker polls for reading.
    int receivingSocket() const { return _receiver.socket(); }
    // Empties the receiving end and clears the pending flag.
    void drain();

private:
    SocketChannel _sender;
    SocketChannel _receiver;
    Mutex _mutex;
    bool _pending = false;
};

} // namespace ostrel
