// Write throughput of the storage engine under a realistic archiving load:
// 16 video channels at 25 frames a second (a key frame of about 100 KB every
// 25 frames, about 15 KB otherwise), 4 audio channels with 25 small frames a
// second each, and an event every few seconds on a video frame, recorded
// through a Recorder into a group of two storage files formatted as the
// application formats them. Phase 1 fills the group until it has no room;
// phase 2 turns the overwrite on and writes as much again.
//
// The references are the raw speeds of the same file system: sequential
// O_DIRECT|O_DSYNC writes of whole pages into a freshly preallocated file
// (one per phase, as large as the phase's payload), and the same without
// O_DSYNC (the device's limit: no write waits for its flush). The disk of a
// shared machine changes its speed by several times within a minute, so the
// raw writes are interleaved with the storage's: after every few megabytes
// of recording, each raw file takes as many bytes, and each side's time is
// summed apart. Every transfer of the storage files is counted, so the
// writes and device flushes each 512 KB page costs are printed beside the
// speed, with the longest time a frame waited between being written and
// being on disk (its group commit).
//
// Usage: bench_storage_write [--dir DIR] [--size-mb MB]
//   --dir      where the files go (default: a fresh directory under the current one)
//   --size-mb  size of each member file (default 2048)

#include "../support/FileSystemName.h"
#include "base/DateTime.h"
#include "base/Exception.h"
#include "base/File.h"
#include "base/UniqueID.h"
#include "storage/EventElement.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/MediaElement.h"
#include "storage/Recorder.h"
#include "storage/StorageGroup.h"
#include "storage/aio/IStorageFile.h"

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
#include <deque>
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
constexpr double FillGoal = 1.0;
constexpr double OverwriteGoal = 0.85;
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

// Sequential O_DIRECT writes of whole pages from one aligned buffer into a
// freshly preallocated file, a slice at a time; each write waits for the
// device's flush (O_DSYNC) when `sync`.
class RawWriter {
public:
    RawWriter(const std::string& path, std::uint64_t size, bool sync = true)
        : _path(path), _size(size / PageSize * PageSize) {
        File::create(path, static_cast<std::int64_t>(size));
        _fd = ::open(path.c_str(), O_WRONLY | O_DIRECT | (sync ? O_DSYNC : 0) | O_CLOEXEC);
        if (_fd < 0) {
            const int error = errno;
            ::unlink(path.c_str());
            throw SystemException(error, "open " + path);
        }
        if (::posix_memalign(&_block, 4096, PageSize) != 0) {
            _block = nullptr;
            throw SystemException(ENOMEM, "raw write buffer");
        }
        std::memset(_block, 0x5A, PageSize);
    }
    ~RawWriter() {
        std::free(_block);
        if (_fd >= 0) {
            ::close(_fd);
        }
        ::unlink(_path.c_str());
    }
    RawWriter(const RawWriter&) = delete;
    RawWriter& operator=(const RawWriter&) = delete;

    // Writes at least `bytes` in whole pages, going on where the last slice
    // ended (the file is sized for a phase, so it is written once).
    void write(std::uint64_t bytes) {
        const auto start = Clock::now();
        for (std::uint64_t done = 0; done < bytes; done += PageSize) {
            if (_offset + PageSize > _size) {
                _offset = 0;
            }
            if (::pwrite(_fd, _block, PageSize, static_cast<off_t>(_offset)) != static_cast<ssize_t>(PageSize)) {
                throw SystemException(errno, "raw write " + _path);
            }
            _offset += PageSize;
            _written += PageSize;
        }
        _elapsed += seconds(Clock::now() - start);
    }
    double speed() const { return _elapsed > 0 ? static_cast<double>(_written) / _elapsed : 0; }

private:
    std::string _path;
    std::uint64_t _size;
    int _fd = -1;
    void* _block = nullptr;
    std::uint64_t _offset = 0;
    std::uint64_t _written = 0;
    double _elapsed = 0;
};

// What the storage files were asked to do.
struct Transfers {
    std::uint64_t writes = 0;      // written through: each waits for the device
    std::uint64_t smallWrites = 0; // of them under 64 KB: headers, journal, free list, superblock
    std::uint64_t deferredWrites = 0; // runs of pages, durable at the next barrier
    std::uint64_t barriers = 0;
    std::uint64_t bytesWritten = 0;
    std::uint64_t reads = 0;
    std::uint64_t bytesRead = 0;

