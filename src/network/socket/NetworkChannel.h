#pragma once

#include "network/socket/SocketApi.h"

namespace ostrel {

// Owns one socket (-1 while closed); closes it when destroyed. Every call on
// the socket goes through the channel's SocketApi, which must outlive it.
class NetworkChannel {
public:
    explicit NetworkChannel(SocketApi& api = SocketApi::posix()) : _api(&api) {}
    NetworkChannel(const NetworkChannel&) = delete;
    NetworkChannel& operator=(const NetworkChannel&) = delete;
    virtual ~NetworkChannel();

    // Closes any socket first, then creates a new one (SocketException when that fails).
    void open();
    // Closes the socket, if open, and calls onClosed().
    void close();
    bool isOpen() const { return _socket >= 0; }
    int socket() const { return _socket; }
    SocketApi& api() const { return *_api; }

protected:
    // The new socket, or -1 with errno set.
    virtual int createSocket() = 0;
    virtual void onClosed() {}
    // Takes over an already created socket (closing the old one).
    void adopt(int socket);

private:
    SocketApi* _api;
    int _socket = -1;
};

} // namespace ostrel
