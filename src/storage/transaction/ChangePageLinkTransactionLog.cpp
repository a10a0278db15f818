#include "storage/transaction/ChangePageLinkTransactionLog.h"

#include "base/Exception.h"
#include "base/FormatableBuffer.h"
#include "storage/IStorage.h"
#include "storage/pager/Buffer.h"
#include "storage/pager/PageCache.h"
#include "storage/pager/SuperBlock.h"

#include <cerrno>

namespace ostrel {

ChangePageLinkTransactionLog::ChangePageLinkTransactionLog(IStorage& storage)
    : TransactionLog(ChangePageLink, storage) {}

ChangePageLinkTransactionLog::ChangePageLinkTransactionLog(IStorage& storage, const PageType& type, Page* previous,
                                                           Page& current, Page* next)
    : TransactionLog(ChangePageLink, storage), _type(type), _previous(previous), _current(&current), _next(next) {
    if (previous != nullptr) {
        _previousPage = previous->pageNumber();
        _previousChecksum = previous->checksum();
    }
    _currentPage = current.pageNumber();
    _currentChecksum = current.checksum();
    if (next != nullptr) {
        _nextPage = next->pageNumber();
        _nextChecksum = next->checksum();
    }
    current.buffer().copyOut(0, _header.data(), _header.size());
}

void ChangePageLinkTransactionLog::readPayload(const Buffer& buffer, std::size_t offset) {
    _type = PageType::fromBytes(buffer.pointer(offset, 4));
    _previousPage = buffer.getU32(offset + 4);
    _previousChecksum = buffer.getU32(offset + 8);
    _currentPage = buffer.getU32(offset + 12);
    _currentChecksum = buffer.getU32(offset + 16);
    _nextPage = buffer.getU32(offset + 20);
    _nextChecksum = buffer.getU32(offset + 24);
    buffer.copyOut(offset + 28, _header.data(), _header.size());
}

void ChangePageLinkTransactionLog::writePayload(Buffer& buffer) const {
    std::uint8_t code[4];
    _type.encode(code, BigEndian);
    buffer.copyIn(code, 4);
    buffer.writeU32(_previousPage);
    buffer.writeU32(_previousChecksum);
    buffer.writeU32(_currentPage);
    buffer.writeU32(_currentChecksum);
    buffer.writeU32(_nextPage);
    buffer.writeU32(_nextChecksum);
    buffer.copyIn(_header.data(), _header.size());
}

bool ChangePageLinkTransactionLog::isApplied() {
    return headerOnDiskEquals(_currentPage, _header.data(),
                              "[ChangePageLinkTransactionLog] page header load fail (%s) clear page %u");
}

void ChangePageLinkTransactionLog::apply() {
    if (_current == nullptr) {
        throw SystemException(EINVAL, "a journaled page link change cannot be repeated");
    }
    if (_previous != nullptr) {
        _previous->saveHeader();
    }
    if (_next != nullptr) {
        _next->saveHeader();
    }
    _current->saveHeader();
}

void ChangePageLinkTransactionLog::rollback() {
    SuperBlock& superBlock = storage().superBlock();
    PageCache& cache = storage().pageCache();
    Page previous(&superBlock, &cache);
    Page next(&superBlock, &cache);
    auto typeDiffers = [&](const char* format) {
        FormatableBuffer<256> text;
        text.format(format, _previousPage, _currentPage, _nextPage);
        throw SystemException(EINVAL, text.c_str());
    };
    std::uint32_t itemSize = 0;
    if (_previousPage != 0 && _nextPage != 0) {
        previous.load(_previousPage);
        next.load(_nextPage);
        if (!(previous.type() == _type) || !(next.type() == _type)) {
            typeDiffers("ChangePageLinkTransactionLog rollback prev/next page type diff pre(%u), cur(%u), next(%u)");
        }
        previous.setNext(_nextPage);
        previous.setNextChecksum(next.checksum());
        next.setPrevious(_previousPage);
        next.setPreviousChecksum(previous.checksum());
        previous.saveHeader();
        next.saveHeader();
        itemSize = previous.itemSize();
    } else if (_previousPage != 0) {
        previous.load(_previousPage);
        if (!(previous.type() == _type)) {
            typeDiffers("ChangePageLinkTransactionLog rollback prev page type diff pre(%u), cur(%u), next(%u)");
        }
        previous.setNext(0);
        previous.setNextChecksum(0);
        previous.saveHeader();
        itemSize = previous.itemSize();
    } else if (_nextPage != 0) {
        next.load(_nextPage);
        if (!(next.type() == _type)) {
            typeDiffers("ChangePageLinkTransactionLog rollback next page type diff pre(%u), cur(%u), next(%u)");
        }
        next.setPrevious(0);
        next.setPreviousChecksum(0);
        next.saveHeader();
        itemSize = next.itemSize();
    }
    Page current(&superBlock, &cache);
    current.format(_type, _currentPage, itemSize, 0, 0);
    current.save();
}

void ChangePageLinkTransactionLog::toString(IFormatable& out) const {
    out.format("ChangePageLinkTransactionLog pre(%u), cur(%u), next(%u)", _previousPage, _currentPage, _nextPage);
}

} // namespace ostrel
