#include "storage/FreePageList.h"
#include "storage/VarnelException.h"
#include "storage/pager/Page.h"
#include "storage/support/TestStorage.h"
#include "storage/transaction/ChangePageLinkTransactionLog.h"
#include "storage/transaction/FlushPageTransactionLog.h"
#include "storage/transaction/FreePageTransactionLog.h"
#include "storage/transaction/JournalingTransactionHandler.h"
#include "storage/transaction/PageFlushTransaction.h"
#include "storage/transaction/UpdateTrackTransactionLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using test::TestStorage;
using Texts = std::vector<std::string>;

const JournalingTransactionHandler& handlerOf(TestStorage& s) {
    return static_cast<const JournalingTransactionHandler&>(s.transactionHandler());
}

// The journal page as it is on disk.
std::uint32_t journalCountOnDisk(TestStorage& s) {
    auto entry = s.superBlock().findTrack(PageType::Journal);
    Buffer raw(s.file().bytes().data() + s.superBlock().pageOffset(entry->firstPage()), 128,
               s.superBlock().pageByteOrder());
    return raw.getU32(20);
}

// A freshly allocated timeline page with one item-sized change, saved through a PageFlushTransaction.
struct FlushScenario {
    explicit FlushScenario(TestStorage& storage) : s(storage), page(&s.superBlock(), &s.pageCache()) {
        number = s.allocatePage(PageType::Timeline);
        page.format(PageType::Timeline, number, 64, 0, 0);
        page.setItemCount(1);
        page.buffer().fill(128, 0x11, 64);
        checksum = page.checksum();
    }
    void run() { PageFlushTransaction(s, page).run(); }

    TestStorage& s;
    Page page;
    std::uint32_t number = 0;
    std::uint32_t checksum = 0;
};

TEST(JournalTest, FormatPutsTheJournalOnPageTwo) {
    TestStorage s(16);
    s.format();
    auto journal = s.superBlock().findTrack(PageType::Journal);
    ASSERT_TRUE(journal.has_value());
    EXPECT_EQ(journal->firstPage(), 2u);
    EXPECT_EQ(journal->lastPage(), 2u);
    EXPECT_EQ(journal->firstPageChecksum(), handlerOf(s).journalPage().checksum());
    EXPECT_EQ(handlerOf(s).journalPage().itemCount(), 0u);
    s.reopen();
    EXPECT_EQ(handlerOf(s).journalPage().pageNumber(), 2u);
}

TEST(JournalTest, PageFlushTransactionCommits) {
    TestStorage s(16);
    s.format();
    FlushScenario f(s);
    s.file().writes().clear();
    f.run();
    // Journal, free list, superblock, page, journal cleared.
    EXPECT_EQ(s.file().writes().size(), 5u);
    EXPECT_EQ(s.file().writes().front().offset, s.superBlock().pageOffset(2));
    EXPECT_EQ(s.file().writes().back(), (test::RecordingStorageFile::Write{s.superBlock().pageOffset(2), 512}));
    EXPECT_EQ(journalCountOnDisk(s), 0u);
    s.reopen();
    EXPECT_FALSE(s.allocator().isListed(f.number));
    auto entry = s.superBlock().findTrack(PageType::Timeline);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->lastPage(), f.number);
    EXPECT_EQ(entry->lastPageChecksum(), f.checksum);
    Page loaded(&s.superBlock(), &s.pageCache());
    loaded.loadVerified(f.number, PageType::Timeline, f.checksum, true);
    EXPECT_EQ(loaded.itemCount(), 1u);
    s.transactionHandler().recover();
    EXPECT_EQ(s.logTexts(), (Texts{"[JOURNAL] Empty"}));
}

// Crashes the page flush after `writes` writes reached the disk, restarts and recovers.
Texts crashFlushAfter(std::size_t writes, TestStorage& s, std::uint32_t& number) {
    s.format();
    FlushScenario f(s);
    number = f.number;
    s.file().failAfter(writes);
    try {
        f.run();
    } catch (const SystemException&) {
    }
    s.file().stopFailing();
    f.page.release();
    s.reopen();
    s.logLines().clear();
    s.transactionHandler().recover();
    EXPECT_EQ(journalCountOnDisk(s), 0u);
    return s.logTexts();
}

