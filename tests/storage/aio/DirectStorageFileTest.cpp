#include "storage/VarnelException.h"
#include "storage/aio/AIOContext.h"
#include "storage/aio/DirectStorageFile.h"
#include "storage/aio/IOException.h"
#include "storage/pager/MemoryPool.h"
#include "storage/support/RecordingStorageFile.h"
#include "storage/support/TempDirectory.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/vfs.h>

namespace ostrel {
namespace {

using test::TempDirectory;

TEST(DirectStorageFileTest, WritesAndReadsWholeSectorsAtTheirOffsets) {
    TempDirectory dir;
    const std::string path = dir.createFile("a.strg", 64 * 1024);
    DirectStorageFile file(path, DirectStorageFile::Mode::ReadWrite);
    EXPECT_EQ(file.size(), 64u * 1024);
    const std::uint32_t sector = file.sectorSize();
    EXPECT_GE(sector, 512u);
    EXPECT_LE(sector, 4096u);
    EXPECT_EQ(sector & (sector - 1), 0u);

    MemoryPool pool;
    PoolBlock out = pool.allocate(8192);
    PoolBlock in = pool.allocate(8192);
    std::memset(out.data, 0x5A, 8192);
    AIOContext::instance().write(file, out.data, 8192, 8192);
    AIOContext::instance().read(file, in.data, 8192, 8192);
    EXPECT_EQ(std::memcmp(in.data, out.data, 8192), 0);
    AIOContext::instance().read(file, in.data, 0, 4096);
    EXPECT_EQ(static_cast<unsigned char>(in.data[0]), 0u);
    pool.release(out);
    pool.release(in);
}

TEST(DirectStorageFileTest, SecondWriterIsRefused) {
    TempDirectory dir;
    const std::string path = dir.createFile("a.strg", 16384);
    DirectStorageFile first(path, DirectStorageFile::Mode::ReadWrite);
    try {
        DirectStorageFile second(path, DirectStorageFile::Mode::ReadWrite);
        FAIL() << "a second writer opened the storage";
    } catch (const SystemException& e) {
        EXPECT_EQ(e.code(), EWOULDBLOCK);
    }
    // Readers are not locked out.
    DirectStorageFile reader(path, DirectStorageFile::Mode::ReadOnly);
    EXPECT_FALSE(reader.isWritable());
}

TEST(DirectStorageFileTest, WriterLockEndsWithTheObject) {
    TempDirectory dir;
    const std::string path = dir.createFile("a.strg", 16384);
    { DirectStorageFile first(path, DirectStorageFile::Mode::ReadWrite); }
    EXPECT_NO_THROW(DirectStorageFile(path, DirectStorageFile::Mode::ReadWrite));
}

TEST(DirectStorageFileTest, MissingFileAndReadOnlyWritesFail) {
    TempDirectory dir;
    EXPECT_THROW(DirectStorageFile(dir.file("missing.strg"), DirectStorageFile::Mode::ReadWrite), SystemException);
    const std::string path = dir.createFile("a.strg", 16384);
    DirectStorageFile reader(path, DirectStorageFile::Mode::ReadOnly);
    MemoryPool pool;
    PoolBlock block = pool.allocate(4096);
    EXPECT_THROW(AIOContext::instance().write(reader, block.data, 0, 4096), IOException);
    pool.release(block);
}

// tmpfs refuses direct I/O on older kernels and takes it on newer ones; the
// file must work either way.
TEST(DirectStorageFileTest, MemoryFileSystemWorks) {
    struct statfs info {};
    if (::statfs("/dev/shm", &info) != 0 || info.f_type != 0x01021994 /* tmpfs */) {
        GTEST_SKIP() << "no tmpfs at /dev/shm";
    }
    char pattern[] = "/dev/shm/ostrel-storage-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string path = std::string(pattern) + "/a.strg";
    {
        FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
        std::filesystem::resize_file(path, 16384);
        DirectStorageFile file(path, DirectStorageFile::Mode::ReadWrite);
        MemoryPool pool;
        PoolBlock block = pool.allocate(4096);
        std::memset(block.data, 7, 4096);
        AIOContext::instance().write(file, block.data, 4096, 4096);
        std::memset(block.data, 0, 4096);
        AIOContext::instance().read(file, block.data, 4096, 4096);
        EXPECT_EQ(static_cast<int>(block.data[4095]), 7);
        pool.release(block);
    }
    std::filesystem::remove_all(pattern);
}

TEST(AIOContextTest, ReadPastTheEndIsCorruptionAndFailedWritesCarryTheRequest) {
    test::RecordingStorageFile file(8192);
    MemoryPool pool;
    PoolBlock block = pool.allocate(8192);
    try {
        AIOContext::instance().read(file, block.data, 4096, 8192);
        FAIL() << "short read accepted";
    } catch (const VarnelException& e) {
        EXPECT_EQ(e.code(), VarnelException::StorageCorrupted);
    }
    file.failAfter(0);
    try {
        AIOContext::instance().write(file, block.data, 4096, 4096);
        FAIL() << "failed write accepted";
    } catch (const IOException& e) {
        EXPECT_EQ(e.code(), EIO);
        EXPECT_EQ(e.offset(), 4096u);
        EXPECT_EQ(e.length(), 4096u);
    }
    pool.release(block);
}

TEST(MemoryPoolTest, BlocksAreRecycledFirstInFirstOutAndFitTheRequest) {
    MemoryPool pool;
    PoolBlock a = pool.allocate(8192);
    PoolBlock b = pool.allocate(8192);
    EXPECT_EQ(a.size, MemoryPool::MinimumBlockSize);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a.data) % 4096, 0u);
    pool.release(a);
    pool.release(b);
    EXPECT_EQ(pool.allocate(100).data, a.data);
    EXPECT_EQ(pool.allocate(100).data, b.data);
    EXPECT_EQ(pool.createdCount(), 2u);
    pool.release(a);
    // A larger page never gets a block that is too small.
    PoolBlock large = pool.allocate(1048576);
    EXPECT_GE(large.size, 1048576u);
    EXPECT_NE(large.data, a.data);
    EXPECT_EQ(pool.createdCount(), 3u);
    pool.release(large);
    pool.release(b);
}

} // namespace
} // namespace ostrel
