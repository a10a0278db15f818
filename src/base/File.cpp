#include "base/File.h"

#include "base/Exception.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace ostrel {

void File::create(const std::string& path, int64_t size) {
    if (size < 0) {
        throw SystemException(EINVAL, "create " + path + " with negative size " + std::to_string(size));
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        throw SystemException(errno, "create " + path);
    }
    int error = 0;
    if (size > 0) {
        error = ::posix_fallocate(fd, 0, static_cast<off_t>(size));  // returns the error, errno untouched
        if (error == EOPNOTSUPP || error == EINVAL) {
            // The file system cannot allocate ahead: give the file its size at least.
            error = ::ftruncate(fd, static_cast<off_t>(size)) == 0 ? 0 : errno;
        }
    }
    // The new size must survive a crash like the data written into the file later.
    if (error == 0 && ::fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(path.c_str());
        throw SystemException(error, "create " + path + " with size " + std::to_string(size));
    }
}

bool File::exists(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        return true;
    }
    if (errno == ENOENT || errno == ENOTDIR) {
        return false;
    }
    throw SystemException(errno, "exists " + path);
}

bool File::remove(const std::string& path) {
    if (::unlink(path.c_str()) == 0) {
        return true;
    }
    if (errno == ENOENT) {
        return false;
    }
    throw SystemException(errno, "remove " + path);
}

int64_t File::size(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        throw SystemException(errno, "size " + path);
    }
    return static_cast<int64_t>(st.st_size);
}

bool File::isReadOnly(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        throw SystemException(errno, "isReadOnly " + path);
    }
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        return true;  // marked read-only, even for a process that could override it
    }
    if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0) {
        return false;
    }
    if (errno == EACCES || errno == EROFS || errno == EPERM || errno == ETXTBSY) {
        return true;
    }
    throw SystemException(errno, "isReadOnly " + path);
}

uint64_t File::freeDiskSpace(const std::string& path) {
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0) {
        throw SystemException(errno, "freeDiskSpace " + path);
    }
    return static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
}

} // namespace ostrel
