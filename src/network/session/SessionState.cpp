#include "network/session/SessionState.h"

namespace ostrel {

const char* toString(SessionState state) {
    switch (state) {
    case SessionState::Connecting:
        return "CONNECTING";
    case SessionState::Connected:
        return "CONNECTED";
    case SessionState::Closing:
        return "CLOSING";
    case SessionState::Disconnected:
        return "DISCONNECTED";
    }
    return "UNKNOWN";
}

} // namespace ostrel