TEST(JournalTest, CrashAtEveryWriteOfAPageFlushIsUndoneOrKept) {
    struct Case {
        std::size_t writes;
        bool committed;
    };
    for (const Case c : {Case{0, false}, Case{1, false}, Case{2, false}, Case{3, false}, Case{4, true}}) {
        TestStorage s(16);
        std::uint32_t number = 0;
        const Texts log = crashFlushAfter(c.writes, s, number);
        const std::string page = std::to_string(number);
        const auto entry = s.superBlock().findTrack(PageType::Timeline);
        std::string updateText;
        Texts expected;
        switch (c.writes) {
        case 0:
            expected = {"[JOURNAL] Empty"};
            break;
        case 1:
            expected = {"[JOURNAL] Fail: ExtractFreePage " + page,
                        "[JOURNAL] All transaction failed. Just cleanup journal."};
            break;
        case 2:
            ASSERT_EQ(log.size(), 2u);
            EXPECT_EQ(log[0].rfind("[JOURNAL] Fail: UpdateTrackLast TIML " + page + ":", 0), 0u) << log[0];
            EXPECT_EQ(log[0].substr(log[0].size() - 10), ", prev 0:0") << log[0];
            expected = {log[0], "ROLLBACK: ExtractFreePage " + page};
            break;
        case 3:
            ASSERT_EQ(log.size(), 3u);
            EXPECT_EQ(log[0], "[JOURNAL] Fail: FlushPage " + page);
            EXPECT_EQ(log[1].rfind("ROLLBACK: UpdateTrackLast TIML " + page + ":", 0), 0u) << log[1];
            expected = {log[0], log[1], "ROLLBACK: ExtractFreePage " + page};
            EXPECT_EQ(s.deletedTracks(), (Texts{"TIML"}));
            break;
        default:
            expected = {"[JOURNAL] All transaction succeeds except clear log. (commited)"};
        }
        EXPECT_EQ(log, expected) << "after " << c.writes << " writes";
        if (c.committed) {
            ASSERT_TRUE(entry.has_value());
            EXPECT_EQ(entry->lastPage(), number);
            EXPECT_FALSE(s.allocator().isListed(number));
        } else {
            EXPECT_FALSE(entry.has_value()) << "after " << c.writes << " writes";
            EXPECT_TRUE(s.allocator().isListed(number));
            EXPECT_TRUE(s.allocator().isFree(number));
        }
        for (const auto& line : s.logLines()) {
            EXPECT_EQ(line.level, 2);
            EXPECT_TRUE(line.flush);
        }
    }
}

TEST(JournalTest, CommitAndRecoveryOnFourKilobyteSectors) {
    TestStorage s(16, 8192, 4096);
    s.format();
    FlushScenario f(s);
    s.file().failAfter(3);
    EXPECT_THROW(f.run(), SystemException);
    s.file().stopFailing();
    f.page.release();
    s.reopen();
    s.transactionHandler().recover();
    EXPECT_EQ(s.logTexts().size(), 3u);
    EXPECT_TRUE(s.allocator().isFree(f.number));
    FlushScenario again(s);
    again.run();
    s.reopen();
    EXPECT_EQ(s.superBlock().findTrack(PageType::Timeline)->lastPage(), again.number);
}

TEST(JournalTest, RollbackOfAnExtendedTrackRestoresItsPreviousLastPage) {
    TestStorage s(16);
    s.format();
    FlushScenario first(s);
    first.run();
    FlushScenario second(s);
    s.file().failAfter(3);
    EXPECT_THROW(second.run(), SystemException);
    s.file().stopFailing();
    second.page.release();
    first.page.release();
    s.reopen();
    s.transactionHandler().recover();
    auto entry = s.superBlock().findTrack(PageType::Timeline);
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->lastPage(), first.number);
    EXPECT_EQ(entry->lastPageChecksum(), first.checksum);
    EXPECT_EQ(s.mirror()["TIML"].lastPage(), first.number);
    EXPECT_TRUE(s.allocator().isFree(second.number));
}

