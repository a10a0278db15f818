#include "ostrel-archive/ArchiveTool.h"

#include "app/persistence/SiteStorage.h"
#include "app/persistence/StorageEntry.h"
#include "app/scheduling/ActionLoop.h"
#include "app/scheduling/ArchivingEvent.h"
#include "app/scheduling/ArchivingSchedule.h"
#include "app/scheduling/EventManager.h"
#include "app/scheduling/ScheduleListener.h"
#include "base/Exception.h"
#include "base/Interval.h"
#include "base/UniqueID.h"
#include "network/client/NetworkPlaybackContext.h"
#include "network/client/PlaybackClient.h"
#include "network/session/CloseReason.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace ostrel {

namespace {

using SteadyClock = std::chrono::steady_clock;

const DateTime EarliestTime(1970, 1, 1, 0, 0, 0);
const DateTime LatestTime(2100, 12, 31, 23, 59, 59);
// The login must be done within this time.
constexpr auto LoginTimeout = std::chrono::seconds(30);
// A stop asked for on Ctrl-C is confirmed by the site within this time, or
// the run ends without waiting for it.
constexpr auto StopTimeout = std::chrono::seconds(10);
// How often the resume record is stored while a chunk is being archived.
constexpr uint32_t ResumeStoreMilliseconds = 5000;

std::string timeText(const DateTime& time) {
    char text[48];
    std::snprintf(text, sizeof text, "%d/%02d/%02d %02d:%02d:%02d", time.year(), time.month(), time.day(), time.hour(),
                  time.minute(), time.second());
    return text;
}


// What ended a connection, in the words the application's log uses for it
// where it has them, with the cause and the close reason number.
std::string connectionText(int reason) {
    const char* cause = nullptr;
    switch (reason) {
    case CloseReason::Requested:
        cause = "closed";
        break;
    case CloseReason::NotInitialized:
        cause = "socket library not initialised";
        break;
    case CloseReason::PeerClosed:
        cause = "the site closed the connection, or a send or receive failed";
        break;
    case CloseReason::AccessDenied:
        cause = "access denied";
        break;
    case CloseReason::NetworkDown:
        cause = "network down";
        break;
    case CloseReason::AddressNotAvailable:
        cause = "address not available or network unreachable";
        break;
    case CloseReason::HostDown:
        cause = "host down";
        break;
    case CloseReason::HostUnreachable:
        cause = "host unreachable";
        break;
    case CloseReason::HostNotFound:
        cause = "host not found";
        break;
    case CloseReason::ConnectionReset:
        cause = "connection reset";
        break;
    case CloseReason::TimedOut:
        cause = "timed out";
        break;
    case CloseReason::ConnectionRefused:
        cause = "nothing accepts connections at that address and port";
        break;
    case CloseReason::DispatcherStopping:
        cause = "the network dispatcher is stopping";
        break;
    case CloseReason::InvalidPayloadSize:
        cause = "invalid payload size in a received header";
        break;
    case CloseReason::ProtocolError:
        cause = "protocol error during login";
        break;
    case CloseReason::NoPlaybackProfile:
        cause = "the site offers no playback profile";
        break;
    case CloseReason::LoginRefused:
    case CloseReason::LoginRefusedCode3:
    case CloseReason::LoginRefusedCode4:
        cause = "login refused";
        break;
    case CloseReason::LoginRefusedCode5:
        cause = "login refused: no playback permission";
        break;
    case CloseReason::NoResponse:
        cause = "the site stopped answering";
        break;
    case CloseReason::ChannelFull:
        cause = "the site has no free channel";
        break;
    default:
        cause = "unexpected close";
        break;
    }
    return std::string(cause) + ", reason " + std::to_string(reason);
}

// Why a connection that never logged in failed: the log text of its close
// reason, with the cause.
std::string connectFailureText(int reason) {
    const char* text = "Failed to connect";
    switch (reason) {
    case CloseReason::TimedOut:
        text = "Connection timeout";
        break;
    case CloseReason::ConnectionRefused:
        text = "Connection refused";
        break;
    case CloseReason::ProtocolError:
    case CloseReason::NoPlaybackProfile:
        text = "Network playback protocol not supported";
        break;
    case CloseReason::LoginRefused:
    case CloseReason::LoginRefusedCode3:
    case CloseReason::LoginRefusedCode4:
        text = "Failed to login";
        break;
    case CloseReason::LoginRefusedCode5:
        text = "Network playback permission denied";
        break;
    case CloseReason::NoResponse:
        text = "No response from remote site";
        break;
    case CloseReason::ChannelFull:
        text = "Network playback channel full";
        break;
    default:
        break;
    }
    return std::string(text) + " (" + connectionText(reason) + ")";
}

// What the schedule reports, waited for by the run's thread.
class RunListener : public ScheduleListener {
public:
    void scheduleConnected(int) override { signal([this] { _connected = true; }); }
    void scheduleDisconnected(int, int reason) override { signal([this, reason] { _disconnectReason = reason; }); }
    void scheduleIntervalChosen(int) override { signal([this] { ++_chunks; }); }
    void scheduleStopped(int) override { signal([this] { _stopped = true; }); }
    void scheduleFailed(int) override { signal([this] { _failed = true; }); }
    void scheduleStorageDamaged(int, const std::string& text) override {
        signal([this, &text] { _warnings.push_back(text); });
    }

