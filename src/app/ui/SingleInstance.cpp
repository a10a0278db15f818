#include "app/ui/SingleInstance.h"

#include "base/Exception.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace ostrel {

SingleInstance::SingleInstance() = default;

SingleInstance::~SingleInstance() {
    if (_fd >= 0) {
        // Leave the file for the next start, but not our address in it.
        if (ftruncate(_fd, 0) != 0) {
        }
        ::close(_fd);
    }
}

std::string SingleInstance::lockPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string dir = runtime && *runtime ? runtime : ".";
    return dir + "/" + MutexName + ".lock";
}

bool SingleInstance::acquire() {
    const std::string path = lockPath();
    _fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (_fd < 0) {
        throw SystemException(errno, path);
    }
    if (flock(_fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(_fd);
        _fd = -1;
        return false;
    }
    if (ftruncate(_fd, 0) != 0) {
        throw SystemException(errno, path);
    }
    return true;
}

void SingleInstance::publish(const std::string& address) {
    if (_fd < 0) {
        return;
    }
    const std::string line = address + "\n";
    if (ftruncate(_fd, 0) != 0 || pwrite(_fd, line.data(), line.size(), 0) != static_cast<ssize_t>(line.size())) {
        throw SystemException(errno, lockPath());
    }
}

std::string SingleInstance::runningAddress(int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const int fd = ::open(lockPath().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            char buffer[512];
            const ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
            ::close(fd);
            if (n > 0) {
                std::string text(buffer, static_cast<std::size_t>(n));
                const auto end = text.find('\n');
                if (end != std::string::npos) {
                    return text.substr(0, end);
                }
            }
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return "";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

} // namespace ostrel
