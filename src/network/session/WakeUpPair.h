#pragma once

#include "base/thread/Mutex.h"
#include "network/socket/SocketChannel.h"

namespace ostrel {

// A connected loopback TCP pair that lets any thread wake a worker sleeping
// in poll: the worker watches the receiving end; wake() sends one byte unless
// a wake-up is already pending.
class WakeUpPair {
public:
    explicit WakeUpPair(SocketApi& api = SocketApi::posix()) : _api(api), _sender(api), _receiver(api) {}

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
    SocketApi& _api;
    SocketChannel _sender;
    SocketChannel _receiver;
    Mutex _mutex;
    bool _pending = false;
};

} // namespace ostrel
