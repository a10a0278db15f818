#include "storage/StorageFormatOptions.h"
#include "storage/pager/MemoryPool.h"
#include "storage/pager/Page.h"
#include "storage/pager/PageCache.h"
#include "storage/pager/SuperBlock.h"
#include "storage/support/RecordingStorageFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace ostrel {
namespace {

using test::RecordingStorageFile;

constexpr std::uint32_t PageSize = 8192;

// A file whose reads of one byte range wait until the test lets them go, so
// that a reader's file read can be held open while the writer works.
class GatedFile final : public IStorageFile {
public:
    explicit GatedFile(std::uint64_t size) : _file(size, 512) {}

    // The bytes are read first; a gated read then waits before it returns
    // them, as a slow device would.
    std::size_t readAt(void* buffer, std::uint64_t offset, std::size_t length) override {
        std::unique_lock<std::mutex> lock(_mutex);
        const std::size_t n = _file.readAt(buffer, offset, length);
        if (_gate && offset == *_gate) {
            _waiting = true;
            _changed.notify_all();
            _changed.wait_for(lock, std::chrono::seconds(10), [this] { return !_gate; });
        }
        return n;
    }
    std::size_t writeAt(const void* buffer, std::uint64_t offset, std::size_t length) override {
        std::lock_guard<std::mutex> lock(_mutex);
        return _file.writeAt(buffer, offset, length);
    }
    void flush() override {}
    std::uint64_t size() const override { return _file.size(); }
    std::uint32_t sectorSize() const override { return 512; }
    bool isWritable() const override { return true; }
    const std::string& path() const override { return _file.path(); }
    int handle() const override { return -1; }

    void close(std::uint64_t offset) {
        std::lock_guard<std::mutex> lock(_mutex);
        _gate = offset;
        _waiting = false;
    }
    bool waitForReader() {
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, std::chrono::seconds(10), [this] { return _waiting; });
    }
    void open() {
        std::lock_guard<std::mutex> lock(_mutex);
        _gate.reset();
        _changed.notify_all();
    }

private:
    RecordingStorageFile _file;
    std::mutex _mutex;
    std::condition_variable _changed;
    std::optional<std::uint64_t> _gate;
    bool _waiting = false;
};

// Formats, saves and lets go of page `number`; answers its checksum.
std::uint32_t writePage(SuperBlock& superBlock, PageCache& cache, std::uint32_t number) {
    Page page(&superBlock, &cache);
    page.format(PageType::Media, number, 64, 0, 0);
    page.save();
    return page.checksum();
}

TEST(PageCacheRaceTest, AReadRacingWithANewerVersionOfThePageDoesNotKeepStaleBytes) {
    GatedFile file(8192 + 32ull * PageSize);
    MemoryPool pool;
    SuperBlock superBlock;
    StorageFormatOptions options;
    options.pageSize = PageSize;
    superBlock.setFiles(&file, &file, 0, 512);
    superBlock.format(options, 32, 1);
    superBlock.save();
    PageCache cache(pool);
    cache.setSuperBlock(&superBlock);

    writePage(superBlock, cache, 5);
    // Five other pages push page 5 out of the idle pages.
    for (std::uint32_t n = 10; n < 15; ++n) {
        writePage(superBlock, cache, n);
    }
    ASSERT_FALSE(cache.isIdle(5));
    file.close(superBlock.pageOffset(5));
    std::uint32_t seen = 0;
    std::thread reader([&] {
        Page page(&superBlock, &cache);
        page.loadReadOnly(5);
        seen = page.checksum();
    });
    ASSERT_TRUE(file.waitForReader());
    // While the reader's file read is held: a new version of page 5 is
    // written and let go, then pushed out of the idle pages again.
    const std::uint32_t fresh = writePage(superBlock, cache, 5);
    for (std::uint32_t n = 20; n < 25; ++n) {
        writePage(superBlock, cache, n);
    }
    file.open();
    reader.join();
    EXPECT_EQ(seen, fresh);
    Page again(&superBlock, &cache);
    again.loadReadOnly(5);
    EXPECT_EQ(again.checksum(), fresh);
}

} // namespace
} // namespace ostrel
