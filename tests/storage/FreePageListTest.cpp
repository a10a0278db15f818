#include "storage/FixedSizeFreePageAllocator.h"
#include "storage/FreePageList.h"
#include "storage/VarnelException.h"
#include "storage/pager/FreePageListPage.h"
#include "storage/support/PagerFixture.h"
#include "storage/support/TestStorage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

namespace ostrel {
namespace {

using Intervals = std::vector<FreePageListItem>;
using test::RecordingStorageFile;
using test::TestStorage;

FreePageList listOf(const Intervals& intervals, std::uint32_t pageCount = 1000) {
    FreePageList list(pageCount);
    for (const auto& item : intervals) {
        EXPECT_TRUE(list.add(item.first(), item.last()));
    }
    return list;
}

Intervals pageItems(const FreePageListPage& page) {
    Intervals items;
    for (std::uint32_t i = 0; i < page.itemCount(); ++i) {
        FreePageListItem item;
        page.at(i, item);
        items.push_back(item);
    }
    return items;
}

TEST(FreePageListTest, TakeRemoveAndAdd) {
    FreePageList list = listOf({{5, 5}, {7, 9}});
    EXPECT_EQ(list.take(), 5u);
    EXPECT_EQ(list.intervals(), (Intervals{{7, 9}}));
    EXPECT_TRUE(list.remove(8));
    EXPECT_EQ(list.intervals(), (Intervals{{7, 7}, {9, 9}}));
    EXPECT_EQ(list.freeCount(), 2u);
    EXPECT_FALSE(list.remove(8));

    FreePageList b = listOf({{13, 20}});
    EXPECT_TRUE(b.add(10, 12));
    EXPECT_EQ(b.intervals(), (Intervals{{10, 20}}));
    FreePageList c = listOf({{13, 20}});
    EXPECT_TRUE(c.add(21, 21));
    EXPECT_EQ(c.intervals(), (Intervals{{13, 21}}));
    EXPECT_FALSE(c.add(15, 16));
    EXPECT_FALSE(c.add(0, 3));
    EXPECT_FALSE(c.add(5, 4));
    EXPECT_FALSE(c.add(999, 1001));
    EXPECT_EQ(c.freeCount(), 9u);
    EXPECT_EQ(FreePageList().take(), 0u);
}

TEST(FreePageListTest, SortAndCoalesce) {
    FreePageList list = listOf({{50, 59}, {3, 3}, {10, 10}});
    list.sort();
    EXPECT_EQ(list.intervals(), (Intervals{{3, 3}, {10, 10}, {50, 59}}));

    // add() extends one interval only: (2,2) joins (3,3), and (1,1) stays apart.
    FreePageList merge = listOf({{3, 3}, {1, 1}});
    merge.add(2, 2);
    EXPECT_EQ(merge.intervals(), (Intervals{{2, 3}, {1, 1}}));
    EXPECT_TRUE(merge.coalesce());
    EXPECT_EQ(merge.intervals(), (Intervals{{1, 3}}));
    EXPECT_EQ(merge.freeCount(), 3u);
    FreePageList apart = listOf({{1, 1}, {5, 5}});
    EXPECT_FALSE(apart.coalesce());
    EXPECT_EQ(apart.intervals(), (Intervals{{1, 1}, {5, 5}}));
}

TEST(FreePageListTest, CoalesceOfThreeSinglePages) {
    // (3,3), (1,1), (2,2) as stored on a page, without the merging of add().
    test::PagerFixture f;
    FreePageListPage page(&f.superBlock, &f.cache);
    page.format(PageType::FreePageList, 1, 8, 0, 0);
    page.addInterval(3, 3, FreePageListPage::NoMerge);
    page.addInterval(1, 1, FreePageListPage::NoMerge);
    page.addInterval(2, 2, FreePageListPage::NoMerge);
    FreePageList list;
    list.load(page, 16);
    EXPECT_EQ(list.intervalCount(), 2u);  // add() already joined (2,2) to (3,3)
    EXPECT_TRUE(list.coalesce());
    EXPECT_EQ(list.intervals(), (Intervals{{1, 3}}));
    EXPECT_TRUE(page.compact());
    EXPECT_EQ(pageItems(page), (Intervals{{1, 3}}));
}

TEST(FreePageListTest, PageOperations) {
    test::PagerFixture f;
    FreePageListPage page(&f.superBlock, &f.cache);
    page.format(PageType::FreePageList, 1, 8, 0, 0);
    page.addInterval(2, 4);
    page.addInterval(8, 9);
    page.addInterval(6, 6);
    page.addInterval(5, 5, FreePageListPage::MergeAbove);  // (6,6) would take it from below; only above is asked
    EXPECT_EQ(pageItems(page), (Intervals{{2, 5}, {8, 9}, {6, 6}}));
    EXPECT_EQ(page.find(9), 1);
    EXPECT_EQ(page.find(7), -1);
    page.remove(3);
    EXPECT_EQ(pageItems(page), (Intervals{{2, 2}, {8, 9}, {6, 6}, {4, 5}}));
    page.remove(8);
    page.remove(6);  // a one-page item in the middle: the ring is rebuilt
    EXPECT_EQ(pageItems(page), (Intervals{{2, 2}, {9, 9}, {4, 5}}));
    page.remove(2);
    page.remove(5);
    page.remove(4);
    EXPECT_EQ(pageItems(page), (Intervals{{9, 9}}));
    page.remove(42);
    EXPECT_TRUE(page.isAllListed(9, 9));
    EXPECT_FALSE(page.isAllListed(9, 10));
}

TEST(FreePageListTest, FullPageIsCompactedToMakeRoom) {
    test::PagerFixture f;
    FreePageListPage page(&f.superBlock, &f.cache);
    page.format(PageType::FreePageList, 1, 8, 0, 0);
    const std::uint32_t slots = page.slots();
    // Pairs of adjacent pages stored as separate items fill the ring.
    for (std::uint32_t i = 0; i < slots; ++i) {
        page.addInterval(10 + i + 2 * (i / 2), 10 + i + 2 * (i / 2), FreePageListPage::NoMerge);
    }
    ASSERT_TRUE(page.isFull());
    page.addInterval(100000, 100000, FreePageListPage::NoMerge);
    EXPECT_EQ(page.itemCount(), slots / 2 + 1);
    EXPECT_TRUE(page.isListed(10));
    EXPECT_TRUE(page.isListed(11));
    EXPECT_FALSE(page.isListed(12));
    EXPECT_TRUE(page.isListed(100000));
}

TEST(FreePageListTest, FullPageRefusesAndStaysUnchanged) {
    test::PagerFixture f;
    FreePageListPage page(&f.superBlock, &f.cache);
    page.format(PageType::FreePageList, 1, 8, 0, 0);
    const std::uint32_t slots = page.slots();
    for (std::uint32_t i = 0; i < slots; ++i) {
        page.addInterval(10 + 4 * i, 12 + 4 * i, FreePageListPage::NoMerge);
    }
    ASSERT_TRUE(page.isFull());
    const Intervals before = pageItems(page);
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            if (attempt == 0) {
                page.addInterval(1000000, 1000000, FreePageListPage::NoMerge);
            } else {
                page.remove(11);  // the middle page of 10..12: a split needs one more slot
            }
            ADD_FAILURE() << "a full page took another interval";
        } catch (const VarnelException& e) {
            EXPECT_EQ(e.code(), VarnelException::NotEnoughSpace);
        }
        EXPECT_EQ(pageItems(page), before);
    }
    // Changes that need no new slot still work.
    page.addInterval(13, 13);
    page.remove(10);
    EXPECT_EQ(page.itemCount(), slots);
    EXPECT_TRUE(page.isAllListed(11, 13));
}

