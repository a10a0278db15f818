#pragma once

#include "storage/pager/Page.h"
#include "storage/transaction/TransactionLog.h"

#include <array>
#include <cstdint>

namespace ostrel {

// Saves one page. Payload (132 bytes): u32 page number, then the 128-byte
// header the page has after the save. Applied when the header on disk is
// that header; a written page is not unwritten, so rollback does nothing.
class FlushPageTransactionLog : public TransactionLog {
public:
    explicit FlushPageTransactionLog(IStorage& storage);
    // A step that saves `page`: its header only, in full, or its dirty sectors.
    FlushPageTransactionLog(IStorage& storage, Page& page, bool headerOnly, bool full);

    std::uint32_t pageNumber() const { return _number; }
    bool isHeaderOnly() const { return _headerOnly; }

    std::uint32_t payloadSize() const override { return 4 + Page::HeaderSize; }
    void readPayload(const Buffer& buffer, std::size_t offset) override;
    void writePayload(Buffer& buffer) const override;
    bool isApplied() override;
    void apply() override;
    void rollback() override {}
    using IStringConvertable::toString;
    // "FlushPage %u%s": the page number and "[header only]" or nothing.
    void toString(IFormatable& out) const override;

private:
    Page* _page = nullptr;
    bool _headerOnly = false;
    bool _full = false;
    std::uint32_t _number = 0;
    std::array<std::uint8_t, Page::HeaderSize> _header{};
};

} // namespace ostrel
