#include "storage/VarnelException.h"
#include "storage/pager/CircularPage.h"
#include "storage/pager/IPageInitializer.h"
#include "storage/pager/Page.h"
#include "storage/support/PagerFixture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace ostrel {
namespace {

using test::PagerFixture;
using Write = test::RecordingStorageFile::Write;

struct Interval8 : FixedSerializable {
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    Interval8() = default;
    Interval8(std::uint32_t a, std::uint32_t b) : first(a), last(b) {}
    int size() const override { return 8; }
    void encode(uint8_t* out, ByteOrder order) const override {
        Buffer b(out, 8, order);
        b.putU32(0, first);
        b.putU32(4, last);
    }
    void decode(const uint8_t* in, ByteOrder order) override {
        Buffer b(const_cast<uint8_t*>(in), 8, order);
        first = b.getU32(0);
        last = b.getU32(4);
    }
};

TEST(PageTest, PageTypeCodes) {
    EXPECT_EQ(std::memcmp(PageType::Log.bytes().data(), "LOG ", 4), 0);
    EXPECT_EQ(std::memcmp(PageType::Bad.bytes().data(), "BAD\0", 4), 0);
    EXPECT_FALSE(PageType('L', 'O', 'G', '\0') == PageType::Log);
    EXPECT_TRUE(PageType() == PageType::Null);
    EXPECT_EQ(PageType::Timeline.toString(), "TIML");
}

TEST(PageTest, FormattedPageIsEmptyWithANewIdentity) {
    PagerFixture f;
    Page page(&f.superBlock, &f.cache);
    page.format(PageType::Timeline, 3, 64, 2, 1234);
    EXPECT_EQ(page.pageNumber(), 3u);
    EXPECT_EQ(page.firstItemOffset(), 128u);
    EXPECT_EQ(page.lastItemOffset(), 128u);
    EXPECT_EQ(page.itemCount(), 0u);
    EXPECT_NE(page.checksum(), 0u);
    EXPECT_EQ(page.superChecksum(), f.superBlock.checksum());
    EXPECT_EQ(page.previous(), 2u);
    EXPECT_EQ(page.previousChecksum(), 1234u);
    EXPECT_EQ(page.next(), 0u);
    EXPECT_EQ(page.nextChecksum(), Page::InvalidPageChecksum);
    EXPECT_TRUE(page.type() == PageType::Timeline);
    EXPECT_EQ(page.capacity(), (8192u - 128) / 64);
    EXPECT_EQ(page.buffer().mask().toString(), "0b1000000000000000");
    // Nothing reaches the file until the page is saved.
    EXPECT_EQ(f.file.writes().size(), 1u);
}

TEST(PageTest, InitializerRunsLast) {
    struct Mark : IPageInitializer {
        void initialize(Page& page) override {
            page.buffer().copyIn(128, "rest", 4);
            page.setFirstItemOffset(132);
        }
    } mark;
    PagerFixture f;
    Page page(&f.superBlock, &f.cache);
    page.format(PageType::Media, 2, 64, 0, 0, &mark);
    EXPECT_EQ(page.firstItemOffset(), 132u);
    EXPECT_EQ(page.lastItemOffset(), 128u);
}

TEST(PageTest, DirtyMaskOfALargePage) {
    PagerFixture f(2, 524288);
    Page page(&f.superBlock, &f.cache);
    page.format(PageType::Media, 1, 64, 0, 0);
    EXPECT_EQ(page.buffer().mask().byteCount(), 128u);
    page.buffer().clearDirty();
    page.buffer().fill(1020, 0xAB, 10);
    EXPECT_FALSE(page.buffer().mask().test(0));
    EXPECT_TRUE(page.buffer().mask().test(1));
    EXPECT_TRUE(page.buffer().mask().test(2));
    EXPECT_FALSE(page.buffer().mask().test(3));
}

TEST(PageTest, SaveDirtyWritesRunsWithTheHeaderSectorLast) {
    PagerFixture f;
    Page page(&f.superBlock, &f.cache);
    page.format(PageType::Media, 1, 64, 0, 0);
    page.buffer().clearDirty();
    page.setItemCount(1);
    page.buffer().fill(600, 1, 4);
    page.buffer().fill(2600, 1, 4);
    f.file.writes().clear();
    page.saveDirty();
    const std::uint64_t base = f.superBlock.pageOffset(1);
    ASSERT_EQ(f.file.writes().size(), 3u);
    EXPECT_EQ(f.file.writes()[0], (Write{base + 512, 512}));
    EXPECT_EQ(f.file.writes()[1], (Write{base, 512}));
    EXPECT_EQ(f.file.writes()[2], (Write{base + 2560, 512}));
    EXPECT_TRUE(page.buffer().isClean());
    page.saveDirty();
    EXPECT_EQ(f.file.writes().size(), 3u);
}

TEST(PageTest, FullSaveWritesTheBodyBeforeTheHeader) {
    PagerFixture f;
    Page page(&f.superBlock, &f.cache);
    page.format(PageType::Media, 2, 64, 0, 0);
    f.file.writes().clear();
    page.buffer().markDirty(0, 8192);
    page.saveDirty();
    const std::uint64_t base = f.superBlock.pageOffset(2);
    ASSERT_EQ(f.file.writes().size(), 2u);
    EXPECT_EQ(f.file.writes()[0], (Write{base + 512, 8192 - 512}));
    EXPECT_EQ(f.file.writes()[1], (Write{base, 512}));
}

TEST(PageTest, SavedPageLoadsBackAndFailedSaveKeepsTheMarks) {
    PagerFixture f;
    Page page(&f.superBlock, &f.cache);
    page.format(PageType::Event, 4, 64, 0, 0);
    page.setItemCount(3);
    page.setLastItemID(99);
    f.file.failAfter(0);
    EXPECT_THROW(page.saveDirty(), SystemException);
    EXPECT_FALSE(page.buffer().isClean());
    f.file.stopFailing();
    page.saveDirty();
    const std::uint32_t checksum = page.checksum();
    page.release();
    f.cache.clear();
    Page loaded(&f.superBlock, &f.cache);
    loaded.loadVerified(4, PageType::Event, checksum, true);
    EXPECT_EQ(loaded.itemCount(), 3u);
    EXPECT_EQ(loaded.lastItemID(), 99u);
    EXPECT_EQ(loaded.buffer().position(), 128u);
}

TEST(PageTest, HeaderLoadReadsOneSectorAndWritesOnlyItBack) {
    PagerFixture f;
    Page page(&f.superBlock, &f.cache);
    page.format(PageType::Timeline, 5, 64, 0, 0);
    page.save();
    page.release();
    Page header(&f.superBlock, &f.cache);
    header.loadHeader(5);
    EXPECT_TRUE(header.isHeaderOnly());
    EXPECT_EQ(header.buffer().limit(), 128u);
    EXPECT_THROW(header.buffer().getU32(128), VarnelException);
    header.setNext(7);
    f.file.writes().clear();
    header.save();
    ASSERT_EQ(f.file.writes().size(), 1u);
    EXPECT_EQ(f.file.writes()[0], (Write{f.superBlock.pageOffset(5), 512}));
    Page check(&f.superBlock, &f.cache);
    check.loadReadOnly(5);
    EXPECT_EQ(check.next(), 7u);
}

TEST(PageTest, ReadOnlyPagesAreNeverWritten) {
    PagerFixture f;
    Page page(&f.superBlock, &f.cache);
    page.loadReadOnly(3);
    page.setItemCount(5);
    f.file.writes().clear();
    page.saveDirty();
    page.save();
    EXPECT_TRUE(f.file.writes().empty());
}

TEST(PageTest, DamagedPagesAreReportedAsCorrupted) {
    struct Case {
        const char* name;
        std::size_t offset;
        std::uint32_t value;
    };
    const Case cases[] = {
        {"type", 0, 0x41414141},
        {"checksum", 60, 1},
        {"super checksum", 76, 1},
        {"item count past the page end", 20, 200},
        {"item size larger than the page", 16, 9000},
        {"last item offset past the page", 28, 8192},
        {"first item offset inside the header", 24, 64},
    };
    for (const Case& c : cases) {
        PagerFixture f;
        Page page(&f.superBlock, &f.cache);
        page.format(PageType::Event, 3, 64, 0, 0);
        const std::uint32_t checksum = page.checksum();
        page.save();
        page.release();
        f.cache.clear();
        Buffer raw(f.file.bytes().data() + f.superBlock.pageOffset(3), 128, f.superBlock.pageByteOrder());
        raw.putU32(c.offset, c.value);
        Page loaded(&f.superBlock, &f.cache);
        try {
            loaded.loadVerified(3, PageType::Event, checksum, false);
            ADD_FAILURE() << c.name << " accepted";
        } catch (const VarnelException& e) {
            EXPECT_EQ(e.code(), VarnelException::StorageCorrupted) << c.name;
        }
        EXPECT_FALSE(loaded.isLoaded()) << c.name;
    }
}

TEST(PageTest, PagesOutsideTheStorageAreRefused) {
    PagerFixture f(4);
    Page page(&f.superBlock, &f.cache);
    EXPECT_THROW(page.load(5), VarnelException);
    EXPECT_THROW(page.load(0), VarnelException);
    EXPECT_THROW(page.loadHeader(9), VarnelException);
    EXPECT_THROW(page.format(PageType::Media, 5, 64, 0, 0), VarnelException);
}

TEST(PageTest, PagesLargerThanTheDefaultBlockRoundTrip) {
    PagerFixture f(3, 1048576);
    Page page(&f.superBlock, &f.cache);
    page.format(PageType::Media, 2, 64, 0, 0);
    page.buffer().fill(1048576 - 64, 0x7E, 64);
    page.setItemCount(1);
    page.saveDirty();
    const std::uint32_t checksum = page.checksum();
    page.release();
    f.cache.clear();
    Page loaded(&f.superBlock, &f.cache);
    loaded.loadVerified(2, PageType::Media, checksum, true);
    EXPECT_EQ(loaded.buffer().getU8(1048575), 0x7E);
    EXPECT_EQ(loaded.buffer().mask().byteCount(), 256u);
}

TEST(PageTest, FourKilobyteSectorsWriteWholeSectors) {
    // The in-memory file refuses any transfer that is not a whole 4096-byte sector.
    PagerFixture f(4, 8192, 4096);
    Page page(&f.superBlock, &f.cache);
    page.format(PageType::Event, 3, 64, 0, 0);
    EXPECT_EQ(page.buffer().mask().bitCount(), 2u);
    page.buffer().fill(5000, 1, 8);
    f.file.writes().clear();
    page.saveDirty();
    // Both sectors are dirty: the body sector, then the header sector.
    ASSERT_EQ(f.file.writes().size(), 2u);
    EXPECT_EQ(f.file.writes()[0], (Write{f.superBlock.pageOffset(3) + 4096, 4096}));
    EXPECT_EQ(f.file.writes()[1], (Write{f.superBlock.pageOffset(3), 4096}));
    page.setNext(4);
    page.saveHeader();
    EXPECT_EQ(f.file.writes()[2], (Write{f.superBlock.pageOffset(3), 4096}));
    page.release();
    Page header(&f.superBlock, &f.cache);
    header.loadHeader(3);
    EXPECT_EQ(header.next(), 4u);
    f.superBlock.setBootTime(DateTime(2021, 1, 1, 0, 0, 0), 5);
    f.superBlock.saveHeader();
    EXPECT_EQ(f.file.writes().back(), (Write{0, 4096}));
}

TEST(CircularPageTest, GeometryOfTheDefaultPage) {
    PagerFixture f(2, 524288);
    CircularPage page(&f.superBlock, &f.cache);
    page.format(PageType::FreePageList, 1, 8, 0, 0);
    EXPECT_EQ(page.slots(), 65520u);
    EXPECT_EQ(page.slack(), 0u);
    EXPECT_EQ(page.successor(524280), 128u);
    EXPECT_EQ(page.successor(128), 136u);
}

TEST(CircularPageTest, RingWrapsAroundAndRefusesWhenFull) {
    PagerFixture f;
    CircularPage page(&f.superBlock, &f.cache);
    // 8064 / 24 = 336 slots.
    struct Wide : Interval8 {
        using Interval8::Interval8;
        int size() const override { return 8; }
    };
    page.format(PageType::FreePageList, 1, 24, 0, 0);
    const std::uint32_t slots = page.slots();
    ASSERT_EQ(slots, 336u);
    for (std::uint32_t i = 0; i < slots; ++i) {
        page.pushBack(Interval8(i, i));
    }
    EXPECT_TRUE(page.isFull());
    EXPECT_THROW(page.pushBack(Interval8(1, 1)), VarnelException);
    EXPECT_EQ(page.itemCount(), slots);
    page.popFront();
    page.popFront();
    page.pushBack(Interval8(1000, 1000));
    Interval8 item;
    page.front(item);
    EXPECT_EQ(item.first, 2u);
    page.at(page.itemCount() - 1, item);
    EXPECT_EQ(item.first, 1000u);
    EXPECT_EQ(page.itemOffset(page.itemCount() - 1), 128u);
    EXPECT_NO_THROW(page.checkHeader());
    page.popBack();
    page.at(page.itemCount() - 1, item);
    EXPECT_EQ(item.first, slots - 1);
}

TEST(CircularPageTest, PoppingTheOnlyItemResetsButKeepsTheIdentity) {
    PagerFixture f;
    CircularPage page(&f.superBlock, &f.cache);
    page.format(PageType::FreePageList, 1, 8, 0, 0);
    const std::uint32_t checksum = page.checksum();
    page.pushBack(Interval8(2, 9));
    page.pushBack(Interval8(11, 12));
    page.popFront();
    EXPECT_EQ(page.firstItemOffset(), 136u);
    page.popFront();
    EXPECT_EQ(page.itemCount(), 0u);
    EXPECT_EQ(page.firstItemOffset(), 128u);
    EXPECT_EQ(page.lastItemOffset(), 128u);
    EXPECT_TRUE(page.type() == PageType::FreePageList);
    EXPECT_EQ(page.itemSize(), 8u);
    EXPECT_EQ(page.checksum(), checksum);
}

TEST(CircularPageTest, DamagedRingIsCorrupted) {
    PagerFixture f;
    CircularPage page(&f.superBlock, &f.cache);
    page.format(PageType::FreePageList, 1, 8, 0, 0);
    page.pushBack(Interval8(2, 9));
    page.setLastItemOffset(133);
    EXPECT_THROW(page.checkHeader(), VarnelException);
    page.setLastItemOffset(144);
    EXPECT_THROW(page.checkHeader(), VarnelException);
    page.setLastItemOffset(136);
    EXPECT_NO_THROW(page.checkHeader());
}

} // namespace
} // namespace ostrel