TEST(FreePageListTest, FormatListsEveryPageButTheListPage) {
    TestStorage s(100);
    s.format();
    // Page 2 went to the journal.
    EXPECT_EQ(s.allocator().list().intervals(), (Intervals{{3, 100}}));
    EXPECT_EQ(s.allocator().freePageCount(), 98u);
    EXPECT_EQ(s.allocator().page().itemCount(), 1u);
    auto entry = s.superBlock().findTrack(PageType::FreePageList);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->firstPage(), 1u);
    EXPECT_EQ(entry->firstPageChecksum(), s.allocator().page().checksum());
    auto journal = s.superBlock().findTrack(PageType::Journal);
    ASSERT_TRUE(journal.has_value());
    EXPECT_EQ(journal->firstPage(), 2u);
}

TEST(FreePageListTest, ExtractedPagesStayListedUntilConsumed) {
    TestStorage s(20);
    s.format();
    const std::uint32_t page = s.allocator().extract();
    EXPECT_EQ(page, 3u);
    EXPECT_FALSE(s.allocator().isFree(3));
    EXPECT_TRUE(s.allocator().isListed(3));
    s.allocator().consume(3);
    s.allocator().flush();
    EXPECT_FALSE(s.allocator().isListed(3));
    s.reopen();
    EXPECT_FALSE(s.allocator().isListed(3));
    EXPECT_EQ(s.allocator().freePageCount(), 17u);
    // An extracted page that was never consumed is free again after a restart.
    EXPECT_EQ(s.allocator().extract(), 4u);
    s.reopen();
    EXPECT_TRUE(s.allocator().isFree(4));
}

