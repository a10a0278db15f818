#pragma once

namespace ostrel {

// Why a connection ended: passed to connectionClosed / connectFailed and up to
// the disconnected callbacks. Connection failures are reported this way, never
// thrown to the application.
struct CloseReason {
    // Closed on request of the application, or a socket error without a number of its own.
    static constexpr int Requested = 0;
    static constexpr int NotInitialized = 101;
    // The peer closed the connection, or a send or receive failed.
    static constexpr int PeerClosed = 102;
    static constexpr int AccessDenied = 103;
    static constexpr int NetworkDown = 104;
    static constexpr int AddressNotAvailable = 105; // or network unreachable
    static constexpr int HostDown = 106;
    static constexpr int HostUnreachable = 107;
    static constexpr int HostNotFound = 108;
    static constexpr int ConnectionReset = 109;
    static constexpr int TimedOut = 110;
    static constexpr int ConnectionRefused = 111;
    static constexpr int DispatcherStopping = 201;
    // The socket became writable while nothing was to be written.
    static constexpr int UnexpectedWritable = 202;
    // The socket became readable while nothing was to be read.
    static constexpr int UnexpectedReadable = 203;
    static constexpr int DisconnectRequested = 301;
    static constexpr int InvalidPayloadSize = 303;
    // During login: the site's first packet was not a sync, its protocol was
    // refused, or its answer to the login request was not a login response.
    static constexpr int ProtocolError = 304;
    static constexpr int NoPlaybackProfile = 305;
    static constexpr int LoginRefused = 308;
    static constexpr int LoginRefusedCode3 = 309;
    static constexpr int LoginRefusedCode4 = 310;
    static constexpr int LoginRefusedCode5 = 311;
    // The peer stopped answering alive checks.
    static constexpr int NoResponse = 312;
    static constexpr int ChannelFull = 313;

    // The reason for an errno value of a socket call (0 for errors without a
    // number of their own). Negative values are resolver (getaddrinfo) codes.
    static int ofSocketError(int error);
};

} // namespace ostrel
