#pragma once

#include "storage/pager/PageType.h"

#include <cstdint>
#include <string>

namespace ostrel {

class Page;
class Storage;

// Mends the first page of every track at open: a predecessor that an
// interrupted overwrite had already detached goes to the free list, and a
// first page that is not what the track list names gives way to its successor.
class FirstPageCorrector {
public:
    explicit FirstPageCorrector(Storage& storage) : _storage(storage) {}

    // Throws VarnelException code 4 when a track cannot be mended.
    void run();

private:
    void correct(const PageType& type);
    void validateJournalRollback(const PageType& type);
    bool checkFirstPage(const PageType& type);
    void updateTrackFirst(const PageType& type);
    void addFreePage(std::uint32_t number);
    void log(const std::string& text);

    Storage& _storage;
};

} // namespace ostrel
