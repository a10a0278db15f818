// Archiving end to end: ostrel-archive's run archives a simulated site's
// recording of 16 channels of 25 fps video (100 KB key frames, 15 KB others,
// a key frame every second) over loopback into a group of two storage files
// of 2 GB each, formatted as "ostrel-storage format" formats them. It prints
// the recording seconds archived per wall-clock second and the archived
// MB/s, beside the raw O_DIRECT|O_DSYNC sequential write speed of the same
// file system (524288-byte blocks into a preallocated file of the same size),
// measured in the same run before and after the archiving. Goal: archived
// MB/s >= 0.8 x raw.
//
// Where the time goes: the CPU time of the media dispatcher thread (archiver,
// recorder and every storage write), of the network dispatcher thread (socket
// reads, framing, parsing, the playback client's queue) and of the rest of
// the process (mostly the simulated site computing and sending its frames).
//
// Usage: bench_archive_e2e [--dir DIR] [--size GB] [--seconds N]
//   --dir      where the files go (default: a new directory under the current
//              one; it should be on the disk archiving would use, not tmpfs)
//   --size     size of each storage file and of the raw file in GB (default 2)
//   --seconds  recorded seconds the site serves (default: what fills about
//              80 % of the group)
#include "../support/FileSystemName.h"
#include "base/DateTime.h"
#include "base/Exception.h"
#include "base/File.h"
#include "ostrel-archive/ArchiveTool.h"
#include "ostrel-sitesim/SiteServer.h"
#include "ostrel-storage/StorageTool.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/vfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ostrel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Channels = 16;
constexpr int FrameRate = 25;
constexpr int Gop = 25;
constexpr uint32_t KeyFrameSize = 100000;
constexpr uint32_t FrameSize = 15000;
constexpr uint32_t HeaderSize = 64;
constexpr std::size_t Block = 524288;
constexpr double MB = 1048576.0;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Sequential O_DIRECT|O_DSYNC writes of 524288-byte blocks over a freshly
// preallocated file of `bytes`; the file is removed afterwards. MB/s.
double rawWriteSpeed(const std::string& path, uint64_t bytes) {
    File::create(path, static_cast<int64_t>(bytes));
    const int fd = ::open(path.c_str(), O_WRONLY | O_DIRECT | O_DSYNC | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        ::unlink(path.c_str());
        throw std::runtime_error("open " + path + ": " + std::strerror(error));
    }
    void* block = nullptr;
    if (::posix_memalign(&block, 4096, Block) != 0) {
        ::close(fd);
        ::unlink(path.c_str());
        throw std::runtime_error("no memory for the raw write block");
    }
    std::memset(block, 0x5A, Block);
    const auto start = Clock::now();
    uint64_t written = 0;
    for (uint64_t offset = 0; offset + Block <= bytes; offset += Block) {
        if (::pwrite(fd, block, Block, static_cast<off_t>(offset)) != static_cast<ssize_t>(Block)) {
            const int error = errno;
            std::free(block);
            ::close(fd);
            ::unlink(path.c_str());
            throw std::runtime_error("raw write " + path + ": " + std::strerror(error));
        }
        written += Block;
    }
    const double elapsed = seconds(Clock::now() - start);
    std::free(block);
    ::close(fd);
    ::unlink(path.c_str());
    return static_cast<double>(written) / MB / elapsed;
}

