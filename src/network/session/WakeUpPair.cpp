#include "network/session/WakeUpPair.h"

#include "network/socket/ServerSocketChannel.h"

#include <sys/socket.h>

namespace ostrel {

void WakeUpPair::open() {
    ServerSocketChannel server(_api);
    server.open();
    server.setReuseAddress(true);
    server.bind(0, 0x7FFFFFFF);
    _sender.open();
    _sender.connect(SocketAddress("127.0.0.1", server.boundAddress().port()));
    server.accept(_receiver);
    server.close();
    _api.configureBlocking(_receiver.socket(), false);
    Mutex::ScopedLock lock(_mutex);
    _pending = false;
}

void WakeUpPair::close() {
    _sender.close();
    _receiver.close();
}

void WakeUpPair::wake() {
    Mutex::ScopedLock lock(_mutex);
    if (_pending || !_sender.isOpen()) {
        return;
    }
    const uint8_t byte = WakeByte;
    // Never blocks: at most one byte is ever unread.
    if (_api.send(_sender.socket(), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) {
        _pending = true;
    }
}

void WakeUpPair::drain() {
    Mutex::ScopedLock lock(_mutex);
    uint8_t bytes[16];
    while (_api.recv(_receiver.socket(), bytes, sizeof bytes, MSG_DONTWAIT) > 0) {
    }
    _pending = false;
}

} // namespace ostrel
