#include "storage/pager/Page.h"
#include "storage/pager/PageCache.h"
#include "storage/support/PagerFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace ostrel {
namespace {

using test::PagerFixture;

TEST(PageCacheTest, ReaderOfAPageBeingWrittenGetsAPrivateCopy) {
    PagerFixture f;
    Page writer(&f.superBlock, &f.cache);
    writer.format(PageType::Timeline, 3, 64, 0, 0);
    writer.setItemCount(7);
    Page reader(&f.superBlock, &f.cache);
    reader.loadReadOnly(3);
    EXPECT_TRUE(reader.isCopy());
    EXPECT_EQ(reader.itemCount(), 7u);
    // The copy does not follow the writer.
    writer.setItemCount(8);
    EXPECT_EQ(reader.itemCount(), 7u);
    const std::size_t freeBefore = f.pool.freeCount();
    reader.release();
    EXPECT_EQ(f.pool.freeCount(), freeBefore + 1);
    EXPECT_EQ(f.cache.holderCount(3), 1);
    EXPECT_EQ(writer.itemCount(), 8u);
}

TEST(PageCacheTest, ReadersOfAnUnwrittenPageShareOneBuffer) {
    PagerFixture f;
    Page a(&f.superBlock, &f.cache);
    Page b(&f.superBlock, &f.cache);
    a.loadReadOnly(4);
    b.loadReadOnly(4);
    EXPECT_FALSE(b.isCopy());
    EXPECT_EQ(a.buffer().data(), b.buffer().data());
    EXPECT_EQ(f.cache.holderCount(4), 2);
}

TEST(PageCacheTest, FiveReleasedPagesStayIdleAndAreReusedWithoutARead) {
    PagerFixture f;
    std::byte* first = nullptr;
    for (std::uint32_t number = 1; number <= 6; ++number) {
        Page page(&f.superBlock, &f.cache);
        page.loadReadOnly(number);
        if (number == 1) {
            first = page.buffer().data();
        }
    }
    EXPECT_EQ(f.cache.idleCount(), 5u);
    EXPECT_FALSE(f.cache.isIdle(1));
    for (std::uint32_t number = 2; number <= 6; ++number) {
        EXPECT_TRUE(f.cache.isIdle(number));
    }
    // The first page's buffer is back in the pool and handed out next.
    EXPECT_EQ(f.pool.allocate(8192).data, first);

    const std::size_t reads = f.file.readCount();
    Page again(&f.superBlock, &f.cache);
    again.load(4);
    EXPECT_EQ(f.file.readCount(), reads);
    EXPECT_FALSE(f.cache.isIdle(4));
}

TEST(PageCacheTest, ReformattingAPageUnderAReaderDisplacesItsBuffer) {
    PagerFixture f;
    Page reader1(&f.superBlock, &f.cache);
    reader1.loadReadOnly(5);
    Page writer(&f.superBlock, &f.cache);
    writer.format(PageType::Media, 5, 64, 0, 0);
    EXPECT_TRUE(f.cache.isDisplaced(5));
    // The page is re-formatted a second time under a second reader.
    writer.release();
    Page reader2(&f.superBlock, &f.cache);
    reader2.loadReadOnly(5);
    writer.format(PageType::Media, 5, 64, 0, 0);
    const std::size_t freeBefore = f.pool.freeCount();
    reader1.release();
    EXPECT_TRUE(f.cache.isDisplaced(5));
    reader2.release();
    EXPECT_FALSE(f.cache.isDisplaced(5));
    EXPECT_EQ(f.pool.freeCount(), freeBefore + 2);
    EXPECT_EQ(f.cache.holderCount(5), 1);
}

TEST(PageCacheTest, ClearNeverLendsAHeldBufferTwice) {
    PagerFixture f;
    Page held(&f.superBlock, &f.cache);
    held.format(PageType::Media, 2, 64, 0, 0);
    std::byte* data = held.buffer().data();
    f.cache.clear();
    // The held buffer is not in the pool while the page object uses it.
    PoolBlock other = f.pool.allocate(8192);
    EXPECT_NE(other.data, data);
    f.pool.release(other);
    const std::size_t freeBefore = f.pool.freeCount();
    held.release();
    EXPECT_EQ(f.pool.freeCount(), freeBefore + 1);
    // Releasing an unknown number changes nothing.
    f.cache.release(9, PoolBlock{data, 8192}, false);
    EXPECT_EQ(f.pool.freeCount(), freeBefore + 1);
}

TEST(PageCacheTest, LoadingForWritingStartsFromDiskAndLeavesReadersTheirBuffer) {
    PagerFixture f;
    Page reader(&f.superBlock, &f.cache);
    reader.loadReadOnly(6);
    Page writer(&f.superBlock, &f.cache);
    writer.load(6);
    EXPECT_NE(writer.buffer().data(), reader.buffer().data());
    EXPECT_TRUE(f.cache.isDisplaced(6));
    reader.release();
    EXPECT_FALSE(f.cache.isDisplaced(6));
}

TEST(PageCacheTest, ReaderCopiesNeverShowAHalfWrittenChange) {
    PagerFixture f;
    Page writer(&f.superBlock, &f.cache);
    writer.format(PageType::Timeline, 3, 64, 0, 0);
    std::atomic<bool> torn{false};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        Page page(&f.superBlock, &f.cache);
        for (int i = 0; i < 2000 && !done; ++i) {
            page.loadReadOnly(3);
            if (page.itemCount() != page.lastItemID()) {
                torn = true;
            }
            page.release();
        }
    });
    for (std::uint32_t i = 1; i <= 20000; ++i) {
        writer.lock();
        writer.setItemCount(i);
        writer.setLastItemID(i);
        writer.unlock();
    }
    done = true;
    reader.join();
    EXPECT_FALSE(torn);
}

} // namespace
} // namespace ostrel