    // The damage reports heard since the last call.
    std::vector<std::string> takeWarnings() {
        std::lock_guard lock(_mutex);
        return std::exchange(_warnings, {});
    }

    // Waits until `done` holds (under the lock) or the time is up or the run
    // is interrupted; polls so that a Ctrl-C is seen.
    template <typename Done>
    bool waitFor(Done done, std::chrono::milliseconds limit, const std::atomic<bool>* interrupted) {
        const auto end = SteadyClock::now() + limit;
        std::unique_lock lock(_mutex);
        while (!done()) {
            if (SteadyClock::now() >= end || (interrupted != nullptr && interrupted->load())) {
                return false;
            }
            _changed.wait_for(lock, std::chrono::milliseconds(100));
        }
        return true;
    }

    std::mutex& mutex() { return _mutex; }

    bool _connected = false;
    int _disconnectReason = 0;
    uint64_t _chunks = 0;
    bool _stopped = false;
    bool _failed = false;

private:
    std::vector<std::string> _warnings;

    template <typename Change>
    void signal(Change change) {
        {
            std::lock_guard lock(_mutex);
            change();
        }
        _changed.notify_all();
    }

    std::mutex _mutex;
    std::condition_variable _changed;
};

class Progress {
public:
    Progress(std::ostream& out, bool inPlace) : _out(out), _inPlace(inPlace), _start(SteadyClock::now()) {}

    void show(const ResumeRecord& last, uint64_t frames, uint64_t bytes, bool force) {
        const auto now = SteadyClock::now();
        if (!force && now - _shown < (_inPlace ? std::chrono::milliseconds(250) : std::chrono::seconds(5))) {
            return;
        }
        _shown = now;
        _out << (_inPlace ? "\r" : "") << line(last, frames, bytes) << (_inPlace ? "\x1b[K" : "\n") << std::flush;
        _pending = _inPlace;
    }
    void endLine() {
        if (_pending) {
            _out << "\n";
            _pending = false;
        }
    }
    double seconds() const { return std::chrono::duration<double>(SteadyClock::now() - _start).count(); }
    std::string line(const ResumeRecord& last, uint64_t frames, uint64_t bytes) const {
        const double mb = static_cast<double>(bytes) / 1048576.0;
        const double elapsed = std::max(seconds(), 0.001);
        char text[160];
        std::snprintf(text, sizeof text, "reached %s  %llu frames  %.1f MB  %.1f MB/s",
                      last.isValid() ? timeText(last.time).c_str() : "-", static_cast<unsigned long long>(frames), mb,
                      mb / elapsed);
        return text;
    }

private:
    std::ostream& _out;
    bool _inPlace;
    SteadyClock::time_point _start;
    SteadyClock::time_point _shown{};
    bool _pending = false;
};

bool parseHostPort(const std::string& text, std::string& host, uint16_t& port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) {
        return false;
    }
    const std::string digits = text.substr(colon + 1);
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 5) {
        return false;
    }
    const unsigned long value = std::stoul(digits);
    if (value == 0 || value > 65535) {
        return false;
    }
    host = text.substr(0, colon);
    port = static_cast<uint16_t>(value);
    return true;
}

