#include "base/File.h"
#include "base/UniqueID.h"
#include "ostrel-storage/StorageTool.h"
#include "storage/EventElement.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/MediaElement.h"
#include "storage/Recorder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace ostrel {
namespace {

// A fresh directory for the test's files, removed with them.
struct Directory {
    Directory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-tool-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = pattern;
    }
    ~Directory() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result run(std::vector<std::string> args) {
    std::ostringstream out;
    std::ostringstream err;
    const int status = StorageTool().run(args, out, err);
    return Result{status, out.str(), err.str()};
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(StorageToolTest, SizesAreWholeBlocksPlusOne) {
    EXPECT_EQ(StorageTool::fileSizeFor("1.0"), 1000341504u);
    EXPECT_EQ(StorageTool::fileSizeFor("0.5"), 500170752u);
    EXPECT_EQ(StorageTool::fileSizeFor("1"), 1000341504u);
    for (const char* bad : {"", "abc", "-1", "0", "1e400", "1.5x", "nan", "inf"}) {
        EXPECT_EQ(StorageTool::fileSizeFor(bad), 0u) << bad;
    }
}

TEST(StorageToolTest, FormatCreatesAndFormatsTheFile) {
    Directory dir;
    const std::string path = dir.file("site 01.strg");
    const UniqueID repository;
    const Result formatted =
        run({"format", "--repository", repository.toString(), "--page-size", "8192", path, "0.0002"});
    ASSERT_EQ(formatted.status, 0) << formatted.err;
    EXPECT_EQ(File::size(path), 524288);
    EXPECT_TRUE(contains(formatted.out, "63 pages of 8192 bytes"));
    const Result info = run({"info", path});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_TRUE(contains(info.out, "Repository ID:    " + repository.toString()));
    EXPECT_TRUE(contains(info.out, "Recorder type:    FLAC"));
    EXPECT_TRUE(contains(info.out, "Version:          4"));
    EXPECT_TRUE(contains(info.out, "Page count:       63"));
    EXPECT_TRUE(contains(info.out, "  FREE  first 1 "));
    EXPECT_TRUE(contains(info.out, "  JNAL  first 2 "));
    EXPECT_TRUE(contains(info.out, "Pages:            3 used, 60 free of 63"));
    EXPECT_TRUE(contains(info.out, "Recorded:         nothing"));
    const Result log = run({"log", path});
    ASSERT_EQ(log.status, 0) << log.err;
    EXPECT_TRUE(contains(log.out, "[2] [FORMAT-FLAC] id: " + repository.toString() + ", page_size: 8192, desc: "));

    const Result again = run({"format", path, "1"});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(contains(again.err, "file exists"));
}

TEST(StorageToolTest, MissingForeignAndUnformattedFilesAreOneLineErrors) {
    Directory dir;
    const std::string zero = dir.file("zero.strg");
    File::create(zero, 1 << 20);
    const std::string foreign = dir.file("foreign.strg");
    {
        std::ofstream file(foreign, std::ios::binary);
        for (int i = 0; i < 100000; ++i) {
            file.put(static_cast<char>(i * 31 + 7));
        }
    }
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir.file("missing.strg"), "no such file"},
        {zero, "not a storage file"},
        {foreign, "not a storage file"},
    };
    for (const auto& [path, reason] : cases) {
        for (const char* command : {"info", "log"}) {
            const Result result = run({command, path});
            EXPECT_EQ(result.status, 1) << path;
            EXPECT_TRUE(contains(result.err, reason)) << result.err;
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
            EXPECT_TRUE(result.out.empty());
        }
    }
    EXPECT_EQ(run({}).status, 2);
    EXPECT_EQ(run({"info"}).status, 2);
    EXPECT_EQ(run({"format", "x.strg"}).status, 2);
    EXPECT_EQ(run({"format", "--page-size", "6144", dir.file("x.strg"), "1"}).status, 2);
    EXPECT_EQ(run({"format", dir.file("tiny.strg"), "0.0000001", "--page-size", "524288"}).status, 1);
    EXPECT_FALSE(File::exists(dir.file("tiny.strg")));
}

TEST(StorageToolTest, InfoShowsWhatWasRecorded) {
    Directory dir;
    const std::string path = dir.file("recorded.strg");
    ASSERT_EQ(run({"format", "--page-size", "8192", path, "0.0002"}).status, 0);
    {
        FixedSizeFileStorage storage;
        ASSERT_TRUE(storage.open(path, true, 2));
        Recorder recorder;
        recorder.open(storage);
        std::vector<std::uint8_t> payload(700, 0x5A);
        for (int i = 0; i < 40; ++i) {
            MediaElement frame;
            frame.setMediaType(0);
            frame.setChannelMask(BitMask32(1));
            frame.setGopID(1 + static_cast<std::uint32_t>(i / 10));
            frame.setFrameIndex(static_cast<std::uint16_t>(i % 10));
            DateTime time(2024, 5, 6, 7, 8, 0);
            time.addSeconds(i / 10);
            frame.setDateTime(time);
            frame.setDataSize(static_cast<std::uint32_t>(payload.size()));
            frame.setPayload(payload.data());
            recorder.writeFrame(frame);
        }
        storage.writeInfo("LastVideoMediaID", "40", false);
        storage.writeInfo("VideoInNum", "16", false);
        recorder.close();
        ASSERT_TRUE(storage.close(true));
    }
    const Result info = run({"info", path});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_TRUE(contains(info.out, "Recorded:         [2024/05/06 07:08:00, 2024/05/06 07:08:03]")) << info.out;
    EXPECT_TRUE(contains(info.out, "  #1 [2024/05/06 07:08:00, 2024/05/06 07:08:03] media IDs 1~40 stopped"))
        << info.out;
    EXPECT_TRUE(contains(info.out, "  LastVideoMediaID = 40"));
    EXPECT_TRUE(contains(info.out, "  VideoInNum = 16"));
    EXPECT_TRUE(contains(info.out, "  MDEA  first "));
    EXPECT_TRUE(contains(info.out, "  TIML  first "));
    EXPECT_TRUE(contains(info.out, "Last media ID:    40"));
    const Result log = run({"log", path});
    ASSERT_EQ(log.status, 0);
    EXPECT_LT(log.out.find("[FORMAT-FLAC]"), log.out.find("[OPEN] " + path));
    EXPECT_TRUE(contains(log.out, "[" + path + ", CLOSE] flush = true"));
    EXPECT_TRUE(contains(log.out, "Storage::recordingSectionChanged(): 1"));
}

} // namespace
} // namespace ostrel