// Samples the CPU time of every thread of the process while the run goes on,
// so that threads that end with the run are counted too.
class ThreadCpuSampler {
public:
    void start() {
        _running = true;
        _thread = std::thread([this] {
            while (_running) {
                sample();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            sample();
        });
    }
    void stop() {
        _running = false;
        if (_thread.joinable()) {
            _thread.join();
        }
    }
    // Seconds the threads named `prefix` were runnable but waited for a CPU.
    double cpuWaitSeconds(const std::string& prefix) const {
        std::lock_guard lock(_mutex);
        uint64_t total = 0;
        for (const auto& [tid, entry] : _threads) {
            if (entry.name.rfind(prefix, 0) == 0) {
                total += entry.waitingNanoseconds;
            }
        }
        return static_cast<double>(total) / 1e9;
    }
    // Seconds on a CPU of the threads whose name starts with `prefix`
    // (an empty prefix: of the threads no other prefix in `others` names).
    double cpuSeconds(const std::string& prefix, const std::vector<std::string>& others = {}) const {
        std::lock_guard lock(_mutex);
        uint64_t total = 0;
        for (const auto& [tid, entry] : _threads) {
            const bool named = std::any_of(others.begin(), others.end(),
                                           [&](const std::string& p) { return entry.name.rfind(p, 0) == 0; });
            if ((prefix.empty() && !named) || (!prefix.empty() && entry.name.rfind(prefix, 0) == 0)) {
                total += entry.nanoseconds;
            }
        }
        return static_cast<double>(total) / 1e9;
    }

    // What the threads named `prefix` were doing at the samples: running
    // ("R running"), or in the kernel function they waited in, each with its
    // share of the samples.
    std::vector<std::pair<std::string, double>> states(const std::string& prefix) const {
        std::lock_guard lock(_mutex);
        std::map<std::string, uint64_t> counts;
        uint64_t total = 0;
        for (const auto& [key, count] : _states) {
            if (key.first.rfind(prefix, 0) == 0) {
                counts[key.second] += count;
                total += count;
            }
        }
        std::vector<std::pair<std::string, double>> shares;
        for (const auto& [state, count] : counts) {
            shares.emplace_back(state, total > 0 ? static_cast<double>(count) / static_cast<double>(total) : 0.0);
        }
        std::sort(shares.begin(), shares.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
        return shares;
    }

private:
    struct Entry {
        std::string name;
        uint64_t nanoseconds = 0;
        uint64_t waitingNanoseconds = 0; // runnable, waiting for a CPU
    };
    void sample() {
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
            std::ifstream comm(task.path() / "comm");
            std::ifstream schedstat(task.path() / "schedstat");
            std::string name;
            uint64_t onCpu = 0;
            uint64_t waiting = 0;
            if (!std::getline(comm, name) || !(schedstat >> onCpu >> waiting)) {
                continue;
            }
            std::string state;
            if (name.rfind("MediaDispatcher", 0) == 0 || name.rfind("NetworkPlayback", 0) == 0) {
                std::ifstream stat(task.path() / "stat");
                std::string line;
                std::getline(stat, line);
                const std::size_t close = line.rfind(')');
                const char code = close != std::string::npos && close + 2 < line.size() ? line[close + 2] : '?';
                if (code == 'R') {
                    state = "R running";
                } else {
                    std::ifstream wchan(task.path() / "wchan");
                    std::string where;
                    std::getline(wchan, where);
                    state = std::string(1, code) + " " + (where.empty() || where == "0" ? "?" : where);
                }
            }
            std::lock_guard lock(_mutex);
            Entry& entry = _threads[task.path().filename().string()];
            entry.name = name;
            entry.nanoseconds = std::max(entry.nanoseconds, onCpu);
            entry.waitingNanoseconds = std::max(entry.waitingNanoseconds, waiting);
            if (!state.empty()) {
                ++_states[{name, state}];
            }
        }
    }

    std::atomic<bool> _running{false};
    std::thread _thread;
    mutable std::mutex _mutex;
    std::map<std::string, Entry> _threads;
    std::map<std::pair<std::string, std::string>, uint64_t> _states;
};

struct Options {
    std::string dir;
    std::string size = "2";
    int seconds = 0;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            throw std::runtime_error(arg + " needs a value");
        }
        const std::string value = argv[++i];
        if (arg == "--dir") {
            options.dir = value;
        } else if (arg == "--size") {
            options.size = value;
        } else if (arg == "--seconds") {
            options.seconds = std::atoi(value.c_str());
            if (options.seconds <= 0) {
                throw std::runtime_error("--seconds takes a positive number");
            }
        } else {
            throw std::runtime_error("unknown argument " + arg +
                                     " (usage: bench_archive_e2e [--dir DIR] [--size GB] [--seconds N])");
        }
    }
    return options;
}

