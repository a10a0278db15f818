// Many sites at once: the application's ArchivingScheduler archives 1, 10 and
// 100 simulated sites at the same time, each site into a storage group of its
// own (two small storage files, overwriting when full), for a fixed time per
// case. Each site records 4 channels of 25 fps video (50 KB key frames every
// second, 8 KB others) and plays it back as fast as it is read, so the sites
// together offer more than the disk takes.
//
// Per case it prints:
//   - archived MB/s of all sites together, beside raw O_DIRECT|O_DSYNC
//     sequential writes of 524288-byte blocks to the same file system,
//     measured in the same run right before the case (goal: >= 0.7 x raw);
//   - frames lost: frames up to each site's last archived position that did
//     not reach its storage (must be 0), and frames archived twice;
//   - resident memory: before the start (groups open, nothing connected), the
//     peak while archiving, and the peak's growth per site;
//   - CPU seconds per GB archived (the archiving process alone);
//   - open file descriptors and threads of the archiving process, at their
//     highest while archiving;
//   - the slowest site's archived rate against the mean (goal: >= 0.5).
//
// The simulated sites run in a child process forked at start (the library
// ostrel_sitesim, not a separate program), so that the memory, CPU, threads
// and descriptors above are the archiving side's only.
//
// Usage: bench_scale [--dir DIR] [--warmup N] [--seconds N] [--sites N[,N...]] [--file-mb MB]
//   --dir      where the storage files go (default: a new directory under the
//              current one; it should be a disk, not tmpfs)
//   --warmup   seconds after every site began archiving that are measured
//              apart, the groups' start (default 5 + sites / 10)
//   --seconds  the measured archiving time of each case after those
//              (default 8; longer runs: 60)
//   --sites    the cases (default 1,10,100; at most 100, the session limit)
//   --file-mb  size of each of a site's two storage files (default: 1024 /
//              sites, from 64 to 512, so that no group fills within a case)
#include "../support/FileSystemName.h"
#include "app/persistence/SiteStorage.h"
#include "app/scheduling/ArchivingSchedule.h"
#include "app/scheduling/ArchivingScheduler.h"
#include "app/scheduling/ScheduleListener.h"
#include "base/DateTime.h"
#include "base/Exception.h"
#include "base/File.h"
#include "base/UniqueID.h"
#include "ostrel-sitesim/SiteServer.h"
#include "storage/pager/MemoryPool.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ostrel;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int Channels = 4;
constexpr int FrameRate = 25;
constexpr int Gop = 25;
constexpr uint32_t KeyFrameSize = 50000;
constexpr uint32_t FrameSize = 8000;
// Every slot of a second holds one video frame (no audio, no text-in).
constexpr uint32_t SlotsPerSecond = Channels * FrameRate;
constexpr int RecordedSeconds = 6 * 3600;
constexpr std::size_t Block = 524288;
constexpr uint64_t RawBytes = 192ull << 20;
constexpr int MaxSites = 100;
constexpr double MB = 1048576.0;
const DateTime SectionStart(2024, 1, 1, 0, 0, 0);

double seconds(SteadyClock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---- the simulated sites' process -------------------------------------------------------------

// Reads one line from a descriptor (no buffering beyond it); false at the end.
bool readLine(int fd, std::string& line) {
    line.clear();
    char c = 0;
    while (true) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        if (c == '\n') {
            return true;
        }
        line.push_back(c);
    }
}

void writeLine(int fd, const std::string& line) {
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("the sites' process went away");
        }
        done += static_cast<std::size_t>(n);
    }
}

SiteSettings siteSettings() {
    SiteSettings site;
    site.recording.sections = {{1, SectionStart, DateTime(SectionStart).addSeconds(RecordedSeconds - 1)}};
    site.recording.videoChannels = Channels;
    site.recording.audioChannels = 0;
    site.recording.frameRate = FrameRate;
    site.recording.gopLength = Gop;
    site.recording.keyFrameSize = KeyFrameSize;
    site.recording.frameSize = FrameSize;
    site.recording.events.clear();
    site.recording.textIns.clear();
    return site;
}

