#pragma once

#include <cstdint>

namespace ostrel {

class IStorage;

// Hands out free pages and takes freed ones back.
class IFreePageAllocator {
public:
    virtual ~IFreePageAllocator() = default;

    virtual void open(IStorage& storage) = 0;
    virtual void close() = 0;
    // Writes the changed sectors of the list page.
    virtual void flush() = 0;
    // Makes every page but the list page free.
    virtual void format(IStorage& storage) = 0;
    virtual std::uint64_t freePageCount() const = 0;
    // The in-memory list holds the page (it can be handed out).
    virtual bool isFree(std::uint32_t number) const = 0;
    // The list page holds the page (it is free on disk).
    virtual bool isListed(std::uint32_t number) const = 0;
    virtual void dump() const = 0;
    // One page from the in-memory list; 0 when none is free.
    virtual std::uint32_t extract() = 0;
    // The page leaves the list page, then the in-memory list.
    virtual void consume(std::uint32_t number) = 0;
    virtual void addInterval(std::uint32_t first, std::uint32_t last) = 0;
    virtual void addPage(std::uint32_t number) = 0;
    // Sorts the in-memory list and merges it when it has grown long.
    virtual void settle() = 0;
};

} // namespace ostrel
