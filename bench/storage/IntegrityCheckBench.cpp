// Speed of the full integrity check beside a plain sequential read of the
// same file, both through O_DIRECT so the page cache does not flatter either:
// a storage of 256 MB filled with recorded video (frames of 20 to 60 KB, so
// that many run on into the next page) is read once from end to end in 8 MB
// transfers, then checked; each twice, alternating. The check walks the
// tracks in chain order, which for a freshly recorded file is nearly the
// file's order; the goal is at least half the speed of the plain read.

#include "base/Exception.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/MediaElement.h"
#include "storage/aio/DirectStorageFile.h"
#include "storage/util/IntegrityChecker.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

void createFile(const std::string& path, std::uint64_t size) {
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR, 0644);
    if (fd < 0 || ::posix_fallocate(fd, 0, static_cast<off_t>(size)) != 0) {
        throw SystemException(errno, "cannot create " + path);
    }
    ::close(fd);
}

void record(const std::string& path, std::uint64_t bytes) {
    FixedSizeFileStorage storage;
    storage.open(path, true, 2);
    StorageFormatOptions options;
    options.recorderType = RecorderType::Flac;
    storage.format(options);
    std::vector<std::uint8_t> payload(60000, 0x5A);
    std::uint64_t written = 0;
    for (std::uint32_t i = 0; written < bytes; ++i) {
        MediaElement frame;
        frame.setMediaType(MediaElement::Video);
        frame.setChannelMask(BitMask32(1u << (i % 2)));
        frame.setGopID(i / 50 + 1);
        frame.setFrameIndex(static_cast<std::uint16_t>((i / 2) % 25));
        DateTime time(2024, 3, 1, 10, 0, 0);
        time.addSeconds(i / 50);
        frame.setDateTime(time);
        const std::uint32_t size = 20000 + (i * 7919) % 40000;
        frame.setDataSize(size);
        frame.setPayload(payload.data());
        storage.writeTimeline(frame, storage.writeMedia(frame));
        written += size;
    }
    storage.close(true);
}

// Reads the whole file in 8 MB transfers; answers the bytes read.
std::uint64_t readSequentially(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECT);
    const int file = fd >= 0 ? fd : ::open(path.c_str(), O_RDONLY);
    if (file < 0) {
        throw SystemException(errno, "cannot open " + path);
    }
    constexpr std::size_t Block = 8 << 20;
    void* buffer = std::aligned_alloc(4096, Block);
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t n = ::pread(file, buffer, Block, static_cast<off_t>(total));
        if (n <= 0) break;
        total += static_cast<std::uint64_t>(n);
    }
    std::free(buffer);
    ::close(file);
    return total;
}

} // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : std::filesystem::temp_directory_path().string();
    const std::string path = dir + "/ostrel-integrity-bench.strg";
    constexpr std::uint64_t Size = 256ull << 20;
    try {
        createFile(path, Size);
        record(path, Size - (16ull << 20));
        for (int round = 0; round < 2; ++round) {
            auto start = std::chrono::steady_clock::now();
            const std::uint64_t plain = readSequentially(path);
            const double plainSeconds = seconds(std::chrono::steady_clock::now() - start);
            start = std::chrono::steady_clock::now();
            DirectStorageFile file(path, DirectStorageFile::Mode::ReadOnly);
            IntegrityChecker checker(file);
            const bool sound = checker.run();
            const double checkSeconds = seconds(std::chrono::steady_clock::now() - start);
            const double plainRate = plain / 1e6 / plainSeconds;
            const double checkRate = checker.bytesRead() / 1e6 / checkSeconds;
            std::printf("round %d: sequential read %.0f MB/s (%llu bytes); full check %.0f MB/s (%llu bytes, %s); "
                        "ratio %.2f (goal >= 0.5)\n",
                        round + 1, plainRate, static_cast<unsigned long long>(plain), checkRate,
                        static_cast<unsigned long long>(checker.bytesRead()), sound ? "sound" : "FINDINGS",
                        checkRate / plainRate);
        }
    } catch (const Exception& e) {
        std::fprintf(stderr, "bench: %s\n", e.message() ? e.message() : e.typeName());
        std::filesystem::remove(path);
        return 1;
    }
    std::filesystem::remove(path);
    return 0;
}
