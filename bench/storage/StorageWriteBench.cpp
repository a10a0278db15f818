// Write throughput of the storage engine under a realistic archiving load:
// 16 video channels at 25 frames a second (a key frame of about 100 KB every
// 25 frames, about 15 KB otherwise), 4 audio channels with 25 small frames a
// second each, and an event every few seconds on a video frame, recorded
// through a Recorder into a group of two storage files formatted as the
// application formats them. Phase 1 fills the group until it has no room;
// phase 2 turns the overwrite on and writes as much again. Beside the
// figures it prints the raw speed of the same file system measured in the
// same run: sequential direct, synchronous writes of whole pages into a
// preallocated file of a member's size.
//
// Usage: bench_storage_write [--dir DIR] [--size-mb MB] [--keep-going]
//   --dir      where the files go (default: a fresh directory under the current one)
//   --size-mb  size of each member file and of the raw file (default 2048)

#include "base/DateTime.h"
#include "base/Exception.h"
#include "base/File.h"
#include "base/UniqueID.h"
#include "storage/EventElement.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/MediaElement.h"
#include "storage/Recorder.h"
#include "storage/StorageGroup.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace ostrel;

namespace {

constexpr std::uint32_t PageSize = 524288;
constexpr int VideoChannels = 16;
constexpr int AudioChannels = 4;
constexpr int FramesPerSecond = 25;
constexpr int EventEverySeconds = 3;
constexpr double FillGoal = 0.85;
constexpr double OverwriteGoal = 0.70;
constexpr double MemoryGoalMB = 64.0;

using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double megabytes(std::uint64_t bytes) { return static_cast<double>(bytes) / 1e6; }

// Peak resident memory of the process in MB (VmHWM, else ru_maxrss).
double peakResidentMB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
        }
    }
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

std::string fileSystemType(const std::string& dir) {
    struct statfs info {};
    if (::statfs(dir.c_str(), &info) != 0) {
        return "unknown";
    }
    switch (static_cast<unsigned long>(info.f_type)) {
    case 0xEF53:
        return "ext2/3/4";
    case 0x58465342:
        return "xfs";
    case 0x9123683E:
        return "btrfs";
    case 0x01021994:
        return "tmpfs";
    case 0x794C7630:
        return "overlayfs";
    default: {
        char text[32];
        std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(info.f_type));
        return text;
    }
    }
}

// Sequential O_DIRECT|O_DSYNC writes of whole pages from one aligned buffer
// into a freshly preallocated file of `size` bytes; answers bytes a second.
// The second pass rewrites the same blocks, as the overwrite phase does.
std::array<double, 2> rawWriteSpeed(const std::string& path, std::uint64_t size) {
    File::create(path, static_cast<std::int64_t>(size));
    const int fd = ::open(path.c_str(), O_WRONLY | O_DIRECT | O_DSYNC | O_CLOEXEC);
    if (fd < 0) {
        throw SystemException(errno, "open " + path);
    }
    void* block = nullptr;
    if (::posix_memalign(&block, 4096, PageSize) != 0) {
        ::close(fd);
        throw SystemException(ENOMEM, "raw write buffer");
    }
    std::memset(block, 0x5A, PageSize);
    std::array<double, 2> speeds {};
    for (double& speed : speeds) {
        const auto start = Clock::now();
        for (std::uint64_t offset = 0; offset + PageSize <= size; offset += PageSize) {
            if (::pwrite(fd, block, PageSize, static_cast<off_t>(offset)) != static_cast<ssize_t>(PageSize)) {
                const int error = errno;
                std::free(block);
                ::close(fd);
                throw SystemException(error, "raw write " + path);
            }
        }
        speed = static_cast<double>(size / PageSize * PageSize) / seconds(Clock::now() - start);
    }
    std::free(block);
    ::close(fd);
    ::unlink(path.c_str());
    return speeds;
}

// A few payload buffers filled once with noise: every frame takes a slice of
// one of them, so producing the stream costs nothing next to storing it.
class Payloads {
public:
    Payloads() {
        std::mt19937 random(7);
        for (auto& buffer : _buffers) {
            buffer.resize(MaxFrame);
            for (auto& byte : buffer) {
                byte = static_cast<std::uint8_t>(random());
            }
        }
        for (auto& size : _keySizes) {
            size = 90000 + random() % 20000;
        }
        for (auto& size : _deltaSizes) {
            size = 12000 + random() % 6000;
        }
        for (auto& size : _audioSizes) {
            size = 1000 + random() % 1000;
        }
    }
    const std::uint8_t* data(std::uint64_t n) const { return _buffers[n % _buffers.size()].data(); }
    std::uint32_t keySize(std::uint64_t n) const { return _keySizes[n % _keySizes.size()]; }
    std::uint32_t deltaSize(std::uint64_t n) const { return _deltaSizes[n % _deltaSizes.size()]; }
    std::uint32_t audioSize(std::uint64_t n) const { return _audioSizes[n % _audioSizes.size()]; }

private:
    static constexpr std::uint32_t MaxFrame = 110000;
    std::array<std::vector<std::uint8_t>, 4> _buffers;
    std::array<std::uint32_t, 7> _keySizes {};
    std::array<std::uint32_t, 11> _deltaSizes {};
    std::array<std::uint32_t, 13> _audioSizes {};
};

