#pragma once

#include "storage/transaction/TransactionLog.h"

#include <cstdint>

namespace ostrel {

class IFreePageAllocator;

// A step on one page of the free-page lists. Payload: u32 page number.
class FreePageTransactionLog : public TransactionLog {
public:
    std::uint32_t pageNumber() const { return _number; }

    std::uint32_t payloadSize() const override { return 4; }
    void readPayload(const Buffer& buffer, std::size_t offset) override;
    void writePayload(Buffer& buffer) const override;

protected:
    FreePageTransactionLog(std::uint16_t code, IStorage& storage, std::uint32_t number);
    IFreePageAllocator& allocator() const;

    std::uint32_t _number;
};

// The page leaves the free lists (it joins a chain). Applied when the
// in-memory list no longer holds it.
class ExtractFreePageTransactionLog : public FreePageTransactionLog {
public:
    explicit ExtractFreePageTransactionLog(IStorage& storage, std::uint32_t number = 0)
        : FreePageTransactionLog(ExtractFreePage, storage, number) {}

    bool isApplied() override;
    void apply() override;
    void rollback() override;
    using IStringConvertable::toString;
    // "ExtractFreePage %u".
    void toString(IFormatable& out) const override;
};

// The page returns to the free lists. Applied when the in-memory list holds it.
class AppendFreePageTransactionLog : public FreePageTransactionLog {
public:
    explicit AppendFreePageTransactionLog(IStorage& storage, std::uint32_t number = 0)
        : FreePageTransactionLog(AppendFreePage, storage, number) {}

    bool isApplied() override;
    void apply() override;
    void rollback() override;
    using IStringConvertable::toString;
    // "AppendFreePage %u".
    void toString(IFormatable& out) const override;
};

// A run of pages returns to the free lists. Payload: u32 first, u32 last.
// Applied when every page of it is listed in the free-page-list page.
class AppendFreePageIntervalTransactionLog : public TransactionLog {
public:
    explicit AppendFreePageIntervalTransactionLog(IStorage& storage, std::uint32_t first = 0, std::uint32_t last = 0)
        : TransactionLog(AppendFreePageInterval, storage), _first(first), _last(last) {}

    std::uint32_t first() const { return _first; }
    std::uint32_t last() const { return _last; }

    std::uint32_t payloadSize() const override { return 8; }
    void readPayload(const Buffer& buffer, std::size_t offset) override;
    void writePayload(Buffer& buffer) const override;
    bool isApplied() override;
    void apply() override;
    void rollback() override;
    using IStringConvertable::toString;
    // "AppendFreePageInterval %u~%u".
    void toString(IFormatable& out) const override;

private:
    std::uint32_t _first;
    std::uint32_t _last;
};

} // namespace ostrel
