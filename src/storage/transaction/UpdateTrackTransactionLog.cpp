#include "storage/transaction/UpdateTrackTransactionLog.h"

#include "storage/IStorage.h"
#include "storage/pager/Buffer.h"
#include "storage/pager/SuperBlock.h"

namespace ostrel {

UpdateTrackTransactionLog::UpdateTrackTransactionLog(std::uint16_t code, IStorage& storage)
    : TransactionLog(code, storage) {}

UpdateTrackTransactionLog::UpdateTrackTransactionLog(std::uint16_t code, IStorage& storage, const PageType& type,
                                                     std::uint32_t page, std::uint32_t checksum, bool last)
    : TransactionLog(code, storage), _type(type), _newPage(page), _newChecksum(checksum) {
    TrackListItem item;
    if (storage.superBlock().findTrack(type, item) >= 0) {
        _previousPage = last ? item.lastPage() : item.firstPage();
        _previousChecksum = last ? item.lastPageChecksum() : item.firstPageChecksum();
    }
}

void UpdateTrackTransactionLog::readPayload(const Buffer& buffer, std::size_t offset) {
    _type = PageType::fromBytes(buffer.pointer(offset, 4));
    _previousPage = buffer.getU32(offset + 4);
    _previousChecksum = buffer.getU32(offset + 8);
    _newPage = buffer.getU32(offset + 12);
    _newChecksum = buffer.getU32(offset + 16);
}

void UpdateTrackTransactionLog::writePayload(Buffer& buffer) const {
    std::uint8_t code[4];
    _type.encode(code, BigEndian);
    buffer.copyIn(code, 4);
    buffer.writeU32(_previousPage);
    buffer.writeU32(_previousChecksum);
    buffer.writeU32(_newPage);
    buffer.writeU32(_newChecksum);
}

void UpdateTrackTransactionLog::describe(IFormatable& out, const char* name) const {
    const auto& c = _type.bytes();
    out.format("%s%c%c%c%c %u:%u, prev %u:%u", name, c[0], c[1], c[2], c[3], _newPage, _newChecksum, _previousPage,
               _previousChecksum);
}

bool UpdateTrackLastTransactionLog::isApplied() {
    TrackListItem item;
    return storage().superBlock().findTrack(_type, item) >= 0 && item.lastPage() == _newPage &&
           item.lastPageChecksum() == _newChecksum;
}

void UpdateTrackLastTransactionLog::apply() {
    SuperBlock& superBlock = storage().superBlock();
    superBlock.setTrackLast(_type, _newPage, _newChecksum);
    superBlock.save();
}

void UpdateTrackLastTransactionLog::rollback() {
    SuperBlock& superBlock = storage().superBlock();
    if (_previousPage != 0) {
        superBlock.setTrackLast(_type, _previousPage, _previousChecksum);
        storage().setTrackLast(_type, _previousPage, _previousChecksum);
    } else {
        superBlock.removeTrack(_type);
        storage().removeTrack(_type);
    }
    superBlock.save();
}

bool UpdateTrackFirstTransactionLog::isApplied() {
    TrackListItem item;
    return storage().superBlock().findTrack(_type, item) >= 0 && item.firstPage() == _newPage &&
           item.firstPageChecksum() == _newChecksum;
}

void UpdateTrackFirstTransactionLog::apply() {
    SuperBlock& superBlock = storage().superBlock();
    superBlock.setTrackFirst(_type, _newPage, _newChecksum);
    superBlock.save();
}

void UpdateTrackFirstTransactionLog::rollback() {
    SuperBlock& superBlock = storage().superBlock();
    // The storage's own copy of the track list follows the superblock, as the
    // last-page step does: the tracks are opened from that copy afterwards.
    if (_previousPage != 0) {
        superBlock.setTrackFirst(_type, _previousPage, _previousChecksum);
        storage().setTrackFirst(_type, _previousPage, _previousChecksum);
    } else {
        superBlock.removeTrack(_type);
        storage().removeTrack(_type);
    }
    superBlock.save();
}

void DeleteTrackTransactionLog::readPayload(const Buffer& buffer, std::size_t offset) {
    _type = PageType::fromBytes(buffer.pointer(offset, 4));
}

void DeleteTrackTransactionLog::writePayload(Buffer& buffer) const {
    std::uint8_t code[4];
    _type.encode(code, BigEndian);
    buffer.copyIn(code, 4);
}

bool DeleteTrackTransactionLog::isApplied() { return !storage().superBlock().hasTrack(_type); }

void DeleteTrackTransactionLog::apply() {
    SuperBlock& superBlock = storage().superBlock();
    superBlock.removeTrack(_type);
    superBlock.save();
}

void DeleteTrackTransactionLog::toString(IFormatable& out) const {
    const auto& c = _type.bytes();
    out.format("RemoveTrack %c%c%c%c", c[0], c[1], c[2], c[3]);
}

} // namespace ostrel
