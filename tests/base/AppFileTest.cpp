#include "base/AppFile.h"
#include "base/Exception.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

class AppFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-appfile-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        _dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(_dir); }

    std::string path(const std::string& name) const { return (_dir / name).string(); }

    static void writeText(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string readText(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static std::size_t openDescriptors() {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                      std::filesystem::directory_iterator()));
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

TEST_F(AppFileTest, OpenWithoutCreateNeedsAnExistingFile) {
    AppFile file;
    try {
        file.open(path("missing"), AppFile::Read | AppFile::Write);
        FAIL() << "opened";
    } catch (const SystemException& e) {
        EXPECT_EQ(e.code(), ENOENT);
        EXPECT_NE(std::string(e.message()).find(path("missing")), std::string::npos) << e.message();
    }
    EXPECT_FALSE(file.isOpen());
    EXPECT_FALSE(AppFile::exists(path("missing")));
}

TEST_F(AppFileTest, CreateNewOnAnExistingFileFailsAndLeavesItUntouched) {
    writeText(path("existing"), "keep me");
    AppFile file;
    EXPECT_EQ(errorOf([&] { file.open(path("existing"), AppFile::Write | AppFile::CreateNew); }), EEXIST);
    EXPECT_FALSE(file.isOpen());
    EXPECT_EQ(readText(path("existing")), "keep me");
}

TEST_F(AppFileTest, ModeNeedsReadOrWriteAndKnownBitsOnly) {
    writeText(path("file"), "x");
    for (int mode : {0, AppFile::WriteThrough, AppFile::CreateNew, AppFile::Read | 16, -1}) {
        AppFile file;
        EXPECT_EQ(errorOf([&] { file.open(path("file"), mode); }), EINVAL) << mode;
        EXPECT_FALSE(file.isOpen());
    }
}

TEST_F(AppFileTest, ModeBitsBecomeTheOpenFlags) {
    writeText(path("file"), "x");
    struct Case {
        int mode;
        int access;
        bool sync;
    };
    const Case cases[] = {
        {AppFile::Read, O_RDONLY, false},
        {AppFile::Write, O_WRONLY, false},
        {AppFile::Read | AppFile::Write, O_RDWR, false},
        {AppFile::Write | AppFile::WriteThrough, O_WRONLY, true},
    };
    for (const auto& c : cases) {
        AppFile file;
        file.open(path("file"), c.mode);
        const int flags = ::fcntl(file.descriptor(), F_GETFL);
        ASSERT_GE(flags, 0);
        EXPECT_EQ(flags & O_ACCMODE, c.access) << c.mode;
        EXPECT_EQ((flags & O_DSYNC) == O_DSYNC, c.sync) << c.mode;
        EXPECT_NE(::fcntl(file.descriptor(), F_GETFD) & FD_CLOEXEC, 0) << c.mode;
    }
}

TEST_F(AppFileTest, ReadWriteSeekTruncateRoundTrip) {
    AppFile file;
    file.open(path("data"), AppFile::Read | AppFile::Write | AppFile::WriteThrough | AppFile::CreateNew,
              AppFile::ShareRead);
    ASSERT_TRUE(file.isOpen());
    EXPECT_EQ(file.path(), path("data"));

    const std::string text = "hello, archived world";
    EXPECT_EQ(file.write(text.data(), static_cast<int64_t>(text.size())), static_cast<int64_t>(text.size()));
    EXPECT_EQ(file.size(), static_cast<int64_t>(text.size()));
    EXPECT_EQ(file.position(), static_cast<int64_t>(text.size()));

    file.seek(7);
    char buffer[64] = {};
    EXPECT_EQ(file.read(buffer, 8), 8);
    EXPECT_EQ(std::string(buffer, 8), "archived");

    // Reading across the end gives what there is, then nothing.
    file.seek(15);
    EXPECT_EQ(file.read(buffer, sizeof buffer), 6);
    EXPECT_EQ(std::string(buffer, 6), " world");
    EXPECT_EQ(file.read(buffer, sizeof buffer), 0);

    file.seek(5);
    file.truncate();
    EXPECT_EQ(file.size(), 5);
    file.seek(0);
    EXPECT_EQ(file.read(buffer, sizeof buffer), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");

    // Truncating past the end extends the file with zeros.
    file.seek(10);
    file.truncate();
    EXPECT_EQ(file.size(), 10);
    file.flush();
    file.close();
    EXPECT_EQ(readText(path("data")), std::string("hello") + std::string(5, '\0'));
}

TEST_F(AppFileTest, LargeTransfersMoveEveryByte) {
    std::vector<char> data(5 * 1024 * 1024 + 17);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(i * 7 + i / 4096);
    }
    AppFile file;
    file.open(path("large"), AppFile::Read | AppFile::Write | AppFile::CreateNew);
    EXPECT_EQ(file.write(data.data(), static_cast<int64_t>(data.size())), static_cast<int64_t>(data.size()));
    file.seek(0);
    std::vector<char> back(data.size());
    EXPECT_EQ(file.read(back.data(), static_cast<int64_t>(back.size())), static_cast<int64_t>(back.size()));
    EXPECT_EQ(back, data);
}

TEST_F(AppFileTest, OperationsAgainstTheAccessModeFail) {
    writeText(path("file"), "content");
    AppFile reader;
    reader.open(path("file"), AppFile::Read);
    EXPECT_EQ(errorOf([&] { reader.write("x", 1); }), EBADF);
    EXPECT_EQ(readText(path("file")), "content");

    AppFile writer;
    writer.open(path("file"), AppFile::Write);
    char c;
    EXPECT_EQ(errorOf([&] { writer.read(&c, 1); }), EBADF);
    EXPECT_EQ(errorOf([&] { writer.seek(-1); }), EINVAL);
}

TEST_F(AppFileTest, AClosedFileRefusesEveryOperation) {
    AppFile file;
    char c = 0;
    EXPECT_EQ(errorOf([&] { file.read(&c, 1); }), EBADF);
    EXPECT_EQ(errorOf([&] { file.write(&c, 1); }), EBADF);
    EXPECT_EQ(errorOf([&] { file.seek(0); }), EBADF);
    EXPECT_EQ(errorOf([&] { file.size(); }), EBADF);
    EXPECT_EQ(errorOf([&] { file.truncate(); }), EBADF);
    EXPECT_EQ(errorOf([&] { file.flush(); }), EBADF);
    file.close();  // closing a closed file succeeds
    file.open(path("new"), AppFile::Write | AppFile::CreateNew);
    file.close();
    file.close();
    EXPECT_EQ(errorOf([&] { file.write(&c, 1); }), EBADF);
}

TEST_F(AppFileTest, OpeningAnOpenObjectKeepsTheFirstFile) {
    AppFile file;
    file.open(path("first"), AppFile::Read | AppFile::Write | AppFile::CreateNew);
    writeText(path("second"), "x");
    EXPECT_EQ(errorOf([&] { file.open(path("second"), AppFile::Read); }), EBUSY);
    EXPECT_EQ(file.path(), path("first"));
    EXPECT_EQ(file.write("abc", 3), 3);
    file.close();
    EXPECT_EQ(readText(path("first")), "abc");
}

TEST_F(AppFileTest, ClosesItsDescriptorWhenItEnds) {
    const std::size_t before = openDescriptors();
    {
        AppFile file;
        file.open(path("file"), AppFile::Write | AppFile::CreateNew);
        EXPECT_EQ(openDescriptors(), before + 1);
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(AppFileTest, MovingHandsOverTheDescriptor) {
    const std::size_t before = openDescriptors();
    AppFile first;
    first.open(path("a"), AppFile::Read | AppFile::Write | AppFile::CreateNew);
    AppFile moved(std::move(first));
    EXPECT_FALSE(first.isOpen());
    ASSERT_TRUE(moved.isOpen());
    EXPECT_EQ(moved.write("moved", 5), 5);

    AppFile other;
    other.open(path("b"), AppFile::Write | AppFile::CreateNew);
    EXPECT_EQ(openDescriptors(), before + 2);
    other = std::move(moved);  // closes b's descriptor
    EXPECT_EQ(openDescriptors(), before + 1);
    EXPECT_FALSE(moved.isOpen());
    EXPECT_EQ(other.path(), path("a"));
    other.close();
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(readText(path("a")), "moved");
}

TEST_F(AppFileTest, SharingIsAcceptedAndLocksNobodyOut) {
    writeText(path("shared"), "0123456789");
    AppFile one, two;
    one.open(path("shared"), AppFile::Read | AppFile::Write, 0);
    two.open(path("shared"), AppFile::Read | AppFile::Write, 0);
    EXPECT_TRUE(AppFile::exists(path("shared")));
    EXPECT_EQ(one.write("ab", 2), 2);
    char buffer[2];
    EXPECT_EQ(two.read(buffer, 2), 2);
    EXPECT_EQ(std::string(buffer, 2), "ab");
}

TEST_F(AppFileTest, StaticOperations) {
    AppFile::create(path("made"), 4096);
    EXPECT_TRUE(AppFile::exists(path("made")));
    AppFile file;
    file.open(path("made"), AppFile::Read);
    EXPECT_EQ(file.size(), 4096);
    file.close();
    EXPECT_EQ(errorOf([&] { AppFile::create(path("made"), 1); }), EEXIST);
    EXPECT_TRUE(AppFile::remove(path("made")));
    EXPECT_FALSE(AppFile::remove(path("made")));
    EXPECT_FALSE(AppFile::exists(path("made")));
}