    Transfers operator-(const Transfers& o) const {
        return {writes - o.writes,         smallWrites - o.smallWrites, deferredWrites - o.deferredWrites,
                barriers - o.barriers,     bytesWritten - o.bytesWritten, reads - o.reads,
                bytesRead - o.bytesRead};
    }
};

// A storage file that counts every transfer on its way to the real one.
class CountingFile final : public IStorageFile {
public:
    CountingFile(std::unique_ptr<IStorageFile> file, Transfers& counts) : _file(std::move(file)), _counts(counts) {}

    std::size_t readAt(void* buffer, std::uint64_t offset, std::size_t length) override {
        ++_counts.reads;
        _counts.bytesRead += length;
        return _file->readAt(buffer, offset, length);
    }
    std::size_t writeAt(const void* buffer, std::uint64_t offset, std::size_t length) override {
        ++_counts.writes;
        _counts.smallWrites += length < 65536 ? 1 : 0;
        _counts.bytesWritten += length;
        return _file->writeAt(buffer, offset, length);
    }
    std::size_t writeDeferred(const WritePiece* pieces, std::size_t count, std::uint64_t offset) override {
        ++_counts.deferredWrites;
        for (std::size_t i = 0; i < count; ++i) {
            _counts.bytesWritten += pieces[i].length;
        }
        return _file->writeDeferred(pieces, count, offset);
    }
    void flush() override {
        ++_counts.barriers;
        _file->flush();
    }
    std::uint64_t size() const override { return _file->size(); }
    std::uint32_t sectorSize() const override { return _file->sectorSize(); }
    bool isWritable() const override { return _file->isWritable(); }
    const std::string& path() const override { return _file->path(); }
    int handle() const override { return _file->handle(); }

private:
    std::unique_ptr<IStorageFile> _file;
    Transfers& _counts;
};

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
    double rawSpeed = 0;       // bytes a second of the raw O_DSYNC writes interleaved with the phase
    double rawNoSyncSpeed = 0; // the same without O_DSYNC
    double longestWait = 0;    // seconds a frame waited to be durable, at most
    double wait99 = 0;         // ... for 99 % of the frames
    double longestWrite = 0;   // seconds one frame's write took, at most (an overwrite step, a commit)
    Transfers transfers;
};

// The stream of a site: ticks of 40 ms, each with one frame per video
// channel and one per audio channel, the way the archiver hands them to the
// recorder (an event is written right after the frame it belongs to).
class Stream {
public:
    Stream(StorageGroup& group, Recorder& recorder) : _group(group), _recorder(recorder) {}

