#include "app/persistence/StorageEntry.h"

namespace ostrel {

const char* StorageEntry::statusText(int status) {
    switch (status) {
    case Unknown:
        return "Unknown";
    case Good:
        return "Good";
    case NotFormatted:
        return "Not Formatted";
    case NotFound:
        return "Not Found";
    case OpenError:
        return "Open Error";
    default:
        return "";
    }
}

} // namespace ostrel