TEST(FreePageListTest, FreedPagesAreNeverListedTwice) {
    TestStorage s(40);
    s.format();
    for (std::uint32_t n = 3; n <= 12; ++n) {
        ASSERT_EQ(s.allocator().extract(), n);
        s.allocator().consume(n);
    }
    s.allocator().addPage(5);
    s.allocator().addPage(5);
    s.allocator().addInterval(4, 8);  // 5 is free already
    s.allocator().flush();
    EXPECT_EQ(s.allocator().freePageCount(), 28u + 5);
    s.reopen();
    EXPECT_EQ(s.allocator().freePageCount(), 28u + 5);
    // Taking every free page hands out each number once.
    std::vector<bool> seen(41, false);
    for (std::uint32_t n; (n = s.allocator().extract()) != 0;) {
        EXPECT_FALSE(seen[n]) << n;
        seen[n] = true;
    }
    EXPECT_FALSE(seen[1]);
    EXPECT_FALSE(seen[2]);
}

// Pages are taken out of the on-disk list when they are first saved, not in
// the order they were handed out, so a page from the middle of an interval is
// often consumed: the live item is rewritten in place and the upper half is
// added behind the live range. A process that dies between the transfer of
// those items and that of the header must not leave a list that lost the upper
// half: after the failure the list holds the old pages or the new ones.
TEST(FreePageListTest, AConsumeThatSplitsAnIntervalSurvivesAFailedSaveWhole) {
    for (std::size_t writesBeforeFailure : {0u, 1u, 2u}) {
        SCOPED_TRACE(writesBeforeFailure);
        TestStorage s(200);
        s.format();
        for (std::uint32_t n = 3; n <= 200; ++n) {
            ASSERT_EQ(s.allocator().extract(), n);
            s.allocator().consume(n);
        }
        // Single pages first, so that the interval below lies behind the
        // header's sector.
        for (std::uint32_t n = 3; n <= 130; n += 2) {
            s.allocator().addPage(n);
        }
        s.allocator().addInterval(150, 200);
        s.allocator().flush();
        const std::uint64_t before = s.allocator().freePageCount();

        s.file().failAfter(writesBeforeFailure);
        try {
            s.allocator().consume(160);
            s.allocator().flush();
        } catch (const SystemException&) {
        }
        s.file().stopFailing();
        s.reopen();
        const std::uint64_t after = s.allocator().freePageCount();
        EXPECT_TRUE(after == before || after == before - 1) << before << " -> " << after;
        EXPECT_TRUE(s.allocator().isFree(200));
    }
}

// The pages a list names, whatever its intervals' order and cuts.
std::set<std::uint32_t> pagesOf(const FreePageList& list) {
    std::set<std::uint32_t> pages;
    for (const FreePageListItem& item : list.intervals()) {
        for (std::uint32_t n = item.first(); n <= item.last(); ++n) {
            pages.insert(n);
        }
    }
    return pages;
}

