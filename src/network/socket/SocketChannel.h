#pragma once

#include "network/socket/NetworkChannel.h"
#include "network/socket/SocketAddress.h"

struct sockaddr_in;

namespace ostrel {

class ByteBuffer;

// A TCP connection's socket with its two addresses; reads and writes move a
// ByteBuffer's position.
class SocketChannel : public NetworkChannel {
public:
    using NetworkChannel::NetworkChannel;

    // Connects to the address. True when the connection is up (then both
    // addresses are recorded); false when it goes on in the background.
    bool connect(const SocketAddress& address);
    bool isConnected() const { return _connected; }
    void setConnected(bool connected) { _connected = connected; }

    // Receives up to the buffer's remaining bytes at its position. Returns
    // -1 on failure (errno says why; EAGAIN means try again), 0 when the peer
    // closed, otherwise the count by which the position advanced. A buffer
    // with nothing remaining reads 0 without a platform call.
    int read(ByteBuffer& buffer);
    // Sends the buffer's remaining bytes, the same way. Never raises SIGPIPE.
    int write(ByteBuffer& buffer);

    // Takes a socket accepted by a server channel.
    void accepted(int socket, const SocketAddress& address);
    void shutdownOutput();

    // Looked up from the socket when not known yet (left unset when that fails).
    const SocketAddress& localAddress();
    const SocketAddress& remoteAddress();

protected:
    int createSocket() override;
    void onClosed() override;
    // Blocking connect; SocketException on failure.
    virtual bool implConnect(int socket, const sockaddr_in& address);
    virtual int read(int socket, void* bytes, int n);
    virtual int write(int socket, const void* bytes, int n);

private:
    SocketAddress _remote;
    SocketAddress _local;
    bool _connected = false;
};

} // namespace ostrel
