#include "ostrel-storage/StorageTool.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/MediaElement.h"
#include "storage/RecordingTable.h"
#include "storage/RecordingTableElement.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/pager/Page.h"
#include "storage/pager/SuperBlock.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace ostrel {
namespace {

struct Directory {
    Directory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-check-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = pattern;
    }
    ~Directory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

struct Result {
    int status;
    std::string out;
};

Result run(std::vector<std::string> args) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = StorageTool().run(args, out, err);
    return Result{status, out.str() + err.str()};
}

// Formats a small storage file and records frames spanning several pages;
// answers the media track's last page.
std::uint32_t recordFile(const std::string& path, std::uint64_t& pageOffset, std::uint32_t& pageSize) {
    const int fd = ::open(path.c_str(), O_CREAT | O_RDWR, 0644);
    EXPECT_EQ(::posix_fallocate(fd, 0, 8 << 20), 0);
    ::close(fd);
    FixedSizeFileStorage storage;
    storage.open(path, true, 2);
    StorageFormatOptions options;
    options.pageSize = 65536;
    options.recorderType = RecorderType::Flac;
    storage.format(options);
    std::vector<std::uint8_t> payload(9000, 0x11);
    for (std::uint32_t i = 0; i < 40; ++i) {
        MediaElement frame;
        frame.setMediaType(MediaElement::Video);
        frame.setChannelMask(BitMask32(1));
        frame.setGopID(i + 1);
        frame.setDateTime(DateTime(2024, 3, 1, 10, 0, static_cast<int>(i)));
        frame.setDataSize(static_cast<std::uint32_t>(payload.size()));
        frame.setPayload(payload.data());
        storage.writeTimeline(frame, storage.writeMedia(frame));
    }
    const std::uint32_t last = storage.findTrack(PageType::Media)->lastPage();
    pageOffset = storage.superBlock().pageOffset(last);
    pageSize = storage.superBlock().pageSize();
    storage.close(true);
    return last;
}

TEST(StorageCheckRepairTest, CheckReportsDamageThatRepairMends) {
    Directory dir;
    const std::string path = dir.path + "/s.strg";
    std::uint64_t offset = 0;
    std::uint32_t pageSize = 0;
    recordFile(path, offset, pageSize);
    Result result = run({"check", path});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out.rfind("ok (8388608 bytes, ", 0), 0u) << result.out;
    EXPECT_NE(result.out.find(" MB/s)\n"), std::string::npos) << result.out;

    // The media track's last page loses its identity (its checksum word).
    const int fd = ::open(path.c_str(), O_RDWR);
    std::uint32_t checksum = 0;
    ASSERT_EQ(::pread(fd, &checksum, 4, static_cast<off_t>(offset + 60)), 4);
    checksum ^= 0xA5A5A5A5u;
    ASSERT_EQ(::pwrite(fd, &checksum, 4, static_cast<off_t>(offset + 60)), 4);
    ::close(fd);

    result = run({"check", path});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find(path + ": "), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("ok"), std::string::npos);

    result = run({"repair", path});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find("MDEA Type recover"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("[RECOVERY]"), std::string::npos) << result.out;

    result = run({"check", path});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out.rfind("ok (", 0), 0u) << result.out;
    result = run({"check", "--quick", path});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, "ok\n");
}

// A recording table whose last entry begins a second section at a frame of
// the first (as a resume used to leave it): the open's own check accepts it,
// the table's check does not.
TEST(StorageCheckRepairTest, CheckFindsARecordingTableThatMisdescribesTheTimeline) {
    Directory dir;
    const std::string path = dir.path + "/s.strg";
    std::uint64_t offset = 0;
    std::uint32_t pageSize = 0;
    recordFile(path, offset, pageSize);
    for (const char* depth : {"", "--full"}) {
        std::vector<std::string> args = {"check", path};
        if (*depth != '\0') {
            args.insert(args.begin() + 1, depth);
        }
        const Result result = run(args);
        EXPECT_EQ(result.status, 0) << result.out;
        EXPECT_EQ(result.out.rfind("ok (", 0), 0u) << result.out;
    }
    {
        FixedSizeFileStorage storage;
        ASSERT_TRUE(storage.open(path, true, 2));
        TrackIterator timeline(storage, PageType::Timeline);
        TimelineElement element;
        PagePosition position;
        for (bool more = timeline.first(); more; more = timeline.next()) {
            timeline.read(element);
            position = timeline.position();
            if (element.dateTime() == DateTime(2024, 3, 1, 10, 0, 30)) {
                break;
            }
        }
        TrackIterator table(storage, PageType::RecordingTable);
        ASSERT_TRUE(table.first());
        RecordingTableElement entry;
        table.read(entry);
        entry.setSectionID(2);
        entry.setDateTime(element.dateTime());
        entry.setPosition(position);
        entry.setMediaID(element.mediaID());
        {
            Mutex::ScopedLock lock(storage.writeMutex());
            storage.recordingTable().write(entry);
            storage.recordingTable().flush();
        }
        storage.close(false);
    }
    for (const char* depth : {"", "--full"}) {
        std::vector<std::string> args = {"check", path};
        if (*depth != '\0') {
            args.insert(args.begin() + 1, depth);
        }
        const Result result = run(args);
        EXPECT_EQ(result.status, 1) << depth;
        EXPECT_NE(result.out.find(path + ": recording table: entry"), std::string::npos) << result.out;
    }
    EXPECT_EQ(run({"check", "--deep", path}).status, 2);
}