std::optional<DateTime> parseTime(const std::string& text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%d/%d/%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6 || y < 1970 ||
        y > 2100 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 || s > 59) {
        return std::nullopt;
    }
    try {
        DateTime time(y, mo, d, h, mi, s);
        if (!DateTime::fromEpochSeconds(time.epochSeconds()).equals(time)) {
            return std::nullopt;
        }
        return time;
    } catch (const Exception&) {
        return std::nullopt;
    }
}

} // namespace

// ---- command line ----------------------------------------------------------------------------

std::optional<ArchiveOptions> ArchiveTool::parse(const std::vector<std::string>& args, std::string& error) {
    ArchiveOptions options;
    std::string site;
    std::string passwordFile;
    bool userGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--resume") {
            options.resume = true;
            continue;
        }
        if (arg == "--overwrite") {
            options.overwrite = true;
            continue;
        }
        if (arg == "--password") {
            error = "the password is read from --password-file, never from the command line";
            return std::nullopt;
        }
        if (arg != "--site" && arg != "--user" && arg != "--password-file" && arg != "--storage" && arg != "--from" &&
            arg != "--to") {
            error = "unknown argument '" + arg + "'";
            return std::nullopt;
        }
        if (i + 1 >= args.size()) {
            error = arg + " needs a value";
            return std::nullopt;
        }
        const std::string& value = args[++i];
        if (arg == "--site") {
            site = value;
            if (!parseHostPort(value, options.host, options.port)) {
                error = "--site takes HOST:PORT, not '" + value + "'";
                return std::nullopt;
            }
        } else if (arg == "--user") {
            options.user = value;
            userGiven = true;
        } else if (arg == "--password-file") {
            passwordFile = value;
        } else if (arg == "--storage") {
            options.storages.push_back(value);
        } else {
            const std::optional<DateTime> time = parseTime(value);
            if (!time) {
                error = arg + " takes \"YYYY/MM/DD hh:mm:ss\", not '" + value + "'";
                return std::nullopt;
            }
            (arg == "--from" ? options.from : options.to) = time;
        }
    }
    if (site.empty() || !userGiven || passwordFile.empty() || options.storages.empty()) {
        error = "--site, --user, --password-file and at least one --storage are required";
        return std::nullopt;
    }
    if (options.from && options.to && options.to->lessThan(*options.from)) {
        error = "--to is before --from";
        return std::nullopt;
    }
    std::ifstream file(passwordFile, std::ios::binary);
    if (!file) {
        error = "cannot read the password file '" + passwordFile + "'";
        return std::nullopt;
    }
    std::getline(file, options.password);
    if (!options.password.empty() && options.password.back() == '\r') {
        options.password.pop_back();
    }
    return options;
}

int ArchiveTool::main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      const std::atomic<bool>& interrupted) {
    std::string error;
    const std::optional<ArchiveOptions> options = parse(args, error);
    if (!options) {
        err << "ostrel-archive: " << error << "\n"
            << "usage: ostrel-archive --site HOST:PORT --user NAME --password-file FILE --storage FILE"
               " [--storage FILE ...] [--from \"YYYY/MM/DD hh:mm:ss\"] [--to \"YYYY/MM/DD hh:mm:ss\"]"
               " [--resume] [--overwrite]\n";
        return 2;
    }
    const ArchiveResult result = run(*options, out, interrupted, isatty(STDOUT_FILENO) == 1);
    if (result.exitCode == 1) {
        err << "ostrel-archive: " << result.reason << "\n";
    }
    return result.exitCode;
}

