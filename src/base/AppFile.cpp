#include "base/AppFile.h"

#include "base/Exception.h"
#include "base/File.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace ostrel {

AppFile::~AppFile() {
    if (_fd >= 0) {
        ::close(_fd);  // nothing to report to from a destructor; call close() to see errors
    }
}

AppFile::AppFile(AppFile&& other) noexcept
    : _fd(std::exchange(other._fd, -1)), _path(std::move(other._path)) {}

AppFile& AppFile::operator=(AppFile&& other) noexcept {
    if (this != &other) {
        if (_fd >= 0) {
            ::close(_fd);
        }
        _fd = std::exchange(other._fd, -1);
        _path = std::move(other._path);
    }
    return *this;
}

void AppFile::open(const std::string& path, int mode, int /*sharing: no share modes on POSIX*/) {
    if (_fd >= 0) {
        throw SystemException(EBUSY, "open " + path + ": this file object already holds " + _path);
    }
    constexpr int KnownBits = Read | Write | WriteThrough | CreateNew;
    if ((mode & ~KnownBits) != 0 || (mode & (Read | Write)) == 0) {
        throw SystemException(EINVAL, "open " + path + " with mode " + std::to_string(mode));
    }
    int flags = O_CLOEXEC;
    if ((mode & Read) && (mode & Write)) {
        flags |= O_RDWR;
    } else if (mode & Write) {
        flags |= O_WRONLY;
    } else {
        flags |= O_RDONLY;
    }
    if (mode & WriteThrough) {
        flags |= O_DSYNC;
    }
    if (mode & CreateNew) {
        flags |= O_CREAT | O_EXCL;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        throw SystemException(errno, "open " + path);
    }
    _fd = fd;
    _path = path;
}

void AppFile::close() {
    if (_fd < 0) {
        return;
    }
    // The descriptor is gone after close() whatever it reports (also on EINTR),
    // so it is never closed twice.
    const int fd = std::exchange(_fd, -1);
    if (::close(fd) != 0 && errno != EINTR) {
        throw SystemException(errno, "close " + _path);
    }
}

void AppFile::requireOpen(const char* operation, std::source_location where) const {
    if (_fd < 0) {
        throw SystemException(EBADF, std::string(operation) + " on a closed file" +
                                         (_path.empty() ? std::string() : " (last " + _path + ")"),
                              where);
    }
}

int64_t AppFile::read(void* buffer, int64_t n) {
    requireOpen("read");
    if (n < 0) {
        throw SystemException(EINVAL, "read " + _path + " of a negative count");
    }
    auto* bytes = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < n) {
        const ssize_t got = ::read(_fd, bytes + done, static_cast<std::size_t>(n - done));
        if (got < 0) {
            if (errno == EINTR) continue;
            throw SystemException(errno, "read " + _path);
        }
        if (got == 0) {
            break;  // end of file
        }
        done += got;
    }
    return done;
}

int64_t AppFile::write(const void* buffer, int64_t n) {
    requireOpen("write");
    if (n < 0) {
        throw SystemException(EINVAL, "write " + _path + " of a negative count");
    }
    const auto* bytes = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < n) {
        const ssize_t put = ::write(_fd, bytes + done, static_cast<std::size_t>(n - done));
        if (put < 0) {
            if (errno == EINTR) continue;
            throw SystemException(errno, "write " + _path + " after " + std::to_string(done) + " of " +
                                             std::to_string(n) + " bytes");
        }
        if (put == 0) {
            // A regular file never takes nothing; give up instead of spinning.
            throw SystemException(EIO, "write " + _path + " made no progress after " + std::to_string(done) +
                                           " bytes");
        }
        done += put;
    }
    return done;
}

void AppFile::seek(int64_t offset) {
    requireOpen("seek");
    if (::lseek(_fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        throw SystemException(errno, "seek " + _path + " to " + std::to_string(offset));
    }
}

int64_t AppFile::position() const {
    requireOpen("position");
    const off_t at = ::lseek(_fd, 0, SEEK_CUR);
    if (at < 0) {
        throw SystemException(errno, "position " + _path);
    }
    return static_cast<int64_t>(at);
}

int64_t AppFile::size() const {
    requireOpen("size");
    struct stat st {};
    if (::fstat(_fd, &st) != 0) {
        throw SystemException(errno, "size " + _path);
    }
    return static_cast<int64_t>(st.st_size);
}

void AppFile::truncate() {
    requireOpen("truncate");
    const off_t at = ::lseek(_fd, 0, SEEK_CUR);
    if (at < 0) {
        throw SystemException(errno, "truncate " + _path);
    }
    int result;
    do {
        result = ::ftruncate(_fd, at);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        throw SystemException(errno, "truncate " + _path + " at " + std::to_string(at));
    }
}

void AppFile::flush() {
    requireOpen("flush");
    if (::fdatasync(_fd) != 0) {
        throw SystemException(errno, "flush " + _path);
    }
}

void AppFile::create(const std::string& path, int64_t size) { File::create(path, size); }

bool AppFile::exists(const std::string& path) { return File::exists(path); }

bool AppFile::remove(const std::string& path) { return File::remove(path); }

} // namespace ostrel
