#pragma once

#include "base/ByteBuffer.h"
#include "base/ISerializable.h"
#include "base/IStringConvertable.h"

#include <cstdint>
#include <memory>

namespace ostrel {

class Buffer;
class IStorage;

// One undoable step of a transaction, as it is kept in the journal: a 16-bit
// record code followed by the step's payload, integers in the page byte
// order. A step knows whether it has been performed (isApplied, judged from
// what is on disk), how to perform it (apply) and how to undo it (rollback).
class TransactionLog : public IStringConvertable, public ISerializable {
public:
    enum Code : std::uint16_t {
        FlushPage = 1,
        ExtractFreePage = 2,
        AppendFreePage = 3,
        UpdateTrackLast = 4,
        UpdateTrackFirst = 5,
        DeleteTrack = 6,
        AppendFreePageInterval = 7,
        ChangePageLink = 8,
    };

    ~TransactionLog() override = default;

    std::uint16_t code() const { return _code; }
    IStorage& storage() const { return _storage; }

    virtual std::uint32_t payloadSize() const = 0;
    // Reads the payload at `offset` of a journal page buffer (bounds-checked).
    virtual void readPayload(const Buffer& buffer, std::size_t offset) = 0;
    // Writes the payload at the buffer's position, advancing it.
    virtual void writePayload(Buffer& buffer) const = 0;
    virtual bool isApplied() = 0;
    virtual void apply() = 0;
    virtual void rollback() = 0;

    // The record: code and payload.
    std::uint32_t recordSize() const { return payloadSize() + 2; }
    void writeRecord(Buffer& buffer) const;

    // ISerializable: the record in a byte buffer.
    int size() const override { return static_cast<int>(recordSize()); }
    void readAt(const ByteBuffer& buffer, int offset) override;
    void read(ByteBuffer& buffer) override;
    void writeAt(ByteBuffer& buffer, int offset) const override;
    void write(ByteBuffer& buffer) const override;

    // An empty step of the given record code, ready for readPayload; null for
    // a code this engine does not know.
    static std::unique_ptr<TransactionLog> create(std::uint16_t code, IStorage& storage);

protected:
    TransactionLog(std::uint16_t code, IStorage& storage) : _code(code), _storage(storage) {}

    // Whether the header of page `number` on disk (read through the writer)
    // equals `header`. When the header cannot be read, logs `failureFormat`
    // (with the error text and the page number), wipes the page to an empty
    // "NULL" page and answers false.
    bool headerOnDiskEquals(std::uint32_t number, const std::uint8_t* header, const char* failureFormat);

private:
    std::uint16_t _code;
    IStorage& _storage;
};

} // namespace ostrel
