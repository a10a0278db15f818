#include "app/ui/FreeDiskSpace.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace ostrel {

namespace {

bool isFolder(const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Mount points in /proc/self/mountinfo escape blanks and backslashes as \ooo.
std::string unescapeMountPoint(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            const std::string digits = text.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::strtol(digits.c_str(), nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// Whether `folder` is `mount` or lies under it, component by component.
bool isUnder(const std::string& folder, const std::string& mount) {
    if (mount == "/") {
        return true;
    }
    return folder == mount || (folder.size() > mount.size() && folder.compare(0, mount.size(), mount) == 0 &&
                               folder[mount.size()] == '/');
}

} // namespace

std::string FreeDiskSpace::nearestExistingFolder(const std::string& path) {
    if (path.empty()) {
        return std::string();
    }
    std::error_code error;
    std::filesystem::path p = std::filesystem::absolute(std::filesystem::path(path), error);
    if (error) {
        return std::string();
    }
    p = p.lexically_normal();
    while (!p.empty()) {
        if (isFolder(p)) {
            std::string text = p.string();
            while (text.size() > 1 && text.back() == '/') {
                text.pop_back();
            }
            return text;
        }
        if (p == p.root_path() || !p.has_relative_path()) {
            break;
        }
        p = p.has_filename() ? p.parent_path() : p.parent_path().parent_path();
    }
    return std::string();
}

std::string FreeDiskSpace::mountPointOf(const std::string& folder) {
    char resolved[PATH_MAX];
    const std::string real = ::realpath(folder.c_str(), resolved) ? std::string(resolved) : folder;
    std::string best;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        // id parent major:minor root mount-point ...
        std::istringstream fields(line);
        std::string id, parent, device, root, mount;
        if (!(fields >> id >> parent >> device >> root >> mount)) {
            continue;
        }
        mount = unescapeMountPoint(mount);
        if (isUnder(real, mount) && mount.size() >= best.size()) {
            best = mount;
        }
    }
    if (!best.empty()) {
        return best;
    }
    // No mount table: climb while the device stays the same.
    struct stat st {};
    if (::stat(real.c_str(), &st) != 0) {
        return real;
    }
    std::filesystem::path p(real);
    while (p.has_relative_path()) {
        struct stat up {};
        if (::stat(p.parent_path().c_str(), &up) != 0 || up.st_dev != st.st_dev) {
            break;
        }
        p = p.parent_path();
    }
    return p.string();
}

std::optional<FreeDiskSpace> FreeDiskSpace::of(const std::string& path) {
    const std::string folder = nearestExistingFolder(path);
    if (folder.empty()) {
        return std::nullopt;
    }
    struct statvfs vfs {};
    if (::statvfs(folder.c_str(), &vfs) != 0) {
        return std::nullopt;
    }
    FreeDiskSpace space;
    space.bytes = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
    space.folder = folder;
    space.mountPoint = mountPointOf(folder);
    return space;
}

std::string FreeDiskSpace::notEnoughText() const {
    return "There is not enough space on " + mountPoint + ". Please check the disk.";
}

} // namespace ostrel