// The child: "start N" starts N sites and answers their ports on one line,
// "stop" stops them all and answers "stopped"; the end of input ends it.
int sitesProcess(int in, int out) {
    std::vector<std::unique_ptr<SiteServer>> sites;
    std::string line;
    while (readLine(in, line)) {
        if (line.rfind("start ", 0) == 0) {
            const int count = std::atoi(line.c_str() + 6);
            std::string ports;
            for (int i = 0; i < count; ++i) {
                sites.push_back(std::make_unique<SiteServer>(siteSettings()));
                ports += (i ? " " : "") + std::to_string(sites.back()->start());
            }
            writeLine(out, ports);
        } else if (line == "stop") {
            for (auto& site : sites) {
                site->stop();
            }
            sites.clear();
            writeLine(out, "stopped");
        }
    }
    return 0;
}

class SitesProcess {
public:
    // Forks the child; call before any thread exists.
    SitesProcess() {
        int down[2];
        int up[2];
        if (::pipe2(down, O_CLOEXEC) != 0 || ::pipe2(up, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
        }
        _pid = ::fork();
        if (_pid < 0) {
            throw std::runtime_error("fork: " + std::string(std::strerror(errno)));
        }
        if (_pid == 0) {
            ::close(down[1]);
            ::close(up[0]);
            int status = 1;
            try {
                status = sitesProcess(down[0], up[1]);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "bench_scale (sites): %s\n", e.what());
            }
            std::_Exit(status);
        }
        ::close(down[0]);
        ::close(up[1]);
        _out = down[1];
        _in = up[0];
    }
    ~SitesProcess() {
        ::close(_out);
        ::close(_in);
        int status = 0;
        ::waitpid(_pid, &status, 0);
    }
    std::vector<uint16_t> start(int count) {
        writeLine(_out, "start " + std::to_string(count));
        std::string line;
        if (!readLine(_in, line)) {
            throw std::runtime_error("the sites' process did not start its sites");
        }
        std::vector<uint16_t> ports;
        std::istringstream words(line);
        int port = 0;
        while (words >> port) {
            ports.push_back(static_cast<uint16_t>(port));
        }
        if (static_cast<int>(ports.size()) != count) {
            throw std::runtime_error("the sites' process started " + std::to_string(ports.size()) + " sites, not " +
                                     std::to_string(count));
        }
        return ports;
    }
    void stop() {
        writeLine(_out, "stop");
        std::string line;
        readLine(_in, line);
    }

private:
    pid_t _pid = -1;
    int _out = -1;
    int _in = -1;
};

// ---- measurements -------------------------------------------------------------------------------

// Sequential O_DIRECT|O_DSYNC writes of 524288-byte blocks over a freshly
// preallocated file; the file is removed afterwards. MB/s.
double rawWriteSpeed(const std::string& path) {
    File::create(path, static_cast<int64_t>(RawBytes));
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
    const auto start = SteadyClock::now();
    uint64_t written = 0;
    for (uint64_t offset = 0; offset + Block <= RawBytes; offset += Block) {
        if (::pwrite(fd, block, Block, static_cast<off_t>(offset)) != static_cast<ssize_t>(Block)) {
            const int error = errno;
            std::free(block);
            ::close(fd);
            ::unlink(path.c_str());
            throw std::runtime_error("raw write " + path + ": " + std::strerror(error));
        }
        written += Block;
    }
    const double elapsed = seconds(SteadyClock::now() - start);
    std::free(block);
    ::close(fd);
    ::unlink(path.c_str());
    return static_cast<double>(written) / MB / elapsed;
}

// A "Vm...:" figure of /proc/self/status in MB.
double statusMB(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(key);
    while (std::getline(status, line)) {
        if (line.compare(0, length, key) == 0) {
            return std::atof(line.c_str() + length) / 1024.0;
        }
    }
    return 0;
}

double residentMB() { return statusMB("VmRSS:"); }

// Restarts the kernel's peak resident figure (VmHWM) at the current one.
void resetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5" << std::flush;
}

int countEntries(const char* dir) {
    int count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator(dir, error); !error && it != std::filesystem::directory_iterator();
         it.increment(error)) {
        ++count;
    }
    return count;
}

// Page buffers the storage engine holds (in use or kept free for reuse).
double poolMB() {
    return static_cast<double>(MemoryPool::instance().createdCount() * MemoryPool::MinimumBlockSize) / MB;
}

