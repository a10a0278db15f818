// Time of opening a storage with correction and recovery, for a cleanly
// closed file and for one whose last write was torn, at 1 GB and 8 GB. The
// pass reads the ends of the tracks and the tail after the last consistent
// position only, so the times should not grow with the file or the data.

#include "base/Exception.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/MediaElement.h"
#include "storage/pager/SuperBlock.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// Records `bytes` of video frames (a key frame every 25) and closes.
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
        frame.setChannelMask(BitMask32(1));
        frame.setGopID(i / 25 + 1);
        frame.setFrameIndex(static_cast<std::uint16_t>(i % 25));
        DateTime time(2024, 3, 1, 10, 0, 0);
        time.addSeconds(i / 25);
        frame.setDateTime(time);
        frame.setDataSize(static_cast<std::uint32_t>(payload.size()));
        frame.setPayload(payload.data());
        storage.writeTimeline(frame, storage.writeMedia(frame));
        written += payload.size();
    }
    storage.close(true);
}

// Zeroes the second half of the media track's last page, as a torn save of
// that page would leave it.
void tearLastMediaPage(const std::string& path) {
    std::uint64_t offset = 0;
    std::uint32_t pageSize = 0;
    {
        FixedSizeFileStorage storage(FixedSizeFileStorage::Access::ReadOnly);
        storage.open(path, false, 0);
        const std::optional<TrackListItem> media = storage.findTrack(PageType::Media);
        if (!media) {
            throw std::runtime_error("no media track");
        }
        offset = storage.superBlock().pageOffset(media->lastPage());
        pageSize = storage.superBlock().pageSize();
        storage.close(false);
    }
    const int fd = ::open(path.c_str(), O_RDWR);
    std::vector<char> zeros(pageSize / 2, 0);
    if (fd < 0 || ::pwrite(fd, zeros.data(), zeros.size(), static_cast<off_t>(offset + pageSize / 2)) < 0) {
        throw SystemException(errno, "cannot tear " + path);
    }
    ::fsync(fd);
    ::close(fd);
}

double timeOpen(const std::string& path) {
    FixedSizeFileStorage storage;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = storage.open(path, true, 2);
    const auto end = std::chrono::steady_clock::now();
    if (!ok) {
        throw std::runtime_error("open failed: " + path);
    }
    storage.close(true);
    return seconds(end - start);
}

} // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : ".";
    const std::uint64_t recorded = 256ull << 20;
    std::printf("storage open with correction and recovery (%llu MB recorded in each file)\n",
                static_cast<unsigned long long>(recorded >> 20));
    std::printf("%8s %14s %14s\n", "file", "clean [ms]", "torn [ms]");
    for (std::uint64_t gigabytes : {1ull, 8ull}) {
        const std::string path = dir + "/bench_storage_open_" + std::to_string(gigabytes) + "g.strg";
        try {
            createFile(path, gigabytes << 30);
            record(path, recorded);
            timeOpen(path); // the first open after the recording settles the log
            const double clean = timeOpen(path);
            tearLastMediaPage(path);
            const double torn = timeOpen(path);
            std::printf("%6llu GB %14.2f %14.2f\n", static_cast<unsigned long long>(gigabytes), clean * 1000,
                        torn * 1000);
        } catch (const Exception& e) {
            std::printf("%6llu GB failed: %s\n", static_cast<unsigned long long>(gigabytes), e.toString().c_str());
        } catch (const std::exception& e) {
            std::printf("%6llu GB failed: %s\n", static_cast<unsigned long long>(gigabytes), e.what());
        }
        ::unlink(path.c_str());
    }
    return 0;
}
