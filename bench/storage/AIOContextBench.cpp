// Sequential 512 KB page writes to a storage file: the transfers as the
// engine makes them (synchronously on the caller's thread through
// AIOContext) against the same transfers handed to a worker thread one at a
// time, the way a queued I/O context would run them for a caller that must
// wait for each write before it goes on. Prints MB/s for both.
//
// Usage: bench_storage_AIOContextBench [directory] [megabytes]

#include "storage/aio/AIOContext.h"
#include "storage/aio/DirectStorageFile.h"
#include "storage/pager/MemoryPool.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t PageSize = 524288;

// One worker that runs one job at a time and tells the caller when it is done.
class Worker {
public:
    Worker() : _thread([this] { loop(); }) {}
    ~Worker() {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _stop = true;
        }
        _wake.notify_all();
        _thread.join();
    }
    void runAndWait(std::function<void()> job) {
        std::unique_lock<std::mutex> lock(_mutex);
        _job = std::move(job);
        _done = false;
        _wake.notify_all();
        _finished.wait(lock, [this] { return _done; });
    }

private:
    void loop() {
        std::unique_lock<std::mutex> lock(_mutex);
        for (;;) {
            _wake.wait(lock, [this] { return _stop || _job; });
            if (_stop) {
                return;
            }
            auto job = std::move(_job);
            _job = nullptr;
            lock.unlock();
            job();
            lock.lock();
            _done = true;
            _finished.notify_all();
        }
    }

    std::mutex _mutex;
    std::condition_variable _wake;
    std::condition_variable _finished;
    std::function<void()> _job;
    bool _done = true;
    bool _stop = false;
    std::thread _thread;
};

double megabytesPerSecond(std::uint64_t bytes, Clock::duration elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    return seconds > 0 ? bytes / 1048576.0 / seconds : 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string directory = argc > 1 ? argv[1] : ".";
    const std::uint64_t megabytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 128;
    const std::uint32_t pages = static_cast<std::uint32_t>(megabytes * 1048576 / PageSize);
    const std::string path = directory + "/aio-bench.strg";
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    if (fd < 0 || ::posix_fallocate(fd, 0, static_cast<off_t>(4096 + std::uint64_t{pages} * PageSize)) != 0) {
        std::perror("cannot create the bench file");
        return 1;
    }
    ::close(fd);

    ostrel::MemoryPool pool;
    ostrel::PoolBlock block = pool.allocate(PageSize);
    std::memset(block.data, 0x5A, PageSize);
    ostrel::AIOContext& aio = ostrel::AIOContext::instance();
    double sync = 0;
    double worker = 0;
    {
        ostrel::DirectStorageFile file(path, ostrel::DirectStorageFile::Mode::ReadWrite);
        std::printf("file %s: sector %u, %s I/O, %u pages of %u bytes\n", path.c_str(), file.sectorSize(),
                    file.isDirect() ? "direct" : "cached", pages, PageSize);
        auto writeAll = [&](bool onWorker, Worker& thread) {
            const auto start = Clock::now();
            for (std::uint32_t n = 0; n < pages; ++n) {
                const std::uint64_t offset = 4096 + std::uint64_t{n} * PageSize;
                if (onWorker) {
                    thread.runAndWait([&] { aio.write(file, block.data, offset, PageSize); });
                } else {
                    aio.write(file, block.data, offset, PageSize);
                }
            }
            return megabytesPerSecond(std::uint64_t{pages} * PageSize, Clock::now() - start);
        };
        Worker thread;
        // The first pass turns the preallocated extents into written ones; it is not counted.
        writeAll(false, thread);
        for (int round = 0; round < 3; ++round) {
            sync = std::max(sync, writeAll(false, thread));
            worker = std::max(worker, writeAll(true, thread));
        }
    }
    pool.release(block);
    ::unlink(path.c_str());
    std::printf("sequential page writes, caller's thread (engine), best of 3: %.1f MB/s\n", sync);
    std::printf("sequential page writes, handed to a worker (reference), best of 3: %.1f MB/s\n", worker);
    return 0;
}