    // Writes until `payloadLimit` bytes are written or, without the
    // overwrite, until the group has no room for the next frame; after every
    // slice of payload the raw writer writes as much.
    PhaseResult run(bool overwrite, std::uint64_t payloadLimit, RawWriter& raw, RawWriter& rawNoSync) {
        constexpr std::uint64_t Slice = 32ull << 20;
        PhaseResult result;
        _longestWait = 0;
        _waits.assign(_waits.size(), 0);
        bool more = true;
        while (more && result.payloadBytes < payloadLimit) {
            const std::uint64_t sliceStart = result.payloadBytes;
            const auto start = Clock::now();
            while (result.payloadBytes - sliceStart < Slice && result.payloadBytes < payloadLimit) {
                if (!tick(overwrite, result)) {
                    more = false;
                    break;
                }
            }
            const auto pause = Clock::now();
            result.elapsed += seconds(pause - start);
            raw.write(result.payloadBytes - sliceStart);
            rawNoSync.write(result.payloadBytes - sliceStart);
            _paused += seconds(Clock::now() - pause);
        }
        result.rawSpeed = raw.speed();
        result.rawNoSyncSpeed = rawNoSync.speed();
        result.longestWait = _longestWait;
        std::uint64_t total = 0;
        for (const std::uint64_t count : _waits) {
            total += count;
        }
        std::uint64_t seen = 0;
        for (std::size_t ms = 0; ms < _waits.size(); ++ms) {
            seen += _waits[ms];
            if (total > 0 && seen * 100 >= total * 99) {
                result.wait99 = static_cast<double>(ms) / 1000;
                break;
            }
        }
        return result;
    }

private:
    // Writes the rest of the current tick; false when a frame found no room
    // (the next run starts with that frame).
    bool tick(bool overwrite, PhaseResult& result) {
        const std::uint64_t second = _tick / FramesPerSecond;
        const std::uint16_t index = static_cast<std::uint16_t>(_tick % FramesPerSecond);
        DateTime time(2025, 1, 1, 0, 0, 0);
        time.addSeconds(static_cast<std::int64_t>(second));
        for (; _slot < VideoChannels + AudioChannels; ++_slot) {
            const bool video = _slot < VideoChannels;
            const int channel = video ? _slot : _slot - VideoChannels;
            MediaElement frame;
            frame.setMediaType(video ? MediaElement::Video : MediaElement::Audio);
            frame.setChannelMask(BitMask32(1u << channel));
            frame.setGopID(static_cast<std::uint32_t>(second + 1));
            frame.setFrameIndex(video ? index : 0);
            frame.setDateTime(time);
            frame.setAttributes(video && index == 0 ? 1 : 0, 0, 0, 0);
            const std::uint64_t n = _tick * (VideoChannels + AudioChannels) + static_cast<std::uint64_t>(_slot);
            frame.setDataSize(!video ? _payloads.audioSize(n) : index == 0 ? _payloads.keySize(n) : _payloads.deltaSize(n));
            frame.setPayload(_payloads.data(n));
            if (!write(frame, overwrite, result)) {
                return false;
            }
            // An event every few seconds, on one video channel after another.
            if (video && index == 12 && second % EventEverySeconds == 0 &&
                channel == static_cast<int>(second / EventEverySeconds % VideoChannels)) {
                writeEvent(frame, time);
                ++result.events;
            }
        }
        _slot = 0;
        ++_tick;
        return true;
    }

    bool write(MediaElement& frame, bool overwrite, PhaseResult& result) {
        if (!overwrite && !_group.hasSpaceFor(frame)) {
            return false;
        }
        const auto start = Clock::now();
        _lastPosition = _recorder.writeFrame(frame);
        result.longestWrite = std::max(result.longestWrite, seconds(Clock::now() - start));
        ++result.frames;
        result.payloadBytes += frame.payloadSize();
        noteDurability(frame.mediaID());
        return true;
    }

