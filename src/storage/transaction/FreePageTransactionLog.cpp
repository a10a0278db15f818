#include "storage/transaction/FreePageTransactionLog.h"

#include "storage/IFreePageAllocator.h"
#include "storage/IStorage.h"
#include "storage/pager/Buffer.h"

namespace ostrel {

FreePageTransactionLog::FreePageTransactionLog(std::uint16_t code, IStorage& storage, std::uint32_t number)
    : TransactionLog(code, storage), _number(number) {}

IFreePageAllocator& FreePageTransactionLog::allocator() const { return storage().freePageAllocator(); }

void FreePageTransactionLog::readPayload(const Buffer& buffer, std::size_t offset) {
    _number = buffer.getU32(offset);
}

void FreePageTransactionLog::writePayload(Buffer& buffer) const { buffer.writeU32(_number); }

bool ExtractFreePageTransactionLog::isApplied() { return !allocator().isFree(_number); }

void ExtractFreePageTransactionLog::apply() {
    allocator().consume(_number);
    allocator().flush();
}

void ExtractFreePageTransactionLog::rollback() {
    allocator().addPage(_number);
    allocator().flush();
}

void ExtractFreePageTransactionLog::toString(IFormatable& out) const { out.format("ExtractFreePage %u", _number); }

bool AppendFreePageTransactionLog::isApplied() { return allocator().isFree(_number); }

void AppendFreePageTransactionLog::apply() {
    allocator().addPage(_number);
    allocator().flush();
}

void AppendFreePageTransactionLog::rollback() {
    allocator().consume(_number);
    allocator().flush();
}

void AppendFreePageTransactionLog::toString(IFormatable& out) const { out.format("AppendFreePage %u", _number); }

void AppendFreePageIntervalTransactionLog::readPayload(const Buffer& buffer, std::size_t offset) {
    _first = buffer.getU32(offset);
    _last = buffer.getU32(offset + 4);
}

void AppendFreePageIntervalTransactionLog::writePayload(Buffer& buffer) const {
    buffer.writeU32(_first);
    buffer.writeU32(_last);
}

bool AppendFreePageIntervalTransactionLog::isApplied() {
    IFreePageAllocator& pages = storage().freePageAllocator();
    if (_first == 0 || _last < _first) {
        return false;
    }
    for (std::uint32_t number = _first;; ++number) {
        if (!pages.isListed(number)) {
            return false;
        }
        if (number == _last) {
            return true;
        }
    }
}

void AppendFreePageIntervalTransactionLog::apply() {
    storage().freePageAllocator().addInterval(_first, _last);
    storage().freePageAllocator().flush();
}

void AppendFreePageIntervalTransactionLog::rollback() {
    IFreePageAllocator& pages = storage().freePageAllocator();
    for (std::uint32_t number = _first; number != 0 && number <= _last; ++number) {
        pages.consume(number);
        if (number == _last) {
            break;
        }
    }
    pages.flush();
}

void AppendFreePageIntervalTransactionLog::toString(IFormatable& out) const {
    out.format("AppendFreePageInterval %u~%u", _first, _last);
}

} // namespace ostrel