struct PhaseResult {
    std::uint64_t frames = 0;
    std::uint64_t payloadBytes = 0;
    std::uint64_t events = 0;
    double elapsed = 0;
};

// The stream of a site: ticks of 40 ms, each with one frame per video
// channel and one per audio channel, the way the archiver hands them to the
// recorder (an event is written right after the frame it belongs to).
class Stream {
public:
    Stream(StorageGroup& group, Recorder& recorder) : _group(group), _recorder(recorder) {}

    // Writes until `payloadLimit` bytes are written or, without the
    // overwrite, until the group has no room for the next frame.
    PhaseResult run(bool overwrite, std::uint64_t payloadLimit) {
        PhaseResult result;
        const auto start = Clock::now();
        while (result.payloadBytes < payloadLimit) {
            if (!tick(overwrite, result)) {
                break;
            }
        }
        result.elapsed = seconds(Clock::now() - start);
        return result;
    }

private:
    bool tick(bool overwrite, PhaseResult& result) {
        const std::uint64_t second = _tick / FramesPerSecond;
        const std::uint16_t index = static_cast<std::uint16_t>(_tick % FramesPerSecond);
        DateTime time(2025, 1, 1, 0, 0, 0);
        time.addSeconds(static_cast<std::int64_t>(second));
        const bool eventTick = index == 12 && second % EventEverySeconds == 0;
        for (int channel = 0; channel < VideoChannels; ++channel) {
            MediaElement frame;
            frame.setMediaType(MediaElement::Video);
            frame.setChannelMask(BitMask32(1u << channel));
            frame.setGopID(static_cast<std::uint32_t>(second + 1));
            frame.setFrameIndex(index);
            frame.setDateTime(time);
            frame.setAttributes(index == 0 ? 1 : 0, 0, 0, 0);
            const std::uint64_t n = _tick * VideoChannels + static_cast<std::uint64_t>(channel);
            frame.setDataSize(index == 0 ? _payloads.keySize(n) : _payloads.deltaSize(n));
            frame.setPayload(_payloads.data(n));
            if (!write(frame, overwrite, result)) {
                return false;
            }
            if (eventTick && channel == static_cast<int>(second / EventEverySeconds % VideoChannels)) {
                writeEvent(frame, time);
                ++result.events;
            }
        }
        for (int channel = 0; channel < AudioChannels; ++channel) {
            MediaElement frame;
            frame.setMediaType(MediaElement::Audio);
            frame.setChannelMask(BitMask32(1u << channel));
            frame.setGopID(static_cast<std::uint32_t>(second + 1));
            frame.setFrameIndex(0);
            frame.setDateTime(time);
            const std::uint64_t n = _tick * AudioChannels + static_cast<std::uint64_t>(channel);
            frame.setDataSize(_payloads.audioSize(n));
            frame.setPayload(_payloads.data(n + 1));
            if (!write(frame, overwrite, result)) {
                return false;
            }
        }
        ++_tick;
        return true;
    }

    bool write(MediaElement& frame, bool overwrite, PhaseResult& result) {
        if (!overwrite && !_group.hasSpaceFor(frame)) {
            return false;
        }
        _lastPosition = _recorder.writeFrame(frame);
        ++result.frames;
        result.payloadBytes += frame.payloadSize();
        return true;
    }

    void writeEvent(const MediaElement& frame, const DateTime& time) {
        EventElement event;
        event.setEventType(2);
        event.setEventSubType(0);
        event.setChannelMask(frame.channelMask());
        event.setDateTime(time);
        event.setTimelinePos(_lastPosition);
        event.setMediaID(frame.mediaID());
        event.setSectionID(_group.lastSectionID());
        _group.writeEvent(event, false);
    }

    StorageGroup& _group;
    Recorder& _recorder;
    Payloads _payloads;
    std::uint64_t _tick = 0;
    PagePosition _lastPosition;
};

