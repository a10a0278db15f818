#include "network/session/CloseReason.h"

#include <cerrno>
#include <netdb.h>

namespace ostrel {

int CloseReason::ofSocketError(int error) {
    switch (error) {
    case EACCES:
        return AccessDenied;
    case EADDRNOTAVAIL:
    case ENETUNREACH:
        return AddressNotAvailable;
    case ENETDOWN:
        return NetworkDown;
    case EHOSTDOWN:
        return HostDown;
    case EHOSTUNREACH:
        return HostUnreachable;
    case ECONNRESET:
        return ConnectionReset;
    case ETIMEDOUT:
        return TimedOut;
    case ECONNREFUSED:
        return ConnectionRefused;
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
        return HostNotFound;
    default:
        return Requested;
    }
}

} // namespace ostrel