// What the named threads of this process do at this moment: counts of
// "running", "disk" (uninterruptible, mostly waiting for writes to reach the
// disk) and "waiting" (sleeping: for work, a lock or room) per thread name.
struct ThreadStates {
    std::map<std::string, std::array<int, 3>> counts;
    void sample() {
        std::error_code error;
        for (auto it = std::filesystem::directory_iterator("/proc/self/task", error);
             !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
            std::ifstream comm(it->path() / "comm");
            std::string name;
            if (!std::getline(comm, name) ||
                (name.rfind("MediaDispatcher", 0) != 0 && name.rfind("NetworkPlayback", 0) != 0 &&
                 name.rfind("GroupCommit", 0) != 0)) {
                continue;
            }
            std::ifstream stat(it->path() / "stat");
            std::string line;
            std::getline(stat, line);
            const std::size_t close = line.rfind(')');
            const char code = close != std::string::npos && close + 2 < line.size() ? line[close + 2] : '?';
            ++counts[name][code == 'R' ? 0 : code == 'D' ? 1 : 2];
        }
    }
    std::string text() const {
        std::string out;
        for (const auto& [name, c] : counts) {
            const double total = std::max(1, c[0] + c[1] + c[2]);
            char line[160];
            std::snprintf(line, sizeof line, "%s%s running %.0f %%, disk %.0f %%, waiting %.0f %%", out.empty() ? "" : "; ",
                          name.c_str(), 100 * c[0] / total, 100 * c[1] / total, 100 * c[2] / total);
            out += line;
        }
        return out;
    }
};

int openFds() { return countEntries("/proc/self/fd"); }
int threadCount() { return countEntries("/proc/self/task"); }

double cpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return s(usage.ru_utime) + s(usage.ru_stime);
}

// ---- the schedules' reports ---------------------------------------------------------------------

class Reports : public ScheduleListener {
public:
    void scheduleConnected(int handle) override { at(handle).connected = true; }
    void scheduleStopped(int handle) override { at(handle).stopped = true; }
    void scheduleFailed(int handle) override { at(handle).failed = true; }
    void scheduleDisconnected(int handle, int reason) override { at(handle).disconnectReason = reason; }

    struct Site {
        std::atomic<bool> connected{false};
        std::atomic<bool> stopped{false};
        std::atomic<bool> failed{false};
        std::atomic<int> disconnectReason{0};
    };
    // Handles grow over the run; each case uses its own range of them.
    Site& at(int handle) { return _sites[static_cast<std::size_t>(handle) % _sites.size()]; }
    void reset(int handle) {
        Site& site = at(handle);
        site.connected = false;
        site.stopped = false;
        site.failed = false;
        site.disconnectReason = 0;
    }

private:
    std::array<Site, 4 * MaxSites> _sites;
};

struct Options {
    std::string dir;
    int seconds = 8;
    // -1: 5 s and a tenth of a second per site (the groups start one after
    // another on the one thread that writes every storage).
    int warmup = -1;
    std::vector<int> cases = {1, 10, 100};
    // 0: chosen per case (1024 / sites, from 64 to 512).
    uint64_t fileMB = 0;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            throw std::runtime_error(arg + " needs a value (usage: bench_scale [--dir DIR] [--warmup N] [--seconds N] "
                                           "[--sites N[,N...]] [--file-mb MB])");
        }
        const std::string value = argv[++i];
        if (arg == "--dir") {
            options.dir = value;
        } else if (arg == "--seconds") {
            options.seconds = std::atoi(value.c_str());
            if (options.seconds < 1) {
                throw std::runtime_error("--seconds takes a positive number");
            }
        } else if (arg == "--warmup") {
            options.warmup = std::atoi(value.c_str());
            if (options.warmup < 0 || value.empty() || value[0] < '0' || value[0] > '9') {
                throw std::runtime_error("--warmup takes a number of seconds");
            }
        } else if (arg == "--sites") {
            options.cases.clear();
            std::istringstream list(value);
            std::string item;
            while (std::getline(list, item, ',')) {
                const int sites = std::atoi(item.c_str());
                if (sites < 1 || sites > MaxSites) {
                    throw std::runtime_error("--sites takes counts from 1 to 100");
                }
                options.cases.push_back(sites);
            }
        } else if (arg == "--file-mb") {
            options.fileMB = static_cast<uint64_t>(std::atoll(value.c_str()));
            if (options.fileMB < 8) {
                throw std::runtime_error("--file-mb takes at least 8");
            }
        } else {
            throw std::runtime_error("unknown argument " + arg +
                                     " (usage: bench_scale [--dir DIR] [--warmup N] [--seconds N] [--sites N[,N...]] "
                                     "[--file-mb MB])");
        }
    }
    return options;
}

