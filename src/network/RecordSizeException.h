#pragma once

#include "base/Exception.h"

#include <cstddef>
#include <source_location>
#include <string>

namespace ostrel {

// A record that a record ring or queue cannot take or hand over as asked. The code
// says why; nothing was stored or consumed.
class RecordSizeException : public Exception {
public:
    // Larger than the largest record the ring can ever hold.
    static constexpr int TooLarge = 1;
    // Does not fit the ring's free space now (the caller did not check first).
    static constexpr int NoRoom = 2;
    // The head record is larger than the caller's buffer; it stays in the queue.
    static constexpr int BufferTooSmall = 3;
    // A queue cannot carry empty records: a take of 0 bytes means "nothing".
    static constexpr int EmptyRecord = 4;

    RecordSizeException(int code, std::size_t recordSize, std::string message,
                        std::source_location where = std::source_location::current());

    // The size of the record concerned, in bytes.
    std::size_t recordSize() const { return _recordSize; }

private:
    std::size_t _recordSize;
};

} // namespace ostrel
