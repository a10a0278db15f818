#pragma once

#include "network/socket/NetworkChannel.h"
#include "network/socket/SocketAddress.h"

#include <cstdint>

namespace ostrel {

class SocketChannel;

// A listening socket (blocking).
class ServerSocketChannel : public NetworkChannel {
public:
    using NetworkChannel::NetworkChannel;

    // Binds to any local address and the port (0: the system chooses; the
    // chosen port is read back) and listens with the backlog.
    void bind(uint16_t port, int backlog);
    bool isBound() const { return _bound; }
    const SocketAddress& boundAddress() const { return _address; }
    // Accepts one connection into `channel`; SocketException with the message
    // "Socket is not bound yet" when not bound.
    void accept(SocketChannel& channel);
    void setReuseAddress(bool reuse);

protected:
    int createSocket() override;
    void onClosed() override;
    // The accepted socket (and its peer's address), or -1 with errno set.
    virtual int implAccept(SocketAddress& address);

private:
    SocketAddress _address;
    bool _bound = false;
};

} // namespace ostrel
