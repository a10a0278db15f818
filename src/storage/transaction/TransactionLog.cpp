#include "storage/transaction/TransactionLog.h"

#include "base/Exception.h"
#include "base/FormatableBuffer.h"
#include "storage/IStorage.h"
#include "storage/VarnelException.h"
#include "storage/pager/Buffer.h"
#include "storage/pager/Page.h"
#include "storage/pager/PageCache.h"
#include "storage/pager/SuperBlock.h"
#include "storage/transaction/ChangePageLinkTransactionLog.h"
#include "storage/transaction/FlushPageTransactionLog.h"
#include "storage/transaction/FreePageTransactionLog.h"
#include "storage/transaction/UpdateTrackTransactionLog.h"

#include <cstring>
#include <vector>

namespace ostrel {

void TransactionLog::writeRecord(Buffer& buffer) const {
    buffer.writeU16(_code);
    writePayload(buffer);
}

void TransactionLog::readAt(const ByteBuffer& buffer, int offset) {
    std::vector<std::uint8_t> bytes(recordSize());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = buffer.get(offset + static_cast<int>(i));
    }
    const Buffer record(bytes.data(), bytes.size(), buffer.order());
    if (record.getU16(0) != _code) {
        throw VarnelException(VarnelException::StorageCorrupted, "record code " + std::to_string(record.getU16(0)) +
                                                                     " where " + std::to_string(_code) +
                                                                     " was expected");
    }
    readPayload(record, 2);
}

void TransactionLog::read(ByteBuffer& buffer) {
    readAt(buffer, buffer.position());
    buffer.skip(static_cast<int>(recordSize()));
}

void TransactionLog::writeAt(ByteBuffer& buffer, int offset) const {
    std::vector<std::uint8_t> bytes(recordSize());
    Buffer record(bytes.data(), bytes.size(), buffer.order());
    writeRecord(record);
    if (offset < 0 || offset > buffer.limit() - static_cast<int>(bytes.size())) {
        throw VarnelException(VarnelException::InvalidStorage, "journal record outside the buffer");
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        buffer.put(offset + static_cast<int>(i), bytes[i]);
    }
}

void TransactionLog::write(ByteBuffer& buffer) const {
    std::vector<std::uint8_t> bytes(recordSize());
    Buffer record(bytes.data(), bytes.size(), buffer.order());
    writeRecord(record);
    buffer.put(bytes.data(), static_cast<int>(bytes.size()));
}

std::unique_ptr<TransactionLog> TransactionLog::create(std::uint16_t code, IStorage& storage) {
    switch (code) {
    case FlushPage:
        return std::make_unique<FlushPageTransactionLog>(storage);
    case ExtractFreePage:
        return std::make_unique<ExtractFreePageTransactionLog>(storage);
    case AppendFreePage:
        return std::make_unique<AppendFreePageTransactionLog>(storage);
    case UpdateTrackLast:
        return std::make_unique<UpdateTrackLastTransactionLog>(storage);
    case UpdateTrackFirst:
        return std::make_unique<UpdateTrackFirstTransactionLog>(storage);
    case DeleteTrack:
        return std::make_unique<DeleteTrackTransactionLog>(storage);
    case AppendFreePageInterval:
        return std::make_unique<AppendFreePageIntervalTransactionLog>(storage);
    case ChangePageLink:
        return std::make_unique<ChangePageLinkTransactionLog>(storage);
    default:
        return nullptr;
    }
}

bool TransactionLog::headerOnDiskEquals(std::uint32_t number, const std::uint8_t* header, const char* failureFormat) {
    Page page(&_storage.superBlock(), &_storage.pageCache());
    try {
        page.loadHeader(number);
    } catch (const SystemException& e) {
        FormatableBuffer<1024> line;
        line.format(failureFormat, e.message() ? e.message() : "", number);
        _storage.log(line.c_str(), 2, true);
        page.format(PageType::Null, number, 0, 0, 0);
        page.save();
        return false;
    }
    return std::memcmp(page.buffer().pointer(0, Page::HeaderSize), header, Page::HeaderSize) == 0;
}

} // namespace ostrel
