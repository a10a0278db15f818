#pragma once

#include "network/socket/SocketChannel.h"

namespace ostrel {

// A socket channel whose socket never blocks: connects go on in the
// background and reads and writes answer EAGAIN instead of waiting.
class NonBlockingSocketChannel : public SocketChannel {
public:
    using SocketChannel::SocketChannel;

protected:
    int createSocket() override;
    // True when the connect completed at once, false while it is in progress;
    // SocketException for any other outcome (for example ECONNREFUSED, which a
    // loopback connect may report at once).
    bool implConnect(int socket, const sockaddr_in& address) override;
};

} // namespace ostrel