// The damage a user met: one flipped bit in a link checksum of a media page
// in the middle of the track. check names the page and the field; repair
// takes the page out of use and says what it cost; check then passes, and
// --json says the same to a script.
TEST(StorageCheckRepairTest, AFlippedLinkChecksumIsFoundAndRepaired) {
    Directory dir;
    const std::string path = dir.path + "/s.strg";
    std::uint64_t offset = 0;
    std::uint32_t pageSize = 0;
    recordFile(path, offset, pageSize);
    std::uint32_t page = 0;
    {
        FixedSizeFileStorage storage;
        ASSERT_TRUE(storage.open(path, false, Storage::CheckOnly));
        // The second page of the media track.
        Page first(&storage.superBlock(), &storage.pageCache());
        first.load(storage.findTrack(PageType::Media)->firstPage(), true);
        page = first.next();
        offset = storage.superBlock().pageOffset(page);
        storage.close(false);
    }
    ASSERT_NE(page, 0u);
    const int fd = ::open(path.c_str(), O_RDWR);
    std::uint32_t checksum = 0;
    ASSERT_EQ(::pread(fd, &checksum, 4, static_cast<off_t>(offset + 68)), 4);
    checksum ^= 0x100;
    ASSERT_EQ(::pwrite(fd, &checksum, 4, static_cast<off_t>(offset + 68)), 4);
    ::close(fd);

    Result result = run({"check", path});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find(path + ": page " + std::to_string(page) + " offset 68: MDEA: "), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find(path + ": 1 finding ("), std::string::npos) << result.out;
    result = run({"check", "--json", path});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.out.find("\"ok\":false"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("{\"page\":" + std::to_string(page) + ",\"offset\":68,\"track\":\"MDEA\""),
              std::string::npos)
        << result.out;
    // The open-time check does not look at the middle of a track.
    EXPECT_EQ(run({"check", "--quick", path}).status, 0);

    result = run({"repair", path});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find("BAD: page " + std::to_string(page) + " taken out of use"), std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("lost: channel 1 video: "), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("repaired: the full check passes"), std::string::npos) << result.out;
    result = run({"check", path});
    EXPECT_EQ(result.status, 0) << result.out;
    result = run({"check", "--json", path});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find("\"ok\":true"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\"findings\":[]"), std::string::npos) << result.out;
    // A second repair has nothing to do.
    result = run({"repair", path});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out.find("repaired"), std::string::npos) << result.out;
}

// A side file beside the storage means a repair was cut short: the check
// does not call the file ok until the repair is finished (here the side file
// is junk, as one cut short before it was complete, and is dropped).
TEST(StorageCheckRepairTest, AnInterruptedRepairIsNamedByTheCheckAndFinishedByRepair) {
    Directory dir;
    const std::string path = dir.path + "/s.strg";
    std::uint64_t offset = 0;
    std::uint32_t pageSize = 0;
    recordFile(path, offset, pageSize);
    {
        const int fd = ::open((path + ".repair").c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_EQ(::write(fd, "OSRP", 4), 4);
        ::close(fd);
    }
    Result result = run({"check", path});
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_NE(result.out.find("a repair was interrupted"), std::string::npos) << result.out;

    result = run({"repair", path});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_FALSE(std::filesystem::exists(path + ".repair"));
    result = run({"check", path});
    EXPECT_EQ(result.status, 0) << result.out;
}

TEST(StorageCheckRepairTest, MissingFileIsReported) {
    EXPECT_EQ(run({"check", "/nonexistent/ostrel.strg"}).status, 1);
    EXPECT_EQ(run({"repair", "/nonexistent/ostrel.strg"}).status, 1);
    EXPECT_EQ(run({"check"}).status, 2);
}

} // namespace
} // namespace ostrel