int run(const Options& options) {
    const uint64_t fileBytes = StorageTool::fileSizeFor(options.size);
    if (fileBytes == 0) {
        throw std::runtime_error("--size takes a positive number of GB");
    }
    const bool ownDir = options.dir.empty();
    const std::string dir = ownDir ? (std::filesystem::current_path() / ("archive-e2e-bench-" + std::to_string(getpid())))
                                         .string()
                                   : options.dir;
    std::filesystem::create_directories(dir);
    struct Cleanup {
        std::string dir;
        std::vector<std::string> files;
        bool removeDir;
        ~Cleanup() {
            for (const std::string& file : files) {
                ::unlink(file.c_str());
            }
            if (removeDir) {
                std::error_code ignored;
                std::filesystem::remove(dir, ignored);
            }
        }
    } cleanup{dir, {dir + "/a.strg", dir + "/b.strg", dir + "/raw.bin"}, ownDir};

    const uint64_t perSecond = uint64_t{Channels} * (KeyFrameSize + (FrameRate - 1) * uint64_t{FrameSize} +
                                                     FrameRate * uint64_t{HeaderSize});
    const int recorded = options.seconds > 0 ? options.seconds
                                             : static_cast<int>(0.8 * 2.0 * static_cast<double>(fileBytes) /
                                                                static_cast<double>(perSecond));
    const std::string fs = bench::fileSystemName(dir);
    std::printf("archive e2e: %d channels x %d fps (key frames %u bytes every %d frames, others %u), %d s recorded "
                "(%.0f MB)\n",
                Channels, FrameRate, KeyFrameSize, Gop, FrameSize, recorded,
                static_cast<double>(perSecond) * recorded / MB);
    std::printf("files in %s (%s), two storage files and a raw file of %llu bytes each\n", dir.c_str(), fs.c_str(),
                static_cast<unsigned long long>(fileBytes));
    if (fs == "tmpfs") {
        std::printf("warning: tmpfs is not a disk; the figures say nothing about archiving to one\n");
    }

    for (const std::string name : {"a.strg", "b.strg"}) {
        std::ostringstream out;
        std::ostringstream err;
        if (StorageTool().run({"format", dir + "/" + name, options.size}, out, err) != 0) {
            throw std::runtime_error("format failed: " + err.str());
        }
    }

    const double rawBefore = rawWriteSpeed(dir + "/raw.bin", fileBytes);
    std::printf("raw O_DIRECT|O_DSYNC sequential write, before: %.1f MB/s\n", rawBefore);

    SiteSettings site;
    site.recording.sections = {{1, DateTime(2024, 1, 1, 10, 0, 0), DateTime(2024, 1, 1, 10, 0, 0).addSeconds(recorded - 1)}};
    site.recording.videoChannels = Channels;
    site.recording.audioChannels = 0;
    site.recording.frameRate = FrameRate;
    site.recording.gopLength = Gop;
    site.recording.keyFrameSize = KeyFrameSize;
    site.recording.frameSize = FrameSize;
    site.recording.events.clear();
    site.recording.textIns.clear();
    SiteServer server(site);
    const uint16_t port = server.start();

    ArchiveOptions archive;
    archive.host = "127.0.0.1";
    archive.port = port;
    archive.user = site.user;
    archive.password = site.password;
    archive.storages = {dir + "/a.strg", dir + "/b.strg"};
    archive.from = DateTime(2024, 1, 1, 9, 0, 0);
    const std::atomic<bool> interrupted{false};
    std::ostringstream progress;

    ThreadCpuSampler sampler;
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    sampler.start();
    const auto start = Clock::now();
    const ArchiveResult result = ArchiveTool::run(archive, progress, interrupted, false);
    const double wall = seconds(Clock::now() - start);
    sampler.stop();
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    server.stop();
    std::fputs(progress.str().c_str(), stdout);

    const double rawAfter = rawWriteSpeed(dir + "/raw.bin", fileBytes);
    std::printf("raw O_DIRECT|O_DSYNC sequential write, after: %.1f MB/s\n", rawAfter);
    const double raw = (rawBefore + rawAfter) / 2;

    const uint64_t wantFrames = uint64_t{Channels} * FrameRate * static_cast<uint64_t>(recorded);
    const double archivedSeconds =
        result.last.isValid() ? static_cast<double>(result.last.time.epochSeconds() -
                                                    DateTime(2024, 1, 1, 10, 0, 0).epochSeconds() + 1)
                              : 0.0;
    const double mbs = static_cast<double>(result.bytes) / MB / wall;
    std::printf("archived: exit %d%s%s, %llu of %llu frames, %.1f MB in %.2f s\n", result.exitCode,
                result.reason.empty() ? "" : " ", result.reason.c_str(), static_cast<unsigned long long>(result.frames),
                static_cast<unsigned long long>(wantFrames), static_cast<double>(result.bytes) / MB, wall);
    std::printf("recording seconds archived per second: %.2f (%.0f s of recording in %.2f s)\n",
                archivedSeconds / wall, archivedSeconds, wall);
    std::printf("archived MB/s: %.1f; raw write MB/s: %.1f; ratio %.2f (goal >= 0.80) %s\n", mbs, raw, mbs / raw,
                mbs >= 0.8 * raw ? "MET" : "MISSED");

    const auto cpu = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    const double user = cpu(after.ru_utime) - cpu(before.ru_utime);
    const double system = cpu(after.ru_stime) - cpu(before.ru_stime);
    const std::vector<std::string> named = {"MediaDispatcher", "NetworkPlayback", "SessionAliveChe"};
    const double media = sampler.cpuSeconds("MediaDispatcher");
    const double network = sampler.cpuSeconds("NetworkPlayback");
    const double rest = sampler.cpuSeconds("", named);
    std::printf("CPU: process %.2f s (user %.2f, system %.2f) on %u cores over %.2f s\n", user + system, user, system,
                std::thread::hardware_concurrency(), wall);
    std::printf("  media dispatcher (archiver, recorder, storage writes): %.2f s (%.0f %% of the wall time)\n", media,
                100 * media / wall);
    std::printf("  network dispatcher (socket reads, framing, parsing):    %.2f s (%.0f %%)\n", network,
                100 * network / wall);
    std::printf("  rest (simulated site, main):                             %.2f s (%.0f %%)\n", rest,
                100 * rest / wall);
    double load[3] = {0, 0, 0};
    ::getloadavg(load, 3);
    std::printf("  waiting for a CPU while runnable: media dispatcher %.2f s, network dispatcher %.2f s "
                "(load average %.2f on %u cores)\n",
                sampler.cpuWaitSeconds("MediaDispatcher"), sampler.cpuWaitSeconds("NetworkPlayback"), load[0],
                std::thread::hardware_concurrency());
    for (const char* thread : {"MediaDispatcher", "NetworkPlayback"}) {
        std::printf("  %s thread, sampled every 20 ms:", thread);
        int shown = 0;
        for (const auto& [state, share] : sampler.states(thread)) {
            if (shown++ == 5) {
                break;
            }
            std::printf(" %s %.0f %%;", state.c_str(), 100 * share);
        }
        std::printf("\n");
    }
    return result.exitCode == 0 && result.frames == wantFrames ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(parse(argc, argv));
    } catch (const Exception& e) {
        std::fprintf(stderr, "bench_archive_e2e: %s\n", e.toString().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_archive_e2e: %s\n", e.what());
    }
    return 1;
}
