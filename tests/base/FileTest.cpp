#include "base/Exception.h"
#include "base/File.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ostrel;

namespace {

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-file-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        _dir = pattern;
    }
    void TearDown() override {
        // Give back any permission a test took away, so everything can be removed.
        for (const auto& entry : std::filesystem::recursive_directory_iterator(_dir)) {
            std::error_code ignored;
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        }
        std::filesystem::remove_all(_dir);
    }

    std::string path(const std::string& name) const { return (_dir / name).string(); }

    static void writeText(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string readText(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // Runs `check` in a child process, as an unprivileged user when the tests
    // run as root, and returns its exit code (0 = passed).
    static int runUnprivileged(const std::function<bool()>& check) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
                ::_exit(3);
            }
            try {
                ::_exit(check() ? 0 : 1);
            } catch (...) {
                ::_exit(2);
            }
        }
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
            return -1;
        }
        return WEXITSTATUS(status);
    }

    std::filesystem::path _dir;
};

int errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const SystemException& e) {
        return e.code();
    }
    return 0;
}

} // namespace

TEST_F(FileTest, CreateAllocatesTheWholeSize) {
    const std::string file = path("storage.strg");
    const int64_t size = 8 * 1024 * 1024 + 512;
    File::create(file, size);
    EXPECT_EQ(File::size(file), size);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    // Allocated on the disk now, not a sparse file.
    EXPECT_GE(static_cast<int64_t>(st.st_blocks) * 512, size);
    // The file reads back as zero bytes.
    const std::string content = readText(file);
    EXPECT_EQ(content.size(), static_cast<std::size_t>(size));
    EXPECT_EQ(content.find_first_not_of('\0'), std::string::npos);
}

TEST_F(FileTest, CreateWithSizeZeroGivesAnEmptyFile) {
    const std::string file = path("empty");
    File::create(file, 0);
    EXPECT_TRUE(File::exists(file));
    EXPECT_EQ(File::size(file), 0);
}

TEST_F(FileTest, CreateOnAnExistingPathThrowsAndLeavesTheFileUntouched) {
    const std::string file = path("existing");
    writeText(file, "keep me");
    EXPECT_EQ(errorOf([&] { File::create(file, 4096); }), EEXIST);
    EXPECT_EQ(errorOf([&] { File::create(file, 0); }), EEXIST);
    EXPECT_EQ(readText(file), "keep me");
}

TEST_F(FileTest, CreateWithANegativeSizeThrowsAndMakesNothing) {
    const std::string file = path("negative");
    EXPECT_EQ(errorOf([&] { File::create(file, -1); }), EINVAL);
    EXPECT_FALSE(File::exists(file));
}

TEST_F(FileTest, CreateInAMissingDirectoryThrows) {
    try {
        File::create(path("missing/file"), 10);
        FAIL() << "created";
    } catch (const SystemException& e) {
        EXPECT_EQ(e.code(), ENOENT);
        // The message names what failed.
        EXPECT_NE(std::string(e.message()).find(path("missing/file")), std::string::npos) << e.message();
    }
}

TEST_F(FileTest, CreateThatCannotAllocateRemovesTheHalfMadeFile) {
    // A file-size limit makes the allocation fail after the file was created.
    const std::string file = path("too-big");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        const int error = errorOf([&] { File::create(file, 1024 * 1024); });
        ::_exit(error == EFBIG && ::access(file.c_str(), F_OK) != 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(File::exists(file));
}

TEST_F(FileTest, ExistsRules) {
    const std::string file = path("file");
    writeText(file, "x");
    EXPECT_TRUE(File::exists(file));
    EXPECT_TRUE(File::exists(_dir.string()));
    EXPECT_FALSE(File::exists(path("missing")));
    EXPECT_FALSE(File::exists(path("missing/child")));
    EXPECT_FALSE(File::exists(file + "/child"));  // a file used as a directory (ENOTDIR)
    ASSERT_EQ(::symlink(path("nowhere").c_str(), path("dangling").c_str()), 0);
    EXPECT_FALSE(File::exists(path("dangling")));
    EXPECT_EQ(errorOf([&] { File::exists(std::string(5000, 'a')); }), ENAMETOOLONG);
}

TEST_F(FileTest, ExistsForAFileThisProcessMayNotRead) {
    const std::string file = path("unreadable");
    writeText(file, "secret");
    ASSERT_EQ(::chmod(file.c_str(), 0), 0);
    ASSERT_EQ(::chmod(_dir.c_str(), 0755), 0);
    EXPECT_TRUE(File::exists(file));
    EXPECT_EQ(runUnprivileged([&] { return File::exists(file) && ::access(file.c_str(), R_OK) != 0; }), 0);
}

TEST_F(FileTest, ExistsThrowsWhenADirectoryOnTheWayMayNotBeSearched) {
    const std::string locked = path("locked");
    ASSERT_EQ(::mkdir(locked.c_str(), 0700), 0);
    writeText(locked + "/file", "x");
    ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
    ASSERT_EQ(::chmod(_dir.c_str(), 0755), 0);
    EXPECT_EQ(runUnprivileged([&] { return errorOf([&] { File::exists(locked + "/file"); }) == EACCES; }), 0);
}

TEST_F(FileTest, Remove) {
    const std::string file = path("file");
    writeText(file, "x");
    EXPECT_TRUE(File::remove(file));
    EXPECT_FALSE(File::exists(file));
    EXPECT_FALSE(File::remove(file));
    EXPECT_EQ(errorOf([&] { File::remove(_dir.string()); }), EISDIR);
    EXPECT_TRUE(File::exists(_dir.string()));
}

TEST_F(FileTest, SizeIs64Bit) {
    const std::string file = path("sparse");
    writeText(file, "x");
    // Beyond 4 GB without using the disk.
    const int64_t big = 5LL * 1024 * 1024 * 1024 + 3;
    ASSERT_EQ(::truncate(file.c_str(), big), 0);
    EXPECT_EQ(File::size(file), big);
    EXPECT_EQ(errorOf([&] { File::size(path("missing")); }), ENOENT);
}

TEST_F(FileTest, IsReadOnly) {
    const std::string file = path("file");
    writeText(file, "x");
    EXPECT_FALSE(File::isReadOnly(file));
    ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
    EXPECT_TRUE(File::isReadOnly(file));  // also for root, who could write it anyway
    EXPECT_EQ(errorOf([&] { File::isReadOnly(path("missing")); }), ENOENT);
}

TEST_F(FileTest, IsReadOnlyForAFileOfAnotherUser) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to make a file another user may not write";
    }
    const std::string file = path("roots");
    writeText(file, "x");
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(_dir.c_str(), 0755), 0);
    EXPECT_FALSE(File::isReadOnly(file));
    EXPECT_EQ(runUnprivileged([&] { return File::isReadOnly(file); }), 0);
}

TEST_F(FileTest, FreeDiskSpace) {
    const uint64_t free = File::freeDiskSpace(_dir.string());
    EXPECT_GT(free, 0u);
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(_dir.c_str(), &vfs), 0);
    EXPECT_LE(free, static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize);
    const std::string file = path("file");
    writeText(file, "x");
    EXPECT_GT(File::freeDiskSpace(file), 0u);
    EXPECT_EQ(errorOf([&] { File::freeDiskSpace(path("missing")); }), ENOENT);
}
