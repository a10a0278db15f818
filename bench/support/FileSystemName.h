#pragma once

#include <cstdio>
#include <string>
#include <sys/vfs.h>

namespace ostrel::bench {

// The kind of file system that holds `path`, for the benchmarks' reports: a
// figure measured on tmpfs or an overlay says little about a recorder's disk.
inline std::string fileSystemName(const std::string& path) {
    struct statfs info {};
    if (::statfs(path.c_str(), &info) != 0) {
        return "unknown";
    }
    switch (static_cast<unsigned long>(info.f_type)) {
    case 0xEF53:
        return "ext2/3/4";
    case 0x58465342:
        return "xfs";
    case 0x9123683E:
        return "btrfs";
    case 0x01021994:
        return "tmpfs";
    case 0x794C7630:
        return "overlayfs";
    default: {
        char text[32];
        std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(info.f_type));
        return text;
    }
    }
}

} // namespace ostrel::bench