// The storage opens its tracks from its own copy of the track list, so undoing
// a moved first page must restore that copy too, or the pages before the
// restored first page are opened as if they belonged to nobody.
TEST(JournalTest, RollbackOfAMovedFirstPageRestoresTheStoragesTrackListToo) {
    TestStorage s(16);
    s.format();
    FlushScenario first(s);
    first.run();
    s.mirror()["TIML"] = *s.superBlock().findTrack(PageType::Timeline);

    UpdateTrackFirstTransactionLog moved(s, PageType::Timeline, 9, 99);
    moved.apply();
    s.mirror()["TIML"].setFirst(9, 99);
    ASSERT_TRUE(moved.isApplied());
    moved.rollback();
    EXPECT_EQ(s.superBlock().findTrack(PageType::Timeline)->firstPage(), first.number);
    EXPECT_EQ(s.mirror()["TIML"].firstPage(), first.number);
    EXPECT_EQ(s.mirror()["TIML"].firstPageChecksum(), first.checksum);

    // A step that created the entry removes it from both on rollback.
    UpdateTrackFirstTransactionLog created(s, PageType::Event, 11, 111);
    created.apply();
    s.mirror()["EVNT"] = *s.superBlock().findTrack(PageType::Event);
    created.rollback();
    EXPECT_FALSE(s.superBlock().findTrack(PageType::Event).has_value());
    EXPECT_EQ(s.mirror().count("EVNT"), 0u);
}

TEST(JournalTest, FreeingPagesAndDeletingATrackCommitOrRollBackTogether) {
    for (const bool crash : {false, true}) {
        TestStorage s(32);
        s.format();
        for (std::uint32_t n = 3; n <= 12; ++n) {
            ASSERT_EQ(s.allocator().extract(), n);
            s.allocator().consume(n);
        }
        s.allocator().flush();
        s.superBlock().addTrack(PageType::Event, BitMask32(0xFFFFFFFF), 5, 55);
        s.superBlock().save();
        FreePageList pages(32);
        pages.add(5, 5);
        pages.add(7, 9);
        Transaction t(s);
        t.addFreePages(pages);
        t.add(std::make_unique<DeleteTrackTransactionLog>(s, PageType::Event));
        ASSERT_EQ(t.steps().size(), 3u);
        EXPECT_EQ(t.steps()[0]->toString(), "AppendFreePage 5");
        EXPECT_EQ(t.steps()[1]->toString(), "AppendFreePageInterval 7~9");
        if (crash) {
            // Journal written, both frees applied, the track deletion not.
            s.file().failAfter(3);
            EXPECT_THROW(t.run(), SystemException);
            s.file().stopFailing();
            s.reopen();
            s.transactionHandler().recover();
            EXPECT_EQ(s.logTexts(), (Texts{"[JOURNAL] Fail: RemoveTrack EVNT", "ROLLBACK: AppendFreePageInterval 7~9",
                                           "ROLLBACK: AppendFreePage 5"}));
            EXPECT_TRUE(s.superBlock().hasTrack(PageType::Event));
            for (std::uint32_t n : {5u, 7u, 8u, 9u}) {
                EXPECT_FALSE(s.allocator().isListed(n)) << n;
                EXPECT_FALSE(s.allocator().isFree(n)) << n;
            }
        } else {
            t.run();
            EXPECT_TRUE(t.steps().empty());
            s.reopen();
            EXPECT_FALSE(s.superBlock().hasTrack(PageType::Event));
            for (std::uint32_t n : {5u, 7u, 8u, 9u}) {
                EXPECT_TRUE(s.allocator().isListed(n)) << n;
                EXPECT_TRUE(s.allocator().isFree(n)) << n;
            }
            EXPECT_FALSE(s.allocator().isFree(6));
        }
    }
}

TEST(JournalTest, TransactionTooLargeForTheJournalIsRefusedBeforeAnyWrite) {
    TestStorage s(16);
    s.format();
    Transaction t(s);
    // 8064 bytes of journal; each free-page record takes 6.
    for (std::uint32_t i = 0; i < 1400; ++i) {
        t.add(std::make_unique<AppendFreePageTransactionLog>(s, 3));
    }
    s.file().writes().clear();
    try {
        t.run();
        FAIL() << "an oversized transaction ran";
    } catch (const VarnelException& e) {
        EXPECT_EQ(e.code(), VarnelException::NotEnoughSpace);
    }
    EXPECT_TRUE(s.file().writes().empty());
    // The handler is usable afterwards.
    FlushScenario f(s);
    f.run();
    EXPECT_FALSE(s.allocator().isListed(f.number));
}

