#include "storage/transaction/FlushPageTransactionLog.h"

#include "storage/VarnelException.h"
#include "storage/pager/Buffer.h"

#include <cstring>

namespace ostrel {

FlushPageTransactionLog::FlushPageTransactionLog(IStorage& storage) : TransactionLog(FlushPage, storage) {}

FlushPageTransactionLog::FlushPageTransactionLog(IStorage& storage, Page& page, bool headerOnly, bool full)
    : TransactionLog(FlushPage, storage), _page(&page), _headerOnly(headerOnly), _full(full),
      _number(page.pageNumber()) {
    page.buffer().copyOut(0, _header.data(), _header.size());
}

void FlushPageTransactionLog::readPayload(const Buffer& buffer, std::size_t offset) {
    _number = buffer.getU32(offset);
    buffer.copyOut(offset + 4, _header.data(), _header.size());
}

void FlushPageTransactionLog::writePayload(Buffer& buffer) const {
    buffer.writeU32(_number);
    buffer.copyIn(_header.data(), _header.size());
}

bool FlushPageTransactionLog::isApplied() {
    return headerOnDiskEquals(_number, _header.data(), "[TRANSACTION] page header load fail (%s) clear page %u");
}

void FlushPageTransactionLog::apply() {
    if (_page == nullptr) {
        throw VarnelException(VarnelException::InvalidStorage, "a journaled page flush cannot be repeated");
    }
    if (_headerOnly) {
        _page->saveHeader();
    } else if (_full) {
        _page->save();
    } else {
        _page->saveDirty();
    }
}

void FlushPageTransactionLog::toString(IFormatable& out) const {
    out.format("FlushPage %u%s", _number, _headerOnly ? "[header only]" : "");
}

} // namespace ostrel
