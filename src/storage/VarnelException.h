#pragma once

#include "base/Exception.h"

#include <source_location>
#include <string>

namespace ostrel {

// A failure of the storage engine. The code selects the message; a detail,
// when given, says what exactly was found (page number, field, value) and is
// kept apart so that the message stays the fixed text of the code.
class VarnelException : public Exception {
public:
    enum Code : int {
        NotEnoughSpace = 1,
        RepositoryMismatch = 2,
        InvalidStorage = 3,
        StorageCorrupted = 4,
        PageOverwritten = 5,
        BadPageFull = 6,
    };

    explicit VarnelException(int code, std::source_location where = std::source_location::current());
    VarnelException(int code, std::string detail,
                    std::source_location where = std::source_location::current());

    // "Not enough space", "Repository is mismatch", "Invalid storage",
    // "Storage corrupted", "Page overwritten", "Bad Page Full", or
    // "Unknown exception" for any other code.
    static const char* messageOf(int code);

    const std::string& detail() const { return _detail; }
    // The code's text, then ": " and the detail when there is one.
    std::string messageText() const override;

private:
    std::string _detail;
};

} // namespace ostrel
