#include "storage/VarnelException.h"
#include "storage/pager/SuperBlock.h"
#include "storage/support/RecordingStorageFile.h"

#include <gtest/gtest.h>

#include <cstring>

namespace ostrel {
namespace {

using test::RecordingStorageFile;

constexpr std::uint32_t PageSize = 8192;

StorageFormatOptions options(const std::string& description = "") {
    StorageFormatOptions result;
    result.repositoryID = UniqueID();
    result.pageSize = PageSize;
    result.description = description;
    result.recorderType = RecorderType::Flac;
    return result;
}

struct Formatted {
    explicit Formatted(std::uint32_t pages = 10) : file(8192 + std::uint64_t{pages} * PageSize) {
        block.setFiles(&file, &file, 0, 512);
        block.format(options("first"), SuperBlock::pageCountFor(file.size(), PageSize), 77);
        block.save();
    }
    RecordingStorageFile file;
    SuperBlock block;
};

std::uint32_t bigAt(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return std::uint32_t{bytes[offset]} << 24 | std::uint32_t{bytes[offset + 1]} << 16 |
           std::uint32_t{bytes[offset + 2]} << 8 | bytes[offset + 3];
}

void putBig(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
    bytes[offset] = static_cast<std::uint8_t>(value >> 24);
    bytes[offset + 1] = static_cast<std::uint8_t>(value >> 16);
    bytes[offset + 2] = static_cast<std::uint8_t>(value >> 8);
    bytes[offset + 3] = static_cast<std::uint8_t>(value);
}

TEST(SuperBlockTest, PageCountComesFromTheFileSize) {
    EXPECT_EQ(SuperBlock::pageCountFor(8192 + 3ull * 524288 + 100, 524288), 3u);
    EXPECT_EQ(SuperBlock::pageCountFor(8192 + 524287, 524288), 0u);
    EXPECT_EQ(SuperBlock::pageCountFor(4000, 8192), 0u);
    EXPECT_EQ(SuperBlock::pageCountFor(1 << 20, 0), 0u);

    RecordingStorageFile file(8192 + 3ull * 524288 + 100);
    SuperBlock block;
    block.setFiles(&file, &file, 0, 512);
    StorageFormatOptions big = options();
    big.pageSize = 524288;
    block.format(big, SuperBlock::pageCountFor(file.size(), big.pageSize), 1);
    EXPECT_EQ(block.pageOffset(1), 4096u);
    EXPECT_EQ(block.pageOffset(3) + 524288, 4096u + 3 * 524288u);
    EXPECT_THROW(block.pageOffset(4), VarnelException);
    EXPECT_THROW(block.pageOffset(0), VarnelException);
}

TEST(SuperBlockTest, FormatWritesTheExactLayout) {
    Formatted f;
    const auto& bytes = f.file.bytes();
    EXPECT_EQ(std::memcmp(bytes.data(), "Varnel Storage 1", 16), 0);
    EXPECT_EQ(bytes[16], 0);
    EXPECT_EQ(bytes[19], 4);
    EXPECT_EQ(bigAt(bytes, 52), PageSize);
    EXPECT_EQ(bigAt(bytes, 56), 10u);
    EXPECT_EQ(bigAt(bytes, 60), ByteBuffer::hostOrder() == LittleEndian ? 0xFFFFFFFFu : 0u);
    EXPECT_EQ(bigAt(bytes, 64), 4096u);
    EXPECT_EQ(bigAt(bytes, 68), 0u);
    EXPECT_EQ(bigAt(bytes, 116), 77u);
    EXPECT_EQ(bigAt(bytes, 128), 0u);
    EXPECT_EQ(bigAt(bytes, 132), f.block.checksum());
    EXPECT_EQ(std::memcmp(bytes.data() + 140, "FLAC", 4), 0);
    EXPECT_EQ(std::memcmp(bytes.data() + 20, f.block.repositoryID().data(), 16), 0);
    EXPECT_EQ(std::memcmp(bytes.data() + 36, f.block.storageID().data(), 16), 0);
    EXPECT_EQ(bigAt(bytes, 520), 0u);
    // The formatted time is the serialized DateTime: year, month, day, zone, hour, minute, second.
    EXPECT_EQ((bytes[72] << 8 | bytes[73]), f.block.formattedTime().year());
    EXPECT_EQ(bytes[74], f.block.formattedTime().month());
}

TEST(SuperBlockTest, LoadReadsBackWhatFormatWrote) {
    Formatted f;
    f.block.addTrack(PageType::FreePageList, BitMask32(0xFFFFFFFF), 1, 1234);
    f.block.save();
    SuperBlock loaded;
    loaded.load(&f.file, &f.file, 0, 512);
    ASSERT_TRUE(loaded.isValid());
    EXPECT_EQ(loaded.version(), 4u);
    EXPECT_TRUE(loaded.repositoryID() == f.block.repositoryID());
    EXPECT_TRUE(loaded.storageID() == f.block.storageID());
    EXPECT_EQ(loaded.pageSize(), PageSize);
    EXPECT_EQ(loaded.pageCount(), 10u);
    EXPECT_EQ(loaded.pageByteOrder(), ByteBuffer::hostOrder());
    EXPECT_EQ(loaded.firstItemID(), 77u);
    EXPECT_EQ(loaded.checksum(), f.block.checksum());
    EXPECT_TRUE(loaded.recorderType() == RecorderType::Flac);
    EXPECT_TRUE(loaded.formattedTime() == f.block.formattedTime());
    EXPECT_EQ(loaded.description(), "first");
    EXPECT_FALSE(loaded.isDirty());
    auto item = loaded.findTrack(PageType::FreePageList);
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->firstPage(), 1u);
    EXPECT_EQ(item->lastPageChecksum(), 1234u);
    EXPECT_EQ(item->channelMask().word(), 0xFFFFFFFFu);
}

TEST(SuperBlockTest, DescriptionIsCutTo31Characters) {
    RecordingStorageFile file(8192 + 4 * PageSize);
    SuperBlock block;
    block.setFiles(&file, &file, 0, 512);
    block.format(options(std::string(40, 'x')), 4, 1);
    EXPECT_EQ(block.description(), std::string(31, 'x'));
    block.save();
    EXPECT_EQ(file.bytes()[80 + 30], 'x');
    EXPECT_EQ(file.bytes()[80 + 31], 0);
}

TEST(SuperBlockTest, InvalidImagesLoadAsNotFormatted) {
    struct Case {
        const char* name;
        std::size_t offset;
        std::uint32_t value;
    };
    const Case cases[] = {
        {"wrong magic", 0, 0x41414141},
        {"version 5", 16, 5},
        {"page size 0", 52, 0},
        {"page size 6144", 52, 6144},
    };
    for (const Case& c : cases) {
        Formatted f;
        putBig(f.file.bytes(), c.offset, c.value);
        SuperBlock loaded;
        EXPECT_NO_THROW(loaded.load(&f.file, &f.file, 0, 512)) << c.name;
        EXPECT_FALSE(loaded.isValid()) << c.name;
        EXPECT_FALSE(loaded.isAbleTo(VarnelAbility::TimeStamp)) << c.name;
        EXPECT_EQ(loaded.pageCount(), 0u) << c.name;
    }
    RecordingStorageFile zeros(8192 + PageSize);
    SuperBlock empty;
    empty.load(&zeros, &zeros, 0, 512);
    EXPECT_FALSE(empty.isValid());
    RecordingStorageFile tiny(512);
    empty.load(&tiny, &tiny, 0, 512);
    EXPECT_FALSE(empty.isValid());
}

TEST(SuperBlockTest, DamagedGeometryIsReportedAsCorrupted) {
    struct Case {
        const char* name;
        std::size_t offset;
        std::uint32_t value;
    };
    const Case cases[] = {
        {"pages past the end of the file", 56, 11},
        {"huge page count", 56, 0xFFFFFFFF},
        {"first page inside the superblock", 64, 512},
        {"misaligned first page", 64, 4096 + 512},
        {"track count past the list", 520, 75},
        {"track page past the page count", 528 + 8, 11},
        {"track page zero", 528 + 12, 0},
    };
    for (const Case& c : cases) {
        Formatted f;
        f.block.addTrack(PageType::FreePageList, BitMask32(0xFFFFFFFF), 1, 5);
        f.block.save();
        putBig(f.file.bytes(), c.offset, c.value);
        SuperBlock loaded;
        try {
            loaded.load(&f.file, &f.file, 0, 512);
            ADD_FAILURE() << c.name << " was accepted";
        } catch (const VarnelException& e) {
            EXPECT_EQ(e.code(), VarnelException::StorageCorrupted) << c.name;
            EXPECT_STREQ(e.message(), "Storage corrupted");
        }
    }
}

TEST(SuperBlockTest, TruncatedFileIsCorrupted) {
    Formatted f;
    f.file.bytes().resize(8192 + 9 * PageSize);
    SuperBlock loaded;
    EXPECT_THROW(loaded.load(&f.file, &f.file, 0, 512), VarnelException);
}

TEST(SuperBlockTest, AbilitiesFollowTheVersion) {
    for (std::uint32_t version : {1u, 2u, 3u, 4u}) {
        Formatted f;
        putBig(f.file.bytes(), 16, version);
        SuperBlock loaded;
        loaded.load(&f.file, &f.file, 0, 512);
        EXPECT_EQ(loaded.isAbleTo(VarnelAbility::TimeStamp), version > 1);
        EXPECT_EQ(loaded.isAbleTo(VarnelAbility::StorageLog), version > 2);
        EXPECT_EQ(loaded.isAbleTo(VarnelAbility::Journaling), version > 2);
        EXPECT_EQ(loaded.isAbleTo(VarnelAbility::SingleTrackList), version > 2);
        EXPECT_EQ(loaded.isAbleTo(VarnelAbility::Reserved3), version > 2);
        EXPECT_FALSE(loaded.isAbleTo(static_cast<VarnelAbility>(7)));
    }
}

TEST(SuperBlockTest, LegacyTrackListCopyWinsWhenNewer) {
    Formatted f;
    f.block.addTrack(PageType::Timeline, BitMask32(0xFFFFFFFF), 3, 30);
    f.block.save();
    auto& bytes = f.file.bytes();
    putBig(bytes, 16, 2);
    // The copy at 2304 has a greater sequence and lists the media track instead.
    std::vector<std::uint8_t> copy(bytes.begin() + 512, bytes.begin() + 2304);
    copy[7] = 9;
    std::memcpy(copy.data() + 16, "MDEA", 4);
    std::copy(copy.begin(), copy.end(), bytes.begin() + 2304);
    SuperBlock loaded;
    loaded.load(&f.file, &f.file, 0, 512);
    EXPECT_FALSE(loaded.hasTrack(PageType::Timeline));
    EXPECT_TRUE(loaded.hasTrack(PageType::Media));

    // Version 3 ignores the copy.
    putBig(bytes, 16, 3);
    loaded.load(&f.file, &f.file, 0, 512);
    EXPECT_TRUE(loaded.hasTrack(PageType::Timeline));
}

TEST(SuperBlockTest, TrackListOperations) {
    Formatted f;
    SuperBlock& b = f.block;
    b.addTrack(PageType::FreePageList, BitMask32(0xFFFFFFFF), 1, 11);
    b.addTrack(PageType::Journal, BitMask32(0xFFFFFFFF), 2, 22);
    b.addTrack(PageType::Timeline, BitMask32(0xFFFFFFFF), 3, 33);
    b.save();
    ASSERT_EQ(b.trackCount(), 3u);

    // Setting a last page to the values it has does not dirty the image.
    b.setTrackLast(PageType::Timeline, 3, 33);
    EXPECT_FALSE(b.isDirty());
    b.setTrackLast(PageType::Timeline, 4, 44);
    EXPECT_TRUE(b.isDirty());
    TrackListItem item;
    ASSERT_EQ(b.findTrack(PageType::Timeline, item), 2);
    EXPECT_EQ(item.firstPage(), 3u);
    EXPECT_EQ(item.lastPage(), 4u);
    EXPECT_EQ(item.lastPageChecksum(), 44u);

    // A type without an entry gets one with the page as first and last.
    b.setTrackFirst(PageType::Media, 5, 55);
    ASSERT_EQ(b.findTrack(PageType::Media, item), 3);
    EXPECT_EQ(item.firstPage(), 5u);
    EXPECT_EQ(item.lastPage(), 5u);

    // Removing a middle entry moves the later ones down.
    b.removeTrack(PageType::Journal);
    ASSERT_EQ(b.trackCount(), 3u);
    EXPECT_EQ(b.findTrack(PageType::Timeline, item), 1);
    EXPECT_EQ(b.findTrack(PageType::Media, item), 2);
    // Removing the last entry only decrements; removing a missing type changes nothing.
    b.removeTrack(PageType::Media);
    EXPECT_EQ(b.trackCount(), 2u);
    b.save();
    b.removeTrack(PageType::Event);
    EXPECT_EQ(b.trackCount(), 2u);
    EXPECT_FALSE(b.isDirty());

    // setTrack overwrites the entry of the same type.
    b.setTrack(TrackListItem(PageType::Timeline, BitMask32(1), 7, 77));
    ASSERT_EQ(b.findTrack(PageType::Timeline, item), 1);
    EXPECT_EQ(item.firstPage(), 7u);
    EXPECT_EQ(item.channelMask().word(), 1u);
}

TEST(SuperBlockTest, SaveHeaderWritesOnlyTheFieldsBeforeTheTrackList) {
    Formatted f;
    f.file.writes().clear();
    f.block.setBootTime(DateTime(2020, 1, 2, 3, 4, 5), 99);
    f.block.saveHeader();
    ASSERT_EQ(f.file.writes().size(), 1u);
    EXPECT_EQ(f.file.writes()[0], (RecordingStorageFile::Write{0, 512}));
    EXPECT_EQ(bigAt(f.file.bytes(), 128), 99u);
    // The marks stay, so the next full save still writes the image.
    f.block.save();
    ASSERT_EQ(f.file.writes().size(), 2u);
    EXPECT_EQ(f.file.writes()[1], (RecordingStorageFile::Write{0, 4096}));
    f.block.save();
    EXPECT_EQ(f.file.writes().size(), 2u);
}

TEST(SuperBlockTest, FailedSaveKeepsTheChanges) {
    Formatted f;
    f.block.setPageCount(9);
    f.file.failAfter(0);
    EXPECT_THROW(f.block.save(), SystemException);
    EXPECT_TRUE(f.block.isDirty());
    f.file.stopFailing();
    f.block.save();
    EXPECT_EQ(bigAt(f.file.bytes(), 56), 9u);
}

} // namespace
} // namespace ostrel
