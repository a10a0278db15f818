#pragma once

#include <cstdint>
#include <string>

namespace ostrel::test {

// A fresh directory under the system's temporary folder, removed with
// everything in it when the object goes.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& path() const { return _path; }
    std::string file(const std::string& name) const { return _path + "/" + name; }
    // Creates (or replaces) a zero-filled file of `size` bytes and answers its path.
    std::string createFile(const std::string& name, std::uint64_t size) const;

private:
    std::string _path;
};

} // namespace ostrel::test
