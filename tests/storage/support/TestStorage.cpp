#include "storage/support/TestStorage.h"

#include "storage/VarnelException.h"
#include "storage/transaction/JournalingTransactionHandler.h"

namespace ostrel::test {

TestStorage::TestStorage(std::uint32_t pages, std::uint32_t pageSize, std::uint32_t sector)
    : _file(8192 + std::uint64_t{pages} * pageSize, sector), _pageSize(pageSize),
      _superBlock(std::make_unique<SuperBlock>()), _cache(std::make_unique<PageCache>()),
      _handler(std::make_unique<JournalingTransactionHandler>()) {}

TestStorage::~TestStorage() { close(); }

ITransactionHandler& TestStorage::transactionHandler() { return *_handler; }

void TestStorage::format() {
    StorageFormatOptions options;
    options.repositoryID = UniqueID();
    options.pageSize = _pageSize;
    options.recorderType = RecorderType::Flac;
    _superBlock->setFiles(&_file, _readOnly ? nullptr : &_file, 0, _file.sectorSize());
    _superBlock->format(options, SuperBlock::pageCountFor(_file.size(), _pageSize), 1);
    _cache->setSuperBlock(_superBlock.get());
    _allocator.format(*this);
    _handler->init(*this);
    refillMirror();
    _superBlock->save();
}

void TestStorage::reopen() {
    close();
    _superBlock->load(&_file, _readOnly ? nullptr : &_file, 0, _file.sectorSize());
    refillMirror();
    _cache->setSuperBlock(_superBlock.get());
    _allocator.open(*this);
    _handler->init(*this);
}

void TestStorage::close() {
    _allocator.close();
    _handler->close();
    _cache->clear();
}

void TestStorage::refillMirror() {
    _mirror.clear();
    TrackListItem item;
    for (std::size_t i = 0; _superBlock->getTrack(i, item); ++i) {
        _mirror[item.type().toString()] = item;
    }
}

void TestStorage::log(const std::string& text, int level, bool flush) { _log.push_back({text, level, flush}); }

std::vector<std::string> TestStorage::logTexts() const {
    std::vector<std::string> texts;
    for (const LogLine& line : _log) {
        texts.push_back(line.text);
    }
    return texts;
}

std::uint32_t TestStorage::allocatePage(const PageType& type) {
    const std::uint32_t number = _allocator.extract();
    if (number == 0) {
        throw VarnelException(VarnelException::NotEnoughSpace, "no free page for a " + type.toString() + " page");
    }
    return number;
}

void TestStorage::setTrackLast(const PageType& type, std::uint32_t page, std::uint32_t checksum) {
    auto it = _mirror.find(type.toString());
    if (it == _mirror.end()) {
        _mirror[type.toString()] = TrackListItem(type, BitMask32(0xFFFFFFFF), page, checksum);
    } else {
        it->second.setLast(page, checksum);
    }
}

void TestStorage::setTrackFirst(const PageType& type, std::uint32_t page, std::uint32_t checksum) {
    auto it = _mirror.find(type.toString());
    if (it == _mirror.end()) {
        _mirror[type.toString()] = TrackListItem(type, BitMask32(0xFFFFFFFF), page, checksum);
    } else {
        it->second.setFirst(page, checksum);
    }
}

void TestStorage::removeTrack(const PageType& type) {
    if (_mirror.erase(type.toString()) > 0) {
        _deleted.push_back(type.toString());
    }
}

} // namespace ostrel::test
