#pragma once

#include "app/archiving/ResumeRecord.h"
#include "base/DateTime.h"

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostrel {

class NetworkPlaybackContext;

// What one run of ostrel-archive is asked to do.
struct ArchiveOptions {
    std::string host;
    uint16_t port = 0;
    std::string user;
    std::string password;
    std::vector<std::string> storages;
    std::optional<DateTime> from;
    std::optional<DateTime> to;
    bool resume = false;
    bool overwrite = false;
};

// What a run did, for the summary and for tests.
struct ArchiveResult {
    int exitCode = 0;
    std::string reason;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    uint64_t chunks = 0;
    ResumeRecord last;
};

// ostrel-archive: opens the storage files as one storage group, logs in to a
// site and archives a range of its recording chunk by chunk, continuing from
// the group's resume record when asked.
//
// Exit codes: 0 the range is archived, 1 an error (with its reason), 2 a
// usage error, 130 interrupted (the resume record stored, the group closed).
class ArchiveTool {
public:
    static constexpr int ChunkSeconds = 1800;
    static constexpr int Interrupted = 130;

    // The whole command line (without the program name).
    static int main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                    const std::atomic<bool>& interrupted);
    // Parses the arguments; the password is read from the password file.
    // Empty with a message in `error` on a usage error.
    static std::optional<ArchiveOptions> parse(const std::vector<std::string>& args, std::string& error);
    // Runs an archiving; `progressInPlace` updates one line instead of
    // printing one per step. A context of its own may be given (tests).
    static ArchiveResult run(const ArchiveOptions& options, std::ostream& out, const std::atomic<bool>& interrupted,
                             bool progressInPlace, std::shared_ptr<NetworkPlaybackContext> context = nullptr);
};

} // namespace ostrel