TEST(JournalTest, RecordLayoutsAndDescriptions) {
    TestStorage s(16);
    s.format();
    Page page(&s.superBlock(), &s.pageCache());
    page.format(PageType::Event, 7, 64, 0, 0);
    std::vector<std::unique_ptr<TransactionLog>> steps;
    steps.push_back(std::make_unique<FlushPageTransactionLog>(s, page, true, false));
    steps.push_back(std::make_unique<ExtractFreePageTransactionLog>(s, 9));
    steps.push_back(std::make_unique<AppendFreePageTransactionLog>(s, 10));
    steps.push_back(std::make_unique<UpdateTrackLastTransactionLog>(s, PageType::Event, 7, 1234));
    steps.push_back(std::make_unique<UpdateTrackFirstTransactionLog>(s, PageType::FreePageList, 5, 6));
    steps.push_back(std::make_unique<DeleteTrackTransactionLog>(s, PageType::Log));
    steps.push_back(std::make_unique<AppendFreePageIntervalTransactionLog>(s, 3, 5));
    steps.push_back(std::make_unique<ChangePageLinkTransactionLog>(s, PageType::Event, nullptr, page, nullptr));
    const std::uint32_t sizes[] = {132, 4, 4, 20, 20, 4, 8, 156};
    const std::uint32_t freeChecksum = s.superBlock().findTrack(PageType::FreePageList)->firstPageChecksum();
    const Texts texts = {"FlushPage 7[header only]",
                         "ExtractFreePage 9",
                         "AppendFreePage 10",
                         "UpdateTrackLast EVNT 7:1234, prev 0:0",
                         "UpdateTrackFirst FREE 5:6, prev 1:" + std::to_string(freeChecksum),
                         "RemoveTrack LOG ",
                         "AppendFreePageInterval 3~5",
                         "ChangePageLinkTransactionLog pre(0), cur(7), next(0)"};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(steps[i]->code(), i + 1);
        EXPECT_EQ(steps[i]->payloadSize(), sizes[i]);
        EXPECT_EQ(steps[i]->toString(), texts[i]);
        // The record round-trips through a page-order buffer.
        std::vector<std::uint8_t> bytes(steps[i]->recordSize());
        Buffer buffer(bytes.data(), bytes.size(), LittleEndian);
        steps[i]->writeRecord(buffer);
        EXPECT_EQ(buffer.getU16(0), i + 1);
        auto back = TransactionLog::create(buffer.getU16(0), s);
        ASSERT_NE(back, nullptr);
        back->readPayload(buffer, 2);
        // How a flush was made is not part of its record.
        EXPECT_EQ(back->toString(), i == 0 ? "FlushPage 7" : texts[i]);
    }
    // UpdateTrackLast payload: type, previous page and checksum, new page and checksum.
    std::vector<std::uint8_t> bytes(22);
    Buffer buffer(bytes.data(), bytes.size(), LittleEndian);
    steps[3]->writeRecord(buffer);
    EXPECT_EQ(std::string(bytes.begin() + 2, bytes.begin() + 6), "EVNT");
    EXPECT_EQ(buffer.getU32(14), 7u);
    EXPECT_EQ(buffer.getU32(18), 1234u);
    EXPECT_EQ(TransactionLog::create(9, s), nullptr);
    EXPECT_EQ(TransactionLog::create(0, s), nullptr);
}

TEST(JournalTest, UnknownRecordEndsTheWalkAsNotApplied) {
    TestStorage s(16);
    s.format();
    FlushScenario f(s);
    // Crash after the extract step, then replace the second record's code.
    s.file().failAfter(2);
    EXPECT_THROW(f.run(), SystemException);
    s.file().stopFailing();
    f.page.release();
    Buffer raw(s.file().bytes().data() + s.superBlock().pageOffset(2), 8192, s.superBlock().pageByteOrder());
    raw.putU16(128 + 6, 99);
    s.reopen();
    s.transactionHandler().recover();
    EXPECT_EQ(s.logTexts(), (Texts{"[JOURNAL] Fail: unknown record code 99", "ROLLBACK: ExtractFreePage " +
                                                                                 std::to_string(f.number)}));
    EXPECT_TRUE(s.allocator().isFree(f.number));
}

TEST(JournalTest, RecordsPastThePageEndStopTheWalk) {
    TestStorage s(16);
    s.format();
    FlushScenario f(s);
    s.file().failAfter(2);
    EXPECT_THROW(f.run(), SystemException);
    s.file().stopFailing();
    f.page.release();
    Buffer raw(s.file().bytes().data() + s.superBlock().pageOffset(2), 128, s.superBlock().pageByteOrder());
    raw.putU32(24, 8191);  // the first record starts one byte before the page end
    s.reopen();
    s.transactionHandler().recover();
    EXPECT_EQ(s.logTexts(), (Texts{"[JOURNAL] Fail: record 0 runs past the journal page",
                                   "[JOURNAL] All transaction failed. Just cleanup journal."}));
}