// A power loss in the middle of a save of the list page, with the new items
// spread over several sectors: whatever sectors of the writes before the
// barrier reached the disk, and whether the header sector after it did, the
// page opens as the old list or as the new one, never as a mix.
TEST(FreePageListTest, ASaveTornAnywhereLeavesTheOldListOrTheNewOne) {
    std::mt19937 random(7);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        TestStorage s(400);
        s.format();
        for (std::uint32_t n; (n = s.allocator().extract()) != 0;) {
            s.allocator().consume(n);
        }
        // About 100 single pages: the list takes several sectors.
        for (std::uint32_t n = 5; n <= 400; n += 4) {
            s.allocator().addPage(n);
        }
        s.allocator().flush();
        const std::set<std::uint32_t> before = pagesOf(s.allocator().list());
        const std::vector<std::uint8_t> old = s.file().bytes();
        const std::size_t mark = s.file().writes().size();
        const std::size_t barriers = s.file().barriers().size();
        for (std::uint32_t n = 5; n <= 400; n += 12) {
            s.allocator().consume(n);
        }
        s.allocator().addInterval(6, 8);
        s.allocator().addPage(398);
        s.allocator().flush();
        const std::set<std::uint32_t> after = pagesOf(s.allocator().list());
        const std::vector<std::uint8_t> saved = s.file().bytes();
        const std::vector<RecordingStorageFile::Write> writes(s.file().writes().begin() + mark, s.file().writes().end());
        // Items first, not waited for; one barrier; then the header sector alone.
        ASSERT_GE(writes.size(), 2u);
        ASSERT_EQ(s.file().barriers().size(), barriers + 1);
        ASSERT_EQ(s.file().barriers().back(), s.file().writes().size() - 1);
        ASSERT_EQ(writes.back(), (RecordingStorageFile::Write{s.superBlock().pageOffset(1), 512, false}));
        for (std::size_t i = 0; i + 1 < writes.size(); ++i) {
            EXPECT_TRUE(writes[i].deferred);
        }
        for (bool header : {false, true}) {
            // Before the barrier any sectors may be there; after it all are.
            std::vector<std::uint8_t> image = old;
            for (std::size_t i = 0; i + 1 < writes.size(); ++i) {
                for (std::size_t sector = 0; sector < writes[i].length / 512; ++sector) {
                    if (header || random() % 2 == 0) {
                        const std::size_t at = writes[i].offset + sector * 512;
                        std::copy(saved.begin() + at, saved.begin() + at + 512, image.begin() + at);
                    }
                }
            }
            if (header) {
                const std::size_t at = writes.back().offset;
                std::copy(saved.begin() + at, saved.begin() + at + 512, image.begin() + at);
            }
            s.file().bytes() = image;
            s.reopen();
            EXPECT_EQ(pagesOf(s.allocator().list()), header ? after : before) << header;
        }
    }
}

TEST(FreePageListTest, RangesOutsideTheStorageAreRefused) {
    TestStorage s(20);
    s.format();
    EXPECT_THROW(s.allocator().addInterval(15, 21), VarnelException);
    EXPECT_THROW(s.allocator().addPage(1), VarnelException);
    EXPECT_THROW(s.allocator().addInterval(0, 3), VarnelException);
    EXPECT_EQ(s.allocator().freePageCount(), 18u);
}

TEST(FreePageListTest, OpenRewritesTheListMergedAndSorted) {
    TestStorage s(60);
    s.format();
    for (std::uint32_t n = 3; n <= 60; ++n) {
        ASSERT_EQ(s.allocator().extract(), n);
        s.allocator().consume(n);
    }
    for (std::uint32_t n : {30u, 10u, 11u, 50u, 51u, 52u, 20u}) {
        s.allocator().addPage(n);
    }
    s.allocator().flush();
    s.reopen();
    EXPECT_EQ(s.allocator().list().intervals(), (Intervals{{20, 20}, {30, 30}, {10, 11}, {50, 52}}));
    EXPECT_EQ(pageItems(s.allocator().page()), s.allocator().list().intervals());
    EXPECT_EQ(s.allocator().extract(), 20u);
}

TEST(FreePageListTest, SettleAdaptsTheMergeThreshold) {
    TestStorage s(200);
    s.format();
    for (std::uint32_t n; (n = s.allocator().extract()) != 0;) {
        s.allocator().consume(n);
    }
    for (std::uint32_t i = 0; i < 11; ++i) {
        s.allocator().addPage(10 + 2 * i);
    }
    EXPECT_EQ(s.allocator().mergeThreshold(), 10u);
    s.allocator().settle();
    EXPECT_EQ(s.allocator().mergeThreshold(), 20u);
    // 25 intervals that merge down to 5.
    for (std::uint32_t i = 0; i < 14; ++i) {
        s.allocator().addPage(100 + 2 * i);
    }
    for (std::uint32_t n = 11; n <= 29; n += 2) {
        s.allocator().addPage(n);  // joins neighbours only through coalesce()
    }
    ASSERT_GT(s.allocator().list().intervalCount(), 20u);
    s.allocator().settle();
    EXPECT_LT(s.allocator().list().intervalCount(), 20u);
    EXPECT_EQ(s.allocator().mergeThreshold(), 10u);
}

TEST(FreePageListTest, DamagedListPageIsCorrupted) {
    TestStorage s(20);
    s.format();
    // The list page's ring count does not match its head and tail.
    Buffer raw(s.file().bytes().data() + s.superBlock().pageOffset(1), 128, s.superBlock().pageByteOrder());
    raw.putU32(20, 5000);
    EXPECT_THROW(s.reopen(), VarnelException);
}

} // namespace
} // namespace ostrel