    // Each frame is on disk once the group's durable media ID reaches it:
    // its wait is measured when the writer next sees that (after each
    // frame, so to within one frame's write), in recording time: the pauses
    // for the raw writes do not count (a frame in a page that has not filled
    // yet waits for more frames, or for a flush).
    void noteDurability(std::uint64_t written) {
        const auto now = Clock::now();
        _waiting.push_back({written, now, _paused});
        const std::uint64_t durable = _group.durableMediaID();
        while (!_waiting.empty() && _waiting.front().id <= durable) {
            const double wait = seconds(now - _waiting.front().time) - (_paused - _waiting.front().paused);
            _longestWait = std::max(_longestWait, wait);
            ++_waits[std::min(_waits.size() - 1, static_cast<std::size_t>(wait * 1000))];
            _waiting.pop_front();
        }
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
    int _slot = 0;
    PagePosition _lastPosition;
    struct Written {
        std::uint64_t id;
        Clock::time_point time;
        double paused; // the pauses before it, in seconds
    };
    std::deque<Written> _waiting;
    double _paused = 0;
    double _longestWait = 0;
    std::vector<std::uint64_t> _waits = std::vector<std::uint64_t>(10001, 0); // per millisecond
};

void printPhase(const char* name, const PhaseResult& phase, double goal) {
    const double speed = megabytes(phase.payloadBytes) / phase.elapsed;
    const double raw = megabytes(static_cast<std::uint64_t>(phase.rawSpeed));
    const double rawNoSync = megabytes(static_cast<std::uint64_t>(phase.rawNoSyncSpeed));
    const double ratio = speed / raw;
    std::printf("%-10s %8.1f MB %7.1f s %8.1f MB/s %7.0f frames/s %5llu events %8.1f MB/s  %.2f x raw (goal >= %.2f) %s"
                "; raw without sync %.1f MB/s: %.2f x\n",
                name, megabytes(phase.payloadBytes), phase.elapsed, speed,
                static_cast<double>(phase.frames) / phase.elapsed, static_cast<unsigned long long>(phase.events), raw,
                ratio, goal, ratio >= goal ? "met" : "MISSED", rawNoSync, speed / rawNoSync);
}

void printTransfers(const char* name, const PhaseResult& phase) {
    const Transfers& t = phase.transfers;
    const double pages = static_cast<double>(phase.payloadBytes) / PageSize;
    std::printf("%-10s per 512 KB of payload: %.2f device flushes (%.2f written-through writes, %.2f of them under "
                "64 KB; %.2f barriers), %.2f deferred transfers, %.2f reads; %.1f MB written, %.1f MB read; a frame "
                "waited at most %.0f ms to be on disk (99 %% of them %.0f ms); the longest frame write took %.0f ms\n",
                name, static_cast<double>(t.writes + t.barriers) / pages, static_cast<double>(t.writes) / pages,
                static_cast<double>(t.smallWrites) / pages, static_cast<double>(t.barriers) / pages,
                static_cast<double>(t.deferredWrites) / pages, static_cast<double>(t.reads) / pages,
                megabytes(t.bytesWritten), megabytes(t.bytesRead), 1000 * phase.longestWait, 1000 * phase.wait99,
                1000 * phase.longestWrite);
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
    const std::string rawNoSyncPath = dir + "/bench_raw_nosync.bin";
    std::vector<std::string> created;
    int status = 0;
    try {
        std::printf("storage write: 2 files of %llu MB, pages of %u bytes, file system %s (%s)\n",
                    static_cast<unsigned long long>(sizeMB), PageSize, bench::fileSystemName(dir).c_str(), dir.c_str());
        std::printf("stream: %d video channels at %d fps (key frame every %d, ~100 KB / ~15 KB), %d audio channels, "
                    "an event every %d s\n",
                    VideoChannels, FramesPerSecond, FramesPerSecond, AudioChannels, EventEverySeconds);
        for (const std::string& path : paths) {
            File::create(path, static_cast<std::int64_t>(size));
            created.push_back(path);
            if (!FixedSizeFileStorage::formatFile(path, UniqueID())) {
                throw std::runtime_error("cannot format " + path);
            }
        }
        const double afterFormat = peakResidentMB();
        Transfers counts;
        const StorageFileOpener opener = [&counts](const std::string& path, bool writable) -> std::unique_ptr<IStorageFile> {
            std::unique_ptr<IStorageFile> file = FixedSizeFileStorage::openFile(path, writable);
            if (file == nullptr) {
                return nullptr;
            }
            return std::make_unique<CountingFile>(std::move(file), counts);
        };
        PhaseResult fill;
        PhaseResult overwrite;
        {
            StorageGroup group(RecorderType::Flac);
            for (const std::string& path : paths) {
                auto member = std::make_unique<FixedSizeFileStorage>(opener);
                if (!member->open(path, true, Storage::CorrectionAndRecovery)) {
                    throw std::runtime_error("cannot open " + path);
                }
                group.addStorage(std::move(member));
            }
            group.selectRecordingStorage(UniqueID::nil(), 0);
            Recorder recorder;
            recorder.open(group);
            Stream stream(group, recorder);
            Transfers mark = counts;
            {
                RawWriter raw(rawPath, 2 * size);
                RawWriter rawNoSync(rawNoSyncPath, 2 * size, false);
                fill = stream.run(false, UINT64_MAX, raw, rawNoSync);
            }
            fill.transfers = counts - mark;
            mark = counts;
            {
                RawWriter raw(rawPath, 2 * size);
                RawWriter rawNoSync(rawNoSyncPath, 2 * size, false);
                overwrite = stream.run(true, fill.payloadBytes, raw, rawNoSync);
            }
            overwrite.transfers = counts - mark;
            recorder.close();
            group.close(true);
        }
        for (const std::string& path : created) {
            ::unlink(path.c_str());
        }
        created.clear();
        std::printf("%-10s %11s %9s %13s %16s %12s %13s\n", "phase", "payload", "time", "speed", "frames", "events",
                    "raw speed");
        printPhase("fill", fill, FillGoal);
        printPhase("overwrite", overwrite, OverwriteGoal);
        printTransfers("fill", fill);
        printTransfers("overwrite", overwrite);
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
    // Only what this run created goes; the raw writer removes its own file.
    for (const std::string& path : created) {
        ::unlink(path.c_str());
    }
    if (ownDir) {
        ::rmdir(dir.c_str());
    }
    return status;
}