// ---- the run -----------------------------------------------------------------------------------

ArchiveResult ArchiveTool::run(const ArchiveOptions& options, std::ostream& out, const std::atomic<bool>& interrupted,
                               bool progressInPlace, std::shared_ptr<NetworkPlaybackContext> context) {
    ArchiveResult result;
    // A context of the run's own, stopped before the run returns: no network
    // thread outlives the run (and none runs into the process's exit).
    std::shared_ptr<NetworkPlaybackContext> ownContext = context ? nullptr : NetworkPlaybackContext::create();
    // The run's events stay its own: a manager that is never enabled.
    EventManager events;
    RunListener listener;
    // The same schedule a site of the application runs, bounded by the range
    // asked for and storing its record every few seconds.
    ArchivingSchedule schedule(0, UniqueID::nil(),
                               ConnectionInfo{options.host, options.port, options.user, options.password},
                               ChunkSeconds, Clock::system(), context ? context : ownContext, &events);
    schedule.initialise(&listener, PlaybackClient::ArchivingQueueSize);
    ActionLoop loop;

    auto cleanUp = [&]() {
        loop.remove(schedule);
        loop.stop();
        const bool closed = schedule.teardown();
        if (ownContext) {
            ownContext->stopAll();
        }
        return closed;
    };

    // The storage files as one group, whatever site they were formatted for.
    SiteStorage& storage = schedule.siteStorage();
    storage.openFiles(options.storages);
    std::map<int, StorageEntry> entries;
    storage.entries(entries);
    for (const auto& [number, entry] : entries) {
        if (entry.status != StorageEntry::Good) {
            cleanUp();
            result.exitCode = 1;
            result.reason = "Cannot open storage " + entry.path + (entry.error.empty() ? "" : ": " + entry.error);
            return result;
        }
    }
    if (!storage.isOpen()) {
        cleanUp();
        result.exitCode = 1;
        result.reason = "No storage to record into";
        return result;
    }
    schedule.setOverwrite(options.overwrite);
    ArchivingSchedule::Bounds bounds;
    bounds.end = options.to.value_or(LatestTime);
    bounds.stopWhenPositionOverwritten = true;
    bounds.storeEveryMilliseconds = ResumeStoreMilliseconds;
    schedule.setBounds(bounds);
    Progress progress(out, progressInPlace);

    // Everything below ends through here: the last record stored, the
    // playback shut down and the group closed.
    auto finish = [&](int exitCode, std::string reason) {
        progress.endLine();
        {
            std::lock_guard lock(listener.mutex());
            result.chunks = listener._chunks;
        }
        if (!cleanUp() && exitCode == 0) {
            exitCode = 1;
            reason = "Failed to close the storage group";
        }
        const ResumeRecord last = schedule.resumePosition();
        result.frames = schedule.archivedFrames();
        result.bytes = schedule.archivedBytes();
        result.exitCode = exitCode;
        result.reason = std::move(reason);
        result.last = last;
        const double mb = static_cast<double>(result.bytes) / 1048576.0;
        out << (exitCode == 0 ? "archived" : exitCode == Interrupted ? "interrupted" : "stopped") << ": "
            << result.frames << " frames, " << result.chunks << " chunks, " << static_cast<long long>(mb * 10) / 10.0
            << " MB in " << static_cast<long long>(progress.seconds() * 10) / 10.0 << " s";
        if (last.isValid()) {
            out << ", last archived " << timeText(last.time);
        }
        if (!result.reason.empty() && exitCode != 0) {
            out << " (" << result.reason << ")";
        }
        out << "\n" << std::flush;
        return result;
    };

    if (options.resume && !schedule.resumePosition().isValid()) {
        return finish(1, "No resume record in the storage group");
    }
    loop.add(schedule);
    loop.start();
    if (options.resume) {
        // Whatever was written after the record (a run that ended without
        // storing a later one) is cut away first: the resume continues right after it.
        schedule.resume();
    } else {
        schedule.startFromTime(options.from.value_or(EarliestTime));
    }

    // Interrupted: the schedule stops (its record is stored), then the run ends.
    auto stopForInterrupt = [&] {
        schedule.stopSchedule();
        listener.waitFor([&] { return listener._stopped; },
                         std::chrono::duration_cast<std::chrono::milliseconds>(StopTimeout), nullptr);
        return finish(Interrupted, "");
    };

    if (!listener.waitFor([&] { return listener._connected || listener._stopped; },
                          std::chrono::duration_cast<std::chrono::milliseconds>(LoginTimeout), &interrupted)) {
        if (interrupted.load()) {
            return stopForInterrupt();
        }
        schedule.stopSchedule();
        return finish(1, "Connection timeout (no login within " + std::to_string(LoginTimeout.count()) + " s)");
    }

    // Damage a storage took out of use is told, and archiving goes on.
    auto warn = [&] {
        for (const std::string& text : listener.takeWarnings()) {
            progress.endLine();
            out << "warning: " << text << "\n" << std::flush;
        }
    };
    // A progress line every 5 s (on a terminal, in place every 250 ms) and
    // one as each chunk ends, when the next is chosen: a log then shows every
    // chunk's end and the resume record stored there.
    uint64_t chunksShown = 0;
    for (;;) {
        uint64_t chunks = 0;
        bool stopped = false;
        listener.waitFor(
            [&] {
                chunks = listener._chunks;
                stopped = listener._stopped;
                return stopped || chunks != chunksShown;
            },
            std::chrono::milliseconds(200), &interrupted);
        if (stopped) {
            break;
        }
        warn();
        const bool chunkEnded = chunks > 1 && chunks != chunksShown;
        chunksShown = chunks;
        progress.show(schedule.resumePosition(), schedule.archivedFrames(), schedule.archivedBytes(), chunkEnded);
        if (interrupted.load()) {
            return stopForInterrupt();
        }
    }
    warn();
    progress.show(schedule.resumePosition(), schedule.archivedFrames(), schedule.archivedBytes(), true);

    bool connected = false;
    int reason = 0;
    uint64_t chunks = 0;
    {
        std::lock_guard lock(listener.mutex());
        connected = listener._connected;
        reason = listener._disconnectReason;
        chunks = listener._chunks;
    }
    if (schedule.isCompleted()) {
        if (chunks == 0 && !options.resume) {
            out << "nothing recorded in the range\n";
        }
        return finish(0, "");
    }
    const ArchivingEvent failure = schedule.lastFailure();
    // A failure of the cut back to the record comes before the first chunk of a resume.
    const bool cuttingBack = options.resume && chunks == 0;
    switch (failure.type) {
    case ArchivingEvent::StorageFull:
        return finish(1, "Record storage full");
    case ArchivingEvent::StorageIOError:
        return finish(1, std::string(cuttingBack ? "Failed to cut the storage group back to the resume record"
                                                 : "Storage input/output error") +
                             (failure.text.empty() ? "" : " (" + failure.text + ")"));
    case ArchivingEvent::StorageBad:
        return finish(1, std::string(cuttingBack ? "Failed to cut the storage group back to the resume record"
                                                 : "Storage failure") +
                             (failure.text.empty() ? "" : " (" + failure.text + ")"));
    case ArchivingEvent::PositionOverwritten:
        return finish(1, "Resume position overwritten at the site");
    case ArchivingEvent::ConnectFailed:
        return finish(1, failure.text.empty() ? "Failed to connect" : "Failed to connect: " + failure.text);
    case ArchivingEvent::InternalException:
        return finish(1, failure.text);
    case ArchivingEvent::Disconnected:
        return finish(1, connected ? "Connection lost (" + connectionText(failure.value) + ")"
                                   : connectFailureText(failure.value));
    default:
        // Stopped without a failure and short of its end: the site ended the connection.
        return finish(1, connected ? "Connection lost (" + connectionText(reason) + ")" : connectFailureText(reason));
    }
}

} // namespace ostrel
