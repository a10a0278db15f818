#include "storage/BadTrack.h"
#include "storage/InfoTrack.h"
#include "storage/LogElement.h"
#include "storage/LogTrack.h"
#include "storage/TextInElement.h"
#include "storage/TextInTrack.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/pager/SuperBlock.h"
#include "storage/support/StorageFixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using test::StorageFixture;
using test::at;

PagePosition writeText(StorageFixture& f, const DateTime& time, const std::string& text, bool endOfRun = false) {
    TextInElement record;
    record.setChannelMask(BitMask32().set(1));
    record.setDateTime(time);
    record.setText(text);
    record.setFlags(BitMask32(endOfRun ? TextInTrack::EndOfRunFlag : 0));
    const PagePosition position = f.storage->writeTextIn(record);
    f.storage->writeTimeline(record, position, false);
    return position;
}

std::vector<TextInElement> textRecords(Storage& storage) {
    std::vector<TextInElement> records;
    TrackIterator it(storage, PageType::TextIn);
    for (bool more = it.first(); more; more = it.next()) {
        TextInElement record;
        it.read(record);
        records.push_back(record);
    }
    return records;
}

TEST(SmallTracksTest, ADateOrTimeGoingBackEndsTheTextRunWithAStopRecord) {
    StorageFixture f;
    const PagePosition first = writeText(f, at(0), "line 1");
    writeText(f, at(5), "line 2");
    DateTime nextDay(2024, 3, 2, 9, 0, 0);
    writeText(f, nextDay, "line 3");
    writeText(f, DateTime(2024, 3, 2, 8, 0, 0), "line 4");
    const std::vector<TextInElement> records = textRecords(*f.storage);
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[2].text(), "Date Time Changed");
    EXPECT_EQ(records[2].dateTime(), at(5));
    EXPECT_EQ(records[2].runStart(), first);
    EXPECT_EQ(records[3].text(), "line 3");
    EXPECT_EQ(records[4].text(), "Date Time Changed");
    EXPECT_EQ(records[5].text(), "line 4");
    EXPECT_EQ(records[2].mediaID(), records[3].mediaID());
    const std::vector<TextInRun> runs = f.storage->textInTrack().runs();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].first, first);
    EXPECT_EQ(runs[0].from, at(0));
    EXPECT_EQ(runs[0].to, at(5));
    f.reopen();
    const std::vector<TextInRun> reopened = f.storage->textInTrack().runs();
    ASSERT_EQ(reopened.size(), 3u);
    EXPECT_EQ(reopened[0].first, first);
    EXPECT_EQ(reopened[0].to, at(5));
    EXPECT_EQ(reopened[2].from, DateTime(2024, 3, 2, 8, 0, 0));
}

TEST(SmallTracksTest, ReopeningMarksTheLastTextRecordAsTheEndOfItsRunOnce) {
    StorageFixture f;
    writeText(f, at(0), "a");
    const PagePosition last = writeText(f, at(1), "b");
    f.reopen();
    EXPECT_EQ(textRecords(*f.storage).back().flags().word() & TextInTrack::EndOfRunFlag,
              TextInTrack::EndOfRunFlag);
    f.storage->close(true);
    const std::vector<std::uint8_t> before = f.memory.file.bytes();
    const std::size_t offset = 4096 + std::size_t{last.number - 1} * 8192;
    f.storage = f.memory.storage();
    ASSERT_TRUE(f.storage->open("fixture.strg", true, 2));
    EXPECT_EQ(0, std::memcmp(before.data() + offset, f.memory.file.bytes().data() + offset, 8192));
}

TEST(SmallTracksTest, InfoKeyWrittenTwiceKeepsOneRecord) {
    StorageFixture f;
    f.storage->writeInfo("LastVideoMediaID", "10", false);
    f.storage->writeInfo("LastVideoMediaID", "20", true);
    f.storage->writeInfo("AKeyLongerThanThirtyOneCharactersIsCut", "value", true);
    EXPECT_EQ(f.storage->infoTrack().currentPage()->itemCount(), 2u);
    f.reopen();
    std::string value;
    ASSERT_TRUE(f.storage->readInfo("LastVideoMediaID", value));
    EXPECT_EQ(value, "20");
    ASSERT_TRUE(f.storage->readInfo("AKeyLongerThanThirtyOneCharacte", value));
    EXPECT_EQ(value, "value");
}