struct CaseResult {
    int sites = 0;
    double raw = 0;
    double archived = 0;
    uint64_t lost = 0;
    uint64_t twice = 0;
    int notConnected = 0;
    double residentBefore = 0;
    double peakResident = 0;
    // Page buffers of the storage engine (MemoryPool blocks) before the start
    // and at their highest while archiving.
    double poolBefore = 0;
    double peakPool = 0;
    double cpuPerGB = 0;
    int fds = 0;
    int threads = 0;
    double slowestToMean = 0;
    // Seconds from the start until every site archived its first frame.
    double ramp = 0;
    // Archived MB/s in the warm-up after the ramp.
    double warmArchived = 0;
    int warmup = 0;
    uint64_t fileMB = 0;
    // Seconds to make and open the groups.
    double setup = 0;
    std::string threadStates;
};

CaseResult runCase(int count, Options options, const std::string& dir, SitesProcess& sites,
                   ArchivingScheduler& scheduler, Reports& reports) {
    if (options.warmup < 0) {
        options.warmup = 5 + count / 10;
    }
    CaseResult result;
    result.warmup = options.warmup;
    result.sites = count;
    result.raw = rawWriteSpeed(dir + "/raw.bin");

    const std::vector<uint16_t> ports = sites.start(count);
    const SiteSettings site = siteSettings();
    // Files large enough that no site fills its group within the case (the
    // overwrite path is bench_storage_write's), small enough for 100 groups.
    const uint64_t fileMB =
        options.fileMB > 0 ? options.fileMB : std::clamp<uint64_t>(1024 / static_cast<uint64_t>(count), 64, 512);
    result.fileMB = fileMB;
    const uint64_t fileBytes = fileMB << 20;
    const auto setupStart = SteadyClock::now();
    std::vector<std::string> files;
    std::vector<int> handles;
    for (int i = 0; i < count; ++i) {
        const std::string base = dir + "/site" + std::to_string(i);
        std::string error;
        const UniqueID repository;
        if (!SiteStorage::createGroup(base + ".strgx", repository,
                                      {{base + "-1.strg", fileBytes}, {base + "-2.strg", fileBytes}}, &error)) {
            throw std::runtime_error("cannot make the storage group of site " + std::to_string(i) + ": " + error);
        }
        files.insert(files.end(), {base + ".strgx", base + "-1.strg", base + "-2.strg"});
        const int handle = scheduler.createSchedule(repository, "127.0.0.1", ports[i], site.user, site.password, true);
        reports.reset(handle);
        if (!scheduler.siteStorage(handle)->open(base + ".strgx")) {
            throw std::runtime_error("cannot open the storage group of site " + std::to_string(i));
        }
        handles.push_back(handle);
    }
    result.setup = seconds(SteadyClock::now() - setupStart);
    result.residentBefore = residentMB();
    result.poolBefore = poolMB();
    result.peakPool = result.poolBefore;
    resetPeakResident();

    std::vector<uint64_t> startBytes(handles.size(), 0);
    const auto start = SteadyClock::now();
    for (const int handle : handles) {
        scheduler.startFromTime(handle, SectionStart);
    }
    // The rates are measured over the case's time once every site archives
    // (how long that took is the ramp); a site that has not begun within
    // RampLimit counts from then with what it has.
    constexpr auto RampLimit = std::chrono::seconds(30);
    const auto sample = [&] {
        result.peakPool = std::max(result.peakPool, poolMB());
        result.fds = std::max(result.fds, openFds());
        result.threads = std::max(result.threads, threadCount());
    };
    while (SteadyClock::now() < start + RampLimit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sample();
        const bool all = std::all_of(handles.begin(), handles.end(),
                                     [&](int handle) { return scheduler.schedule(handle)->archivedBytes() > 0; });
        if (all) {
            break;
        }
    }
    result.ramp = seconds(SteadyClock::now() - start);
    // The first seconds after that are the groups' start (first pages,
    // sections, recording tables: many small transactions, each waiting for
    // the disk); measured apart, then the steady window.
    {
        std::vector<uint64_t> before(handles.size(), 0);
        uint64_t total = 0;
        for (std::size_t i = 0; i < handles.size(); ++i) {
            before[i] = scheduler.schedule(handles[i])->archivedBytes();
        }
        const auto warmStart = SteadyClock::now();
        while (SteadyClock::now() < warmStart + std::chrono::seconds(options.warmup)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            sample();
        }
        for (std::size_t i = 0; i < handles.size(); ++i) {
            total += scheduler.schedule(handles[i])->archivedBytes() - before[i];
        }
        result.warmArchived = options.warmup > 0 ? static_cast<double>(total) / MB / seconds(SteadyClock::now() - warmStart) : 0;
    }
    const auto windowStarted = SteadyClock::now();
    const double cpuStart = cpuSeconds();
    for (std::size_t i = 0; i < handles.size(); ++i) {
        startBytes[i] = scheduler.schedule(handles[i])->archivedBytes();
    }
    const auto end = windowStarted + std::chrono::seconds(options.seconds);
    ThreadStates states;
    int samples = 0;
    while (SteadyClock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        states.sample();
        if (++samples % 10 == 0) {
            sample();
        }
    }
    result.threadStates = states.text();
    const double window = seconds(SteadyClock::now() - windowStarted);
    const double cpu = cpuSeconds() - cpuStart;
    std::vector<double> rates;
    uint64_t total = 0;
    for (std::size_t i = 0; i < handles.size(); ++i) {
        const uint64_t bytes = scheduler.schedule(handles[i])->archivedBytes() - startBytes[i];
        total += bytes;
        rates.push_back(static_cast<double>(bytes) / MB / window);
    }
    result.peakResident = statusMB("VmHWM:");
    result.archived = static_cast<double>(total) / MB / window;
    result.cpuPerGB = total > 0 ? cpu / (static_cast<double>(total) / (1024.0 * MB)) : 0;
    const double mean = result.archived / count;
    result.slowestToMean = mean > 0 ? *std::min_element(rates.begin(), rates.end()) / mean : 0;
    if (std::getenv("OSTREL_SCALE_RATES") != nullptr) {
        std::vector<double> sorted = rates;
        std::sort(sorted.begin(), sorted.end());
        std::printf("  site rates MB/s, slowest to fastest:");
        for (const double rate : sorted) {
            std::printf(" %.2f", rate);
        }
        std::printf("\n");
    }

    for (const int handle : handles) {
        scheduler.stop(handle);
    }
    const auto stopLimit = SteadyClock::now() + std::chrono::seconds(30);
    for (const int handle : handles) {
        while (!reports.at(handle).stopped && SteadyClock::now() < stopLimit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    // Every frame up to a site's last archived one must be in its storage:
    // with one frame in every slot, position (section 1, second s, slot k)
    // is frame s x slots + k, counted from 0.
    for (const int handle : handles) {
        const ArchivingSchedule& schedule = *scheduler.schedule(handle);
        const ResumeRecord last = schedule.resumePosition();
        if (!reports.at(handle).connected) {
            ++result.notConnected;
        }
        const uint64_t expected =
            last.isValid() ? uint64_t{last.position.second()} * SlotsPerSecond + last.position.third() + 1 : 0;
        const uint64_t archived = schedule.archivedFrames();
        if (archived < expected) {
            result.lost += expected - archived;
        } else {
            result.twice += archived - expected;
        }
    }
    for (const int handle : handles) {
        scheduler.deleteSchedule(handle);
    }
    sites.stop();
    for (const std::string& file : files) {
        ::unlink(file.c_str());
    }
    return result;
}

int run(const Options& options, SitesProcess& sites) {
    const bool ownDir = options.dir.empty();
    const std::string dir =
        ownDir ? (std::filesystem::current_path() / ("scale-bench-" + std::to_string(getpid()))).string() : options.dir;
    std::filesystem::create_directories(dir);
    struct Cleanup {
        std::string dir;
        bool remove;
        ~Cleanup() {
            ::unlink((dir + "/raw.bin").c_str());
            if (remove) {
                std::error_code ignored;
                std::filesystem::remove_all(dir, ignored);
            }
        }
    } cleanup{dir, ownDir};

    const std::string fs = bench::fileSystemName(dir);
    std::printf("scale: sites of %d channels x %d fps (key frames %u bytes every %d frames, others %u), played "
                "back as fast as read; each into a group of 2 storage files (overwrite allowed); %d s measured a "
                "case after its warm-up\n",
                Channels, FrameRate, KeyFrameSize, Gop, FrameSize, options.seconds);
    std::printf("files in %s (%s); %u cores; the sites run in a child process\n", dir.c_str(), fs.c_str(),
                std::thread::hardware_concurrency());
    if (fs == "tmpfs") {
        std::printf("warning: tmpfs is not a disk; the figures say nothing about archiving to one\n");
    }

    const double residentAtStart = residentMB();
    Reports reports;
    ArchivingScheduler scheduler;
    scheduler.setup(&reports, ArchivingSchedule::DefaultChunkSeconds);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::printf("resident: %.1f MB at start, %.1f MB with the scheduler set up (no schedule); %d fds, %d threads\n",
                residentAtStart, residentMB(), openFds(), threadCount());

    std::vector<CaseResult> results;
    for (const int count : options.cases) {
        results.push_back(runCase(count, options, dir, sites, scheduler, reports));
        const CaseResult& r = results.back();
        std::printf("%3d sites (groups of 2 x %llu MB made and opened in %.1f s): every site archiving after %.2f s, "
                    "%.1f MB/s in the %d s after; then archived %.1f MB/s, raw %.1f MB/s; frames lost %llu, twice "
                    "%llu%s\n",
                    r.sites, static_cast<unsigned long long>(r.fileMB), r.setup, r.ramp, r.warmArchived, r.warmup, r.archived, r.raw, static_cast<unsigned long long>(r.lost),
                    static_cast<unsigned long long>(r.twice),
                    r.notConnected ? (", " + std::to_string(r.notConnected) + " never connected").c_str() : "");
        std::printf("     threads, sampled every 10 ms: %s\n", r.threadStates.c_str());
        std::fflush(stdout);
    }
    scheduler.shutdown();
    std::printf("resident after every case: %.1f MB\n\n", residentMB());

    std::printf("sites  archived MB/s  raw MB/s  ratio  lost  RSS before  peak RSS  per site  pages  rest  CPU s/GB  "
                "fds  threads  slowest/mean\n");
    bool met = true;
    for (const CaseResult& r : results) {
        const double ratio = r.raw > 0 ? r.archived / r.raw : 0;
        const double perSite = (r.peakResident - r.residentBefore) / r.sites;
        const double pagesPerSite = (r.peakPool - r.poolBefore) / r.sites;
        std::printf("%5d  %13.1f  %8.1f  %5.2f  %4llu  %7.1f MB  %5.1f MB  %5.2f MB  %5.2f  %4.2f  %8.1f  %3d  %7d  "
                    "%12.2f\n",
                    r.sites, r.archived, r.raw, ratio, static_cast<unsigned long long>(r.lost), r.residentBefore,
                    r.peakResident, perSite, pagesPerSite, perSite - pagesPerSite, r.cpuPerGB, r.fds, r.threads,
                    r.slowestToMean);
        met = met && r.lost == 0 && r.notConnected == 0;
        if (r.sites == 100) {
            std::printf("100 sites: aggregate %.2f x raw (goal >= 0.70) %s; slowest %.2f x mean (goal >= 0.50) %s\n",
                        ratio, ratio >= 0.7 ? "MET" : "MISSED", r.slowestToMean,
                        r.slowestToMean >= 0.5 ? "MET" : "MISSED");
        }
    }
    std::printf("(per site: growth of the peak over the resident memory before the start, divided by the sites;\n"
                " pages: of it, the storage engine's page buffers the site's group pins (MB); rest: the remainder,\n"
                " goal <= 4 MB)\n");
    return met ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = parse(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_scale: %s\n", e.what());
        return 2;
    }
    // Forked before any thread exists in this process.
    std::signal(SIGPIPE, SIG_IGN);
    SitesProcess sites;
    try {
        return run(options, sites);
    } catch (const Exception& e) {
        std::fprintf(stderr, "bench_scale: %s\n", e.toString().c_str());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_scale: %s\n", e.what());
    }
    return 1;
}
