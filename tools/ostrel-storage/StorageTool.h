#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace ostrel {

// The commands of ostrel-storage:
//   format [--repository UUID] [--page-size N] FILE SIZE_GB
//       creates FILE as the application does (SIZE_GB x 10^9 bytes, rounded
//       up to whole 524288-byte blocks plus one, preallocated) and formats it
//       for the repository (a new random one unless given);
//   info FILE   the superblock, the track list, page usage, the recorded
//               interval, the recording sections and the info entries;
//   log FILE    the storage's own log, oldest message first;
//   check [--quick] [--json] FILE
//               the full integrity check: every page of every track, its
//               links, items and references, the free list, the journal, then
//               the recording table against every video element; one line
//               per finding ("FILE: page P offset O: TRACK: what"), then "ok
//               (...)" with status 0 or a count with status 1, the file size
//               and the speed in MB/s beside it; a progress line on a
//               terminal; --json prints one JSON object instead. --quick is
//               the check of a read-only open and the recording table's
//               entries only: "ok" or what is wrong;
//   repair FILE opens FILE writable with correction and recovery and prints
//               the storage-log lines the correction wrote; then moves every
//               page the full check still finds damaged onto the bad-page
//               track, relinks or cuts its track, trims what named it, and
//               prints what it did and what was lost per channel as time
//               ranges ("lost: channel 1 video: FROM ~ TO (N frames)").
// Files are inspected read-only, except by format and repair. Every failure is one line on the error
// stream and exit status 1 (2 for a command line that cannot be understood).
class StorageTool {
public:
    static constexpr std::uint32_t BlockSize = 524288;

    int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

    // Bytes of a storage file of `gigabytes`: the value times 10^9,
    // truncated, then (bytes / 524288 + 1) x 524288. Negative, infinite or
    // unreadable sizes answer 0.
    static std::uint64_t fileSizeFor(const std::string& gigabytes);

private:
    int format(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
    int info(const std::string& path, std::ostream& out, std::ostream& err);
    int log(const std::string& path, std::ostream& out, std::ostream& err);
    int check(const std::string& path, bool full, std::ostream& out, std::ostream& err);
    int fullCheck(const std::string& path, bool json, std::ostream& out, std::ostream& err);
    int repair(const std::string& path, std::ostream& out, std::ostream& err);
    int usage(std::ostream& err, const std::string& problem);
};

} // namespace ostrel
