#include "storage/support/TempDirectory.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace ostrel::test {

TempDirectory::TempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-storage-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    _path = pattern;
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(_path, ignored);
}

std::string TempDirectory::createFile(const std::string& name, std::uint64_t size) const {
    const std::string path = file(name);
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw std::runtime_error("cannot create " + path);
    }
    const int result = ::ftruncate(fd, static_cast<off_t>(size));
    ::close(fd);
    if (result != 0) {
        throw std::runtime_error("cannot size " + path);
    }
    return path;
}

} // namespace ostrel::test
