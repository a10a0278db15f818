#pragma once

#include "storage/pager/PageType.h"
#include "storage/transaction/TransactionLog.h"

#include <cstdint>

namespace ostrel {

// Moves one end of a track in the superblock's track list. Payload (20
// bytes): page type, u32 previous page, u32 previous checksum, u32 new page,
// u32 new checksum. The previous values are read from the track list when the
// step is made (0 and 0 when the type has no entry).
class UpdateTrackTransactionLog : public TransactionLog {
public:
    const PageType& pageType() const { return _type; }
    std::uint32_t previousPage() const { return _previousPage; }
    std::uint32_t previousChecksum() const { return _previousChecksum; }
    std::uint32_t newPage() const { return _newPage; }
    std::uint32_t newChecksum() const { return _newChecksum; }

    std::uint32_t payloadSize() const override { return 20; }
    void readPayload(const Buffer& buffer, std::size_t offset) override;
    void writePayload(Buffer& buffer) const override;

protected:
    UpdateTrackTransactionLog(std::uint16_t code, IStorage& storage);
    UpdateTrackTransactionLog(std::uint16_t code, IStorage& storage, const PageType& type, std::uint32_t page,
                              std::uint32_t checksum, bool last);
    // name, type, a space, new page ":" new checksum ", prev " previous page ":" previous checksum.
    void describe(IFormatable& out, const char* name) const;

    PageType _type;
    std::uint32_t _previousPage = 0;
    std::uint32_t _previousChecksum = 0;
    std::uint32_t _newPage = 0;
    std::uint32_t _newChecksum = 0;
};

// Applied when the type's entry has the new last page and checksum. Rollback
// restores the previous last page (also in the storage's track-list mirror),
// or removes the entry when the type had none.
class UpdateTrackLastTransactionLog : public UpdateTrackTransactionLog {
public:
    explicit UpdateTrackLastTransactionLog(IStorage& storage) : UpdateTrackTransactionLog(UpdateTrackLast, storage) {}
    UpdateTrackLastTransactionLog(IStorage& storage, const PageType& type, std::uint32_t page, std::uint32_t checksum)
        : UpdateTrackTransactionLog(UpdateTrackLast, storage, type, page, checksum, true) {}

    bool isApplied() override;
    void apply() override;
    void rollback() override;
    using IStringConvertable::toString;
    void toString(IFormatable& out) const override { describe(out, "UpdateTrackLast "); }
};

// The same for the first page; the mirror is not touched.
class UpdateTrackFirstTransactionLog : public UpdateTrackTransactionLog {
public:
    explicit UpdateTrackFirstTransactionLog(IStorage& storage)
        : UpdateTrackTransactionLog(UpdateTrackFirst, storage) {}
    UpdateTrackFirstTransactionLog(IStorage& storage, const PageType& type, std::uint32_t page, std::uint32_t checksum)
        : UpdateTrackTransactionLog(UpdateTrackFirst, storage, type, page, checksum, false) {}

    bool isApplied() override;
    void apply() override;
    void rollback() override;
    using IStringConvertable::toString;
    void toString(IFormatable& out) const override { describe(out, "UpdateTrackFirst "); }
};

// Removes a type from the track list. Payload: the page type. Applied when
// the type has no entry; rollback does nothing.
class DeleteTrackTransactionLog : public TransactionLog {
public:
    explicit DeleteTrackTransactionLog(IStorage& storage, const PageType& type = PageType())
        : TransactionLog(DeleteTrack, storage), _type(type) {}

    const PageType& pageType() const { return _type; }
    std::uint32_t payloadSize() const override { return 4; }
    void readPayload(const Buffer& buffer, std::size_t offset) override;
    void writePayload(Buffer& buffer) const override;
    bool isApplied() override;
    void apply() override;
    void rollback() override {}
    using IStringConvertable::toString;
    // "RemoveTrack " + type.
    void toString(IFormatable& out) const override;

private:
    PageType _type;
};

} // namespace ostrel