TEST(JournalTest, DamagedJournalPageIsCorrupted) {
    for (std::size_t field : {std::size_t{0}, std::size_t{60}}) {
        TestStorage s(16);
        s.format();
        Buffer raw(s.file().bytes().data() + s.superBlock().pageOffset(2), 128, s.superBlock().pageByteOrder());
        raw.putU32(field, 0x41414141);
        try {
            s.reopen();
            ADD_FAILURE() << "damaged journal accepted";
        } catch (const VarnelException& e) {
            EXPECT_EQ(e.code(), VarnelException::StorageCorrupted);
        }
    }
}

TEST(JournalTest, UnreadableJournalPageIsRewrittenEmpty) {
    TestStorage s(16);
    s.format();
    const std::uint32_t checksum = handlerOf(s).journalPage().checksum();
    s.file().failReadsAt(s.superBlock().pageOffset(2) + 1024);
    s.reopen();
    s.file().stopFailingReads();
    ASSERT_EQ(s.logTexts().size(), 1u);
    EXPECT_EQ(s.logTexts()[0].rfind("[JOURNAL] page load fail (", 0), 0u) << s.logTexts()[0];
    EXPECT_EQ(s.logTexts()[0].substr(s.logTexts()[0].size() - 12), ") clear logs");
    EXPECT_EQ(handlerOf(s).journalPage().checksum(), checksum);
    EXPECT_EQ(handlerOf(s).journalPage().itemCount(), 0u);
}

TEST(JournalTest, UnreadablePageHeaderCountsAsNotFlushedAndIsWiped) {
    TestStorage s(16);
    s.format();
    FlushScenario f(s);
    s.file().failAfter(3);
    EXPECT_THROW(f.run(), SystemException);
    s.file().stopFailing();
    f.page.release();
    s.reopen();
    s.file().failReadsAt(s.superBlock().pageOffset(f.number));
    s.transactionHandler().recover();
    s.file().stopFailingReads();
    const Texts log = s.logTexts();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].rfind("[TRANSACTION] page header load fail (", 0), 0u) << log[0];
    EXPECT_EQ(log[0].substr(log[0].size() - (13 + std::to_string(f.number).size())),
              ") clear page " + std::to_string(f.number));
    EXPECT_EQ(log[1], "[JOURNAL] Fail: FlushPage " + std::to_string(f.number));
    Buffer raw(s.file().bytes().data() + s.superBlock().pageOffset(f.number), 128, s.superBlock().pageByteOrder());
    EXPECT_TRUE(PageType::fromBytes(raw.pointer(0, 4)) == PageType::Null);
}

TEST(JournalTest, WithoutFreePagesTheJournalTakesTheLastMediaPage) {
    TestStorage s(8);
    s.format();
    // A two-page media track, then every other page in use.
    Page a(&s.superBlock(), &s.pageCache());
    Page b(&s.superBlock(), &s.pageCache());
    const std::uint32_t na = s.allocatePage(PageType::Media);
    a.format(PageType::Media, na, 64, 0, 0);
    PageFlushTransaction(s, a).run();
    const std::uint32_t nb = s.allocatePage(PageType::Media);
    b.format(PageType::Media, nb, 64, na, a.checksum());
    a.setNext(nb);
    a.setNextChecksum(b.checksum());
    a.saveDirty();
    PageFlushTransaction(s, b).run();
    for (std::uint32_t n; (n = s.allocator().extract()) != 0;) {
        s.allocator().consume(n);
    }
    s.allocator().flush();
    a.release();
    b.release();
    // The journal page is gone with its entry (a journal page that is still
    // there would be taken back).
    auto wipeJournal = [&] {
        const std::uint32_t number = s.superBlock().findTrack(PageType::Journal)->firstPage();
        s.superBlock().removeTrack(PageType::Journal);
        s.superBlock().save();
        Page wipe(&s.superBlock(), &s.pageCache());
        wipe.format(PageType::Null, number, 0, 0, 0);
        wipe.save();
        wipe.release();
    };
    wipeJournal();
    s.reopen();
    auto journal = s.superBlock().findTrack(PageType::Journal);
    ASSERT_TRUE(journal.has_value());
    EXPECT_EQ(journal->firstPage(), nb);
    auto media = s.superBlock().findTrack(PageType::Media);
    EXPECT_EQ(media->lastPage(), na);
    EXPECT_EQ(media->lastPageChecksum(), media->firstPageChecksum());
    Page check(&s.superBlock(), &s.pageCache());
    check.loadHeader(na);
    EXPECT_EQ(check.next(), 0u);
    EXPECT_EQ(check.nextChecksum(), 0u);
    check.release();
    // Without free pages and a one-page media track there is no page for a journal.
    wipeJournal();
    EXPECT_THROW(s.reopen(), VarnelException);
}

