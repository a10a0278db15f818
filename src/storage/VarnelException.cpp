#include "storage/VarnelException.h"

#include "base/Trace.h"

namespace ostrel {

VarnelException::VarnelException(int code, std::source_location where)
    : Exception("VarnelException", code, std::string(messageOf(code)), where) {}

VarnelException::VarnelException(int code, std::string detail, std::source_location where)
    : Exception("VarnelException", code, std::string(messageOf(code)), where), _detail(std::move(detail)) {
    trace("VarnelException %d (%s): %s\n", code, messageOf(code), _detail.c_str());
}

std::string VarnelException::messageText() const {
    return _detail.empty() ? std::string(messageOf(code())) : std::string(messageOf(code())) + ": " + _detail;
}

const char* VarnelException::messageOf(int code) {
    switch (code) {
    case NotEnoughSpace:
        return "Not enough space";
    case RepositoryMismatch:
        return "Repository is mismatch";
    case InvalidStorage:
        return "Invalid storage";
    case StorageCorrupted:
        return "Storage corrupted";
    case PageOverwritten:
        return "Page overwritten";
    case BadPageFull:
        return "Bad Page Full";
    default:
        return "Unknown exception";
    }
}

} // namespace ostrel
