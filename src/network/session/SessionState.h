#pragma once

namespace ostrel {

// The state of a session, and of a dispatcher context (where Connected means
// that the TCP connection is up, for a session that the login succeeded).
enum class SessionState : int { Connecting = 0, Connected = 1, Closing = 2, Disconnected = 3 };

const char* toString(SessionState state);

} // namespace ostrel
