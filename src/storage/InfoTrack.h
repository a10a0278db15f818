#pragma once

#include "base/thread/Mutex.h"
#include "storage/Track.h"

#include <cstdint>
#include <map>
#include <string>

namespace ostrel {

// A small key/value store (the archiver's resume point, the recorder's
// channel counts): 64-byte records in the track's pages and a map in memory,
// guarded by the track's own lock because the archiver writes while the
// user interface reads.
class InfoTrack : public Track {
public:
    static constexpr std::uint32_t ItemSize = 64;

    PageType pageType() const override { return PageType::Info; }
    std::uint32_t itemSize() const override { return ItemSize; }

    void init(Storage& storage, bool forWrite, std::uint32_t lastPage) override;
    bool close(bool flush) override;

    // Stores the pair (key and value cut to 31 characters): an existing key
    // of the current page is rewritten in place, anything else appended.
    void put(const std::string& key, const std::string& value);
    bool get(const std::string& key, std::string& value) const;
    std::map<std::string, std::string> all() const;

private:
    mutable Mutex _mutex;
    std::map<std::string, std::string> _map;
};

} // namespace ostrel