TEST(JournalTest, ChangePageLinkOfACrashedCommitIsKept) {
    TestStorage s(16);
    s.format();
    Page a(&s.superBlock(), &s.pageCache());
    Page b(&s.superBlock(), &s.pageCache());
    Page c(&s.superBlock(), &s.pageCache());
    a.format(PageType::Event, 5, 64, 0, 0);
    c.format(PageType::Event, 7, 64, 0, 0);
    b.format(PageType::Event, 6, 64, 5, a.checksum());
    b.setNext(7);
    b.setNextChecksum(c.checksum());
    a.setNext(6);
    a.setNextChecksum(b.checksum());
    c.setPrevious(6);
    c.setPreviousChecksum(b.checksum());
    a.save();
    b.save();
    c.save();
    b.setItemCount(3);
    Transaction t(s);
    t.add(std::make_unique<ChangePageLinkTransactionLog>(s, PageType::Event, &a, b, &c));
    // Crash before the journal is cleared: one journal write and three header writes went through.
    s.file().failAfter(4);
    EXPECT_THROW(t.run(), SystemException);
    s.file().stopFailing();
    a.release();
    b.release();
    c.release();
    s.reopen();
    s.file().failAfter(100);
    s.transactionHandler().recover();
    EXPECT_EQ(s.logTexts(), (Texts{"[JOURNAL] All transaction succeeds except clear log. (commited)"}));
}

TEST(JournalTest, ChangePageLinkRollbackRelinksTheNeighbours) {
    TestStorage s(16);
    s.format();
    Page a(&s.superBlock(), &s.pageCache());
    Page b(&s.superBlock(), &s.pageCache());
    Page c(&s.superBlock(), &s.pageCache());
    a.format(PageType::Event, 5, 64, 0, 0);
    b.format(PageType::Event, 6, 64, 0, 0);
    c.format(PageType::Event, 7, 64, 0, 0);
    a.save();
    b.save();
    c.save();
    const std::uint32_t oldChecksum = b.checksum();
    // A step that is recorded as applied: b's header on disk is the recorded one.
    ChangePageLinkTransactionLog step(s, PageType::Event, &a, b, &c);
    EXPECT_TRUE(step.isApplied());
    step.rollback();
    a.release();
    b.release();
    c.release();
    s.pageCache().clear();
    Page check(&s.superBlock(), &s.pageCache());
    check.loadHeader(5);
    EXPECT_EQ(check.next(), 7u);
    const std::uint32_t aChecksum = check.checksum();
    check.loadHeader(7);
    EXPECT_EQ(check.previous(), 5u);
    EXPECT_EQ(check.previousChecksum(), aChecksum);
    check.loadHeader(6);
    EXPECT_NE(check.checksum(), oldChecksum);
    EXPECT_EQ(check.itemCount(), 0u);
    EXPECT_EQ(check.previous(), 0u);
    EXPECT_TRUE(check.type() == PageType::Event);

    // A neighbour of another type makes the rollback fail.
    Page d(&s.superBlock(), &s.pageCache());
    d.format(PageType::Media, 8, 64, 0, 0);
    d.save();
    d.release();
    Page cur(&s.superBlock(), &s.pageCache());
    cur.load(6);
    Page prev(&s.superBlock(), &s.pageCache());
    prev.load(8);
    ChangePageLinkTransactionLog wrong(s, PageType::Event, &prev, cur, nullptr);
    prev.release();
    try {
        wrong.rollback();
        FAIL() << "rollback linked pages of another type";
    } catch (const SystemException& e) {
        EXPECT_STREQ(e.message(),
                     "Invalid argument (ChangePageLinkTransactionLog rollback prev page type diff pre(8), cur(6), next(0))");
    }
}

} // namespace
} // namespace ostrel