void printPhase(const char* name, const PhaseResult& phase, double raw, double goal) {
    const double speed = megabytes(phase.payloadBytes) / phase.elapsed;
    const double ratio = speed / megabytes(static_cast<std::uint64_t>(raw));
    std::printf("%-10s %10.1f MB %8.1f s %9.1f MB/s %10.0f frames/s %8llu events   %.2f x raw (goal >= %.2f) %s\n",
                name, megabytes(phase.payloadBytes), phase.elapsed, speed, static_cast<double>(phase.frames) / phase.elapsed,
                static_cast<unsigned long long>(phase.events), ratio, goal, ratio >= goal ? "met" : "MISSED");
}

int usage(const char* program) {
    std::fprintf(stderr, "usage: %s [--dir DIR] [--size-mb MB]\n", program);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string dir;
    std::uint64_t sizeMB = 2048;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--dir" || arg == "--size-mb") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--dir") {
                dir = value;
            } else {
                char* end = nullptr;
                sizeMB = std::strtoull(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || sizeMB < 16) {
                    std::fprintf(stderr, "--size-mb takes a number of megabytes, at least 16\n");
                    return 2;
                }
            }
        } else {
            return usage(argv[0]);
        }
    }
    bool ownDir = false;
    if (dir.empty()) {
        char name[] = "./bench_storage_write.XXXXXX";
        if (::mkdtemp(name) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        dir = name;
        ownDir = true;
    }
    const std::uint64_t size = sizeMB << 20;
    const std::string paths[2] = {dir + "/bench_a.strg", dir + "/bench_b.strg"};
    const std::string rawPath = dir + "/bench_raw.bin";
    int status = 0;
    try {
        std::printf("storage write: 2 files of %llu MB, pages of %u bytes, file system %s (%s)\n",
                    static_cast<unsigned long long>(sizeMB), PageSize, fileSystemType(dir).c_str(), dir.c_str());
        std::printf("stream: %d video channels at %d fps (key frame every %d, ~100 KB / ~15 KB), %d audio channels, "
                    "an event every %d s\n",
                    VideoChannels, FramesPerSecond, FramesPerSecond, AudioChannels, EventEverySeconds);
        const std::array<double, 2> raw = rawWriteSpeed(rawPath, size);
        std::printf("raw       sequential O_DIRECT|O_DSYNC %u-byte writes: %.1f MB/s into the preallocated file, "
                    "%.1f MB/s rewriting it\n",
                    PageSize, megabytes(static_cast<std::uint64_t>(raw[0])),
                    megabytes(static_cast<std::uint64_t>(raw[1])));
        for (const std::string& path : paths) {
            File::create(path, static_cast<std::int64_t>(size));
            if (!FixedSizeFileStorage::formatFile(path, UniqueID())) {
                throw std::runtime_error("cannot format " + path);
            }
        }
        const double afterFormat = peakResidentMB();
        PhaseResult fill;
        PhaseResult overwrite;
        {
            StorageGroup group(RecorderType::Flac);
            for (const std::string& path : paths) {
                auto member = std::make_unique<FixedSizeFileStorage>();
                if (!member->open(path, true, Storage::CorrectionAndRecovery)) {
                    throw std::runtime_error("cannot open " + path);
                }
                group.addStorage(std::move(member));
            }
            group.selectRecordingStorage(UniqueID::nil(), 0);
            Recorder recorder;
            recorder.open(group);
            Stream stream(group, recorder);
            fill = stream.run(false, UINT64_MAX);
            overwrite = stream.run(true, fill.payloadBytes);
            recorder.close();
            group.close(true);
        }
        std::printf("%-10s %13s %10s %14s %17s %15s\n", "phase", "payload", "time", "speed", "frames", "events");
        printPhase("fill", fill, raw[0], FillGoal);
        printPhase("overwrite", overwrite, raw[0], OverwriteGoal);
        std::printf("(against the rewrite speed of the raw file: fill %.2f x, overwrite %.2f x)\n",
                    megabytes(fill.payloadBytes) / fill.elapsed / megabytes(static_cast<std::uint64_t>(raw[1])),
                    megabytes(overwrite.payloadBytes) / overwrite.elapsed /
                        megabytes(static_cast<std::uint64_t>(raw[1])));
        const double peak = peakResidentMB();
        std::printf("peak resident memory %.1f MB (%.1f MB after formatting; goal < %.0f MB) %s\n", peak, afterFormat,
                    MemoryGoalMB, peak < MemoryGoalMB ? "met" : "MISSED");
        std::printf("fill used %.1f%% of the files' bytes for payload\n",
                    100.0 * static_cast<double>(fill.payloadBytes) / static_cast<double>(2 * size));
    } catch (const Exception& e) {
        std::fprintf(stderr, "failed: %s\n", e.toString().c_str());
        status = 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "failed: %s\n", e.what());
        status = 1;
    }
    for (const std::string& path : paths) {
        ::unlink(path.c_str());
    }
    ::unlink(rawPath.c_str());
    if (ownDir) {
        ::rmdir(dir.c_str());
    }
    return status;
}
