#include "ostrel-archive/ArchiveTool.h"

#include "app/archiving/ArchivingDelegate.h"
#include "app/archiving/NetworkArchivingClient.h"
#include "base/Exception.h"
#include "base/Interval.h"
#include "base/UniqueID.h"
#include "network/client/NetworkPlaybackClient.h"
#include "network/client/NetworkPlaybackContext.h"
#include "network/client/PlaybackClient.h"
#include "network/protocol/playback/MediaFrame.h"
#include "network/session/CloseReason.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/StorageGroup.h"
#include "storage/VarnelException.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <unistd.h>

namespace ostrel {

namespace {

using Clock = std::chrono::steady_clock;

const DateTime EarliestTime(1970, 1, 1, 0, 0, 0);
const DateTime LatestTime(2100, 12, 31, 23, 59, 59);
constexpr auto ReplyTimeout = std::chrono::seconds(30);
// A stop asked for on Ctrl-C is confirmed by the site within this time, or
// the run ends without waiting for it.
constexpr auto StopTimeout = std::chrono::seconds(10);
// How often the resume record is stored while a chunk is being archived.
constexpr auto ResumeStoreInterval = std::chrono::seconds(5);

std::string messageOf(const Exception& e) {
    if (const auto* varnel = dynamic_cast<const VarnelException*>(&e)) {
        std::string text = VarnelException::messageOf(varnel->code());
        if (!varnel->detail().empty()) {
            text += ": " + varnel->detail();
        }
        return text;
    }
    return e.message() ? e.message() : e.typeName();
}

std::string timeText(const DateTime& time) {
    char text[48];
    std::snprintf(text, sizeof text, "%d/%02d/%02d %02d:%02d:%02d", time.year(), time.month(), time.day(), time.hour(),
                  time.minute(), time.second());
    return text;
}

DateTime plusSeconds(DateTime time, int64_t seconds) { return time.addSeconds(seconds); }

const char* failureText(int code) {
    switch (code) {
    case ArchivingDelegate::NothingRecorded:
        return "Nothing recorded in the range";
    case ArchivingDelegate::PositionOverwritten:
        return "Resume position overwritten at the site";
    case ArchivingDelegate::StorageFull:
        return "Record storage full";
    case ArchivingDelegate::StorageIOError:
        return "Storage input/output error";
    default:
        return "Storage failure";
    }
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

// The run's side of the archiving client: what it reports, waited for by the
// run's thread.
class Run : public ArchivingDelegate {
public:
    enum class Outcome { None, Stopped, Failed, Disconnected };

    Run(NetworkArchivingClient& client) : _client(client) {}

    void archivingConnected() override { signal([this] { _connected = true; }); }
    void archivingDisconnected(int reason) override {
        signal([this, reason] {
            _disconnected = true;
            _disconnectReason = reason;
        });
    }
    void recordingSectionListReceived(const std::vector<RecordingTimeTableEntry>& list) override {
        signal([this, &list] { _timeTable = list; });
    }
    void archivingStopped(bool noFrame) override {
        signal([this, noFrame] {
            _outcome = Outcome::Stopped;
            _noFrame = noFrame;
        });
    }
    void archivingFailed(int code) override {
        signal([this, code] {
            _outcome = Outcome::Failed;
            _failure = code;
        });
    }
    void frameArchived(const MediaFrame& frame, uint32_t low, uint32_t high) override {
        std::lock_guard lock(_mutex);
        ++_frames;
        ++_chunkFrames;
        _bytes += MediaFrame::HeaderSize + frame.dataLength();
        if (frame.isVideo()) {
            StorageGroup* group = _client.archiver().storageGroup();
            _last.position = _client.lastArchivedVideoPosition();
            _last.sectionID = group != nullptr ? group->lastSectionID() : 0;
            _last.time = frame.time();
            _last.mediaID = (uint64_t{high} << 32) | low;
        }
    }
    void archivingCallback() override { signal([this] { _callbackDone = true; }); }

    // Waits until `done` holds (under the lock) or the time is up or the run
    // is interrupted; polls so that a Ctrl-C is seen.
    template <typename Done>
    bool waitFor(Done done, std::chrono::milliseconds limit, const std::atomic<bool>* interrupted) {
        const auto end = Clock::now() + limit;
        std::unique_lock lock(_mutex);
        while (!done()) {
            if (Clock::now() >= end || (interrupted != nullptr && interrupted->load())) {
                return false;
            }
            _changed.wait_for(lock, std::chrono::milliseconds(100));
        }
        return true;
    }

    std::mutex& mutex() { return _mutex; }

    bool _connected = false;
    bool _disconnected = false;
    int _disconnectReason = 0;
    std::optional<std::vector<RecordingTimeTableEntry>> _timeTable;
    Outcome _outcome = Outcome::None;
    bool _noFrame = false;
    int _failure = 0;
    bool _callbackDone = false;
    uint64_t _frames = 0;
    uint64_t _chunkFrames = 0;
    uint64_t _bytes = 0;
    ResumeRecord _last;

private:
    template <typename Change>
    void signal(Change change) {
        {
            std::lock_guard lock(_mutex);
            change();
        }
        _changed.notify_all();
    }

    NetworkArchivingClient& _client;
    std::mutex _mutex;
    std::condition_variable _changed;
};

class Progress {
public:
    Progress(std::ostream& out, bool inPlace) : _out(out), _inPlace(inPlace), _start(Clock::now()) {}

    void show(const ResumeRecord& last, uint64_t frames, uint64_t bytes, bool force) {
        const auto now = Clock::now();
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
    double seconds() const { return std::chrono::duration<double>(Clock::now() - _start).count(); }
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
    Clock::time_point _start;
    Clock::time_point _shown{};
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
    auto fail = [&result](std::string reason) {
        result.exitCode = 1;
        result.reason = std::move(reason);
        return result;
    };

    StorageGroup group;
    for (const std::string& path : options.storages) {
        try {
            auto storage = std::make_unique<FixedSizeFileStorage>();
            if (!storage->open(path, true, Storage::CorrectionAndRecovery)) {
                group.close(true);
                return fail("Cannot open storage " + path);
            }
            group.addStorage(std::move(storage));
        } catch (const Exception& e) {
            group.close(true);
            return fail("Cannot open storage " + path + ": " + messageOf(e));
        }
    }
    group.selectRecordingStorage(UniqueID::nil(), 0);
    if (!group.isOpen()) {
        group.close(true);
        return fail("No storage to record into");
    }

    // A context of the run's own, stopped before the run returns: no network
    // thread outlives the run (and none runs into the process's exit).
    std::shared_ptr<NetworkPlaybackContext> ownContext = context ? nullptr : NetworkPlaybackContext::create();
    NetworkArchivingClient client(context ? context : ownContext);
    Run runState(client);
    client.setUp(group, PlaybackClient::ArchivingQueueSize, &runState);
    client.archiver().setOverwrite(options.overwrite);
    Progress progress(out, progressInPlace);

    // Everything below ends through here: the last record stored, the
    // playback shut down and the group closed.
    auto finish = [&](int exitCode, std::string reason) {
        progress.endLine();
        ResumeRecord last;
        {
            std::lock_guard lock(runState.mutex());
            last = runState._last;
            result.frames = runState._frames;
            result.bytes = runState._bytes;
        }
        if (client.phase() != NetworkArchivingClient::PhaseIdle && client.playbackClient() != nullptr) {
            client.stopPlayback();
        }
        client.saveResumePosition(last, true);
        if (!client.cleanup() && exitCode == 0) {
            exitCode = 1;
            reason = "Failed to close the storage group";
        }
        if (ownContext) {
            ownContext->stopAll();
        }
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

    try {
        if (!client.connect(options.host, options.port, options.user, options.password)) {
            return finish(1, "Failed to connect");
        }
    } catch (const Exception& e) {
        return finish(1, "Failed to connect: " + messageOf(e));
    }
    if (!runState.waitFor([&] { return runState._connected || runState._disconnected; },
                          std::chrono::duration_cast<std::chrono::milliseconds>(ReplyTimeout), &interrupted)) {
        return finish(interrupted.load() ? Interrupted : 1,
                      interrupted.load() ? ""
                                         : "Connection timeout (no login within " +
                                               std::to_string(ReplyTimeout.count()) + " s)");
    }
    bool loggedIn = false;
    int closeReason = 0;
    {
        std::lock_guard lock(runState.mutex());
        loggedIn = runState._connected;
        closeReason = runState._disconnectReason;
    }
    if (!loggedIn) {
        return finish(1, connectFailureText(closeReason));
    }

    const DateTime from = options.from.value_or(EarliestTime);
    const DateTime to = options.to.value_or(LatestTime);

    // The first recorded second at or after `start` within the range, from the
    // site's time table.
    auto nextRecorded = [&](const DateTime& start) -> std::optional<DateTime> {
        {
            std::lock_guard lock(runState.mutex());
            runState._timeTable.reset();
        }
        client.requestRecordingTimeTable(Interval(start, to));
        if (!runState.waitFor([&] { return runState._timeTable.has_value() || runState._disconnected; },
                              std::chrono::duration_cast<std::chrono::milliseconds>(ReplyTimeout), &interrupted)) {
            return std::nullopt;
        }
        std::lock_guard lock(runState.mutex());
        std::optional<DateTime> first;
        for (const RecordingTimeTableEntry& entry : runState._timeTable.value_or(std::vector<RecordingTimeTableEntry>{})) {
            if (entry.range().to().lessThan(start) || to.lessThan(entry.range().from())) {
                continue;
            }
            const DateTime candidate = entry.range().from().lessThan(start) ? start : entry.range().from();
            if (!first || candidate.lessThan(*first)) {
                first = candidate;
            }
        }
        return first;
    };
    auto chunkFrom = [&](const DateTime& start) {
        const DateTime end = plusSeconds(start, ChunkSeconds);
        return Interval(start, to.lessThan(end) ? to : end);
    };

    auto disconnected = [&] {
        std::lock_guard lock(runState.mutex());
        return runState._disconnected;
    };
    auto connectionLost = [&] {
        std::lock_guard lock(runState.mutex());
        return "Connection lost (" + connectionText(runState._disconnectReason) + ")";
    };
    Interval chunk;
    bool archivedAny = false;
    auto startChunk = [&](const Interval& range, bool first) {
        {
            std::lock_guard lock(runState.mutex());
            runState._outcome = Run::Outcome::None;
            runState._chunkFrames = 0;
        }
        chunk = range;
        ++result.chunks;
        if (first) {
            client.playFirst(range);
        } else {
            client.playContinue(range);
        }
    };

    try {
        if (options.resume) {
            ResumeRecord record;
            if (!client.loadResumePosition(record)) {
                return finish(1, "No resume record in the storage group");
            }
            {
                std::lock_guard lock(runState.mutex());
                runState._last = record;
                runState._callbackDone = false;
                runState._outcome = Run::Outcome::None;
            }
            // Whatever was written after the record (a run that ended without
            // storing a later one) goes: the resume continues right after it.
            client.postTruncate(record);
            if (!runState.waitFor([&] { return runState._callbackDone; },
                                  std::chrono::duration_cast<std::chrono::milliseconds>(ReplyTimeout), &interrupted)) {
                return finish(interrupted.load() ? Interrupted : 1,
                              interrupted.load() ? "" : "Failed to cut the storage group back to the resume record");
            }
            if (client.phase() >= NetworkArchivingClient::PhaseStorageIOError) {
                return finish(1, "Failed to cut the storage group back to the resume record");
            }
            chunk = chunkFrom(record.time);
            ++result.chunks;
            archivedAny = true;
            client.resume(chunk, record);
        } else {
            const std::optional<DateTime> start = nextRecorded(from);
            if (!start && disconnected()) {
                return finish(1, connectionLost());
            }
            if (interrupted.load()) {
                return finish(Interrupted, "");
            }
            if (!start) {
                out << "nothing recorded in the range\n";
                return finish(0, "");
            }
            startChunk(chunkFrom(*start), true);
        }

        auto lastStore = Clock::now();
        uint64_t storedMediaID = 0;
        for (;;) {
            const bool ended = runState.waitFor(
                [&] { return runState._outcome != Run::Outcome::None || runState._disconnected; },
                std::chrono::milliseconds(200), &interrupted);
            {
                std::lock_guard lock(runState.mutex());
                progress.show(runState._last, runState._frames, runState._bytes, false);
            }
            if (interrupted.load()) {
                client.stopPlayback();
                runState.waitFor([&] { return runState._outcome != Run::Outcome::None || runState._disconnected; },
                                 std::chrono::duration_cast<std::chrono::milliseconds>(StopTimeout), nullptr);
                return finish(Interrupted, "");
            }
            if (!ended) {
                // Within a long chunk the record is stored now and then too,
                // so that a run that dies loses little of what it archived.
                if (Clock::now() - lastStore >= ResumeStoreInterval) {
                    lastStore = Clock::now();
                    ResumeRecord last;
                    {
                        std::lock_guard lock(runState.mutex());
                        last = runState._last;
                    }
                    if (last.isValid() && last.mediaID != storedMediaID) {
                        storedMediaID = last.mediaID;
                        client.saveResumePosition(last, false);
                    }
                }
                continue;
            }
            Run::Outcome outcome;
            int failure;
            uint64_t chunkFrames;
            ResumeRecord last;
            bool lost = false;
            int lostReason = 0;
            {
                std::lock_guard lock(runState.mutex());
                lost = runState._disconnected && runState._outcome == Run::Outcome::None;
                lostReason = runState._disconnectReason;
                outcome = runState._outcome;
                failure = runState._failure;
                chunkFrames = runState._chunkFrames;
                last = runState._last;
                progress.show(last, runState._frames, runState._bytes, true);
            }
            if (lost) {
                return finish(1, "Connection lost (" + connectionText(lostReason) + ")");
            }
            if (chunkFrames > 0) {
                archivedAny = true;
            }
            if (outcome == Run::Outcome::Failed && failure != ArchivingDelegate::NothingRecorded) {
                return finish(1, failureText(failure));
            }
            // The chunk's stop came after every frame of the chunk and nothing
            // is playing: the record is stored at once, before the next
            // request could flush a queued store away.
            client.saveResumePosition(last, true);
            storedMediaID = last.mediaID;
            lastStore = Clock::now();
            if (!chunk.to().lessThan(to)) {
                return finish(0, "");
            }
            DateTime next;
            if (chunkFrames > 0 && last.isValid() && chunk.from().lessThan(last.time)) {
                next = last.time;
            } else {
                const std::optional<DateTime> recorded = nextRecorded(plusSeconds(chunk.to(), 1));
                if (interrupted.load()) {
                    return finish(Interrupted, "");
                }
                if (!recorded) {
                    if (disconnected()) {
                        return finish(1, connectionLost());
                    }
                    return finish(0, "");
                }
                next = *recorded;
            }
            startChunk(chunkFrom(next), !archivedAny);
        }
    } catch (const Exception& e) {
        return finish(1, messageOf(e));
    }
}

} // namespace ostrel
