#pragma once

#include "storage/pager/Page.h"
#include "storage/pager/PageType.h"
#include "storage/transaction/TransactionLog.h"

#include <array>
#include <cstdint>

namespace ostrel {

// Moves a page (the current page) between a previous and a next page of a
// chain by saving the three headers. Payload (156 bytes): page type; u32
// previous page and its checksum; u32 current page and its checksum; u32 next
// page and its checksum; the current page's 128-byte header. Applied when the
// current page's header on disk is the recorded one. Rollback links previous
// and next to each other again and wipes the current page to an empty page of
// the type.
class ChangePageLinkTransactionLog : public TransactionLog {
public:
    explicit ChangePageLinkTransactionLog(IStorage& storage);
    // Pages that are not given (null) are not part of the move.
    ChangePageLinkTransactionLog(IStorage& storage, const PageType& type, Page* previous, Page& current,
                                 Page* next);

    std::uint32_t payloadSize() const override { return 28 + Page::HeaderSize; }
    void readPayload(const Buffer& buffer, std::size_t offset) override;
    void writePayload(Buffer& buffer) const override;
    bool isApplied() override;
    void apply() override;
    void rollback() override;
    using IStringConvertable::toString;
    // "ChangePageLinkTransactionLog pre(%u), cur(%u), next(%u)".
    void toString(IFormatable& out) const override;

private:
    PageType _type;
    Page* _previous = nullptr;
    Page* _current = nullptr;
    Page* _next = nullptr;
    std::uint32_t _previousPage = 0;
    std::uint32_t _previousChecksum = 0;
    std::uint32_t _currentPage = 0;
    std::uint32_t _currentChecksum = 0;
    std::uint32_t _nextPage = 0;
    std::uint32_t _nextChecksum = 0;
    std::array<std::uint8_t, Page::HeaderSize> _header{};
};

} // namespace ostrel
