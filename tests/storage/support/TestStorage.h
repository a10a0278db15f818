#pragma once

#include "storage/FixedSizeFreePageAllocator.h"
#include "storage/IStorage.h"
#include "storage/pager/PageCache.h"
#include "storage/pager/SuperBlock.h"
#include "storage/pager/TrackListItem.h"
#include "storage/support/RecordingStorageFile.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ostrel::test {

// The layers under the storage object put together over an in-memory file:
// superblock, page cache, free-page allocator and journal, with a track-list
// mirror and a log that tests can read.
class TestStorage : public IStorage {
public:
    struct LogLine {
        std::string text;
        int level;
        bool flush;
    };

    explicit TestStorage(std::uint32_t pages = 32, std::uint32_t pageSize = 8192, std::uint32_t sector = 512);
    ~TestStorage() override;

    // Formats the file: free-page list on page 1, journal on page 2.
    void format();
    // Forgets everything in memory and opens the file again as after a
    // restart (the journal is initialised, not rolled back).
    void reopen();
    void close();

    SuperBlock& superBlock() override { return *_superBlock; }
    PageCache& pageCache() override { return *_cache; }
    IFreePageAllocator& freePageAllocator() override { return _allocator; }
    ITransactionHandler& transactionHandler() override;
    const std::string& path() const override { return _path; }
    bool isReadOnly() const override { return _readOnly; }
    void log(const std::string& text, int level, bool flush) override;
    std::uint32_t allocatePage(const PageType& type) override;
    void setTrackLast(const PageType& type, std::uint32_t page, std::uint32_t checksum) override;
    void setTrackFirst(const PageType& type, std::uint32_t page, std::uint32_t checksum) override;
    void removeTrack(const PageType& type) override;

    FixedSizeFreePageAllocator& allocator() { return _allocator; }
    RecordingStorageFile& file() { return _file; }
    std::vector<LogLine>& logLines() { return _log; }
    std::vector<std::string> logTexts() const;
    std::map<std::string, TrackListItem>& mirror() { return _mirror; }
    std::vector<std::string>& deletedTracks() { return _deleted; }
    void setReadOnly(bool readOnly) { _readOnly = readOnly; }

private:
    void refillMirror();

    RecordingStorageFile _file;
    std::string _path = "test.strg";
    std::uint32_t _pageSize;
    std::unique_ptr<SuperBlock> _superBlock;
    std::unique_ptr<PageCache> _cache;
    FixedSizeFreePageAllocator _allocator;
    std::unique_ptr<ITransactionHandler> _handler;
    std::map<std::string, TrackListItem> _mirror;
    std::vector<std::string> _deleted;
    std::vector<LogLine> _log;
    bool _readOnly = false;
};

} // namespace ostrel::test
