#pragma once

#include "storage/LogMessage.h"
#include "storage/Track.h"
#include "storage/pager/CircularPage.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ostrel {

// The storage's own log in one ring page of 64-byte records: a message is
// cut into pieces of 47 characters sharing one message number; when the ring
// is full the oldest record makes room.
class LogTrack : public Track {
public:
    static constexpr std::uint32_t ItemSize = 64;

    PageType pageType() const override { return PageType::Log; }
    std::uint32_t itemSize() const override { return ItemSize; }

    void init(Storage& storage, bool forWrite, std::uint32_t lastPage) override;
    bool close(bool flush) override;
    void flush() override;
    bool isEmpty() const override;

    void append(const std::string& message, int level);
    std::uint32_t messageCounter() const { return _counter; }
    const CircularPage& page() const { return _ring; }

    // The messages of a log page, oldest first, pieces joined.
    static std::vector<LogMessage> readMessages(const CircularPage& page);

private:
    CircularPage _ring;
    std::uint32_t _counter = 0;
};

} // namespace ostrel