TEST(SmallTracksTest, InfoRecordsSpillIntoANewPage) {
    StorageFixture f;
    const std::uint32_t perPage = (8192 - 128) / 64;
    for (std::uint32_t i = 0; i <= perPage; ++i) {
        f.storage->writeInfo("key" + std::to_string(i), std::to_string(i), false);
    }
    // An existing key of the first page: its new value goes to the last page.
    f.storage->writeInfo("key0", "new", false);
    f.reopen();
    std::string value;
    ASSERT_TRUE(f.storage->readInfo("key0", value));
    EXPECT_EQ(value, "new");
    ASSERT_TRUE(f.storage->readInfo("key" + std::to_string(perPage), value));
}

TEST(SmallTracksTest, LongLogMessagesArePiecesOfOneMessage) {
    StorageFixture f;
    const std::string text(100, 'x');
    f.storage->log(text, 1, true);
    const LogTrack& log = f.storage->logTrack();
    const CircularPage& page = log.page();
    std::vector<LogElement> pieces;
    for (std::uint32_t i = page.itemCount() - 3; i < page.itemCount(); ++i) {
        LogElement record;
        record.readAt(page.buffer(), page.itemOffset(i));
        pieces.push_back(record);
    }
    EXPECT_EQ(pieces[0].piece(), 0);
    EXPECT_EQ(pieces[1].piece(), 1);
    EXPECT_EQ(pieces[2].piece(), 2);
    EXPECT_EQ(pieces[0].number(), pieces[2].number());
    EXPECT_EQ(pieces[0].level(), 1);
    EXPECT_EQ(pieces[0].text().size(), 47u);
    EXPECT_EQ(pieces[2].text().size(), 6u);
    EXPECT_EQ(f.storage->readLog().back().text, text);
}

TEST(SmallTracksTest, AFullLogRingKeepsTheNewestRecords) {
    StorageFixture f;
    const std::uint32_t slots = (8192 - 128) / 64;
    for (std::uint32_t i = 0; i < slots + 10; ++i) {
        f.storage->log("message " + std::to_string(i), 2, false);
    }
    f.reopen();
    const std::vector<LogMessage> log = f.storage->readLog();
    EXPECT_EQ(f.storage->logTrack().page().itemCount(), slots);
    bool found = false;
    for (std::size_t i = 0; i + 1 < log.size(); ++i) {
        EXPECT_EQ(log[i + 1].number, log[i].number + 1);
        found = found || log[i].text == "message " + std::to_string(slots + 9);
    }
    EXPECT_TRUE(found);
    EXPECT_NE(log.front().text, "message 0");
}

TEST(SmallTracksTest, BadTrackFillsTwoPagesThenRefuses) {
    StorageFixture f(20);
    BadTrack& bad = f.storage->badTrack();
    const std::uint32_t perPage = (8192 - 128) / 4;
    for (std::uint32_t i = 0; i < perPage; ++i) {
        ASSERT_TRUE(f.storage->addBadPage(1000 + i));
    }
    std::uint32_t added = 0;
    while (f.storage->addBadPage(5000 + added)) {
        ++added;
    }
    EXPECT_EQ(added, perPage - 1);
    EXPECT_TRUE(bad.isFull());
    EXPECT_FALSE(f.storage->addBadPage(9999));
    EXPECT_EQ(bad.pages().size(), 2 * perPage);
    f.storage->close(true);
    f.storage = f.memory.storage();
    try {
        f.storage->open("fixture.strg", true, 2);
        FAIL() << "a storage with a full bad-page track opened";
    } catch (const VarnelException& e) {
        EXPECT_EQ(e.code(), VarnelException::BadPageFull);
    }
}

} // namespace
} // namespace ostrel
