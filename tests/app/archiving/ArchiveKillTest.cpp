// ostrel-archive killed with SIGKILL (inside a chunk, at a chunk's end as its
// resume record is stored, soon after it, while recording moves to another
// member), then run again with --resume: both runs are child processes of
// the test, against an in-process simulated site on loopback. Afterwards
// every file of the group passes ostrel-storage check (full), the group holds
// the site's recording item by item: nothing before the resume point is
// missing and the resumed run neither repeats nor skips an item, and the
// recording tables describe exactly that: sections and runs against the
// site's time table, first and last entries against the media tracks.
//
// A few seeded kill points per test run by default; OSTREL_KILL_POINTS=N
// adds N more, at seeded random places.
#include "app/support/ArchiveTestSupport.h"
#include "base/DateTime.h"
#include "base/Exception.h"
#include "ostrel-sitesim/SiteServer.h"
#include "ostrel-sitesim/SyntheticRecording.h"
#include "storage/aio/DirectStorageFile.h"
#include "storage/pager/SuperBlock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <poll.h>
#include <random>
#include <set>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace ostrel;
using namespace ostrel::testing;

namespace {

using Clock = std::chrono::steady_clock;

DateTime at(int hour, int minute, int second) { return DateTime(2024, 1, 1, hour, minute, second); }

// A child process running a tool, its standard output read through a pipe
// (or sent to a file), its error stream to a file.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& args, const std::string& errorPath, const std::string& outputPath = "") {
        int fds[2] = {-1, -1};
        if (outputPath.empty() && pipe2(fds, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe: " << std::strerror(errno);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (outputPath.empty()) {
            posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                             0644);
        }
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        const int failed = posix_spawn(&_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (outputPath.empty()) {
            close(fds[1]);
            _out = fds[0];
        }
        if (failed != 0) {
            ADD_FAILURE() << "cannot start " << args[0] << ": " << std::strerror(failed);
            _pid = -1;
        }
    }
    ~ChildProcess() {
        if (_pid > 0 && !_exited) {
            kill(_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
        }
        if (_out >= 0) {
            close(_out);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return _pid > 0; }

    // Reads the output until a progress line ("reached YYYY/MM/DD hh:mm:ss
    // ...") names a time after `time`; false when the output ended or the
    // deadline passed first.
    bool waitForProgressPast(const DateTime& time, Clock::time_point deadline) {
        std::size_t scanned = 0;
        while (Clock::now() < deadline) {
            for (std::size_t end = _output.find('\n', scanned); end != std::string::npos;
                 end = _output.find('\n', scanned)) {
                const std::string line = _output.substr(scanned, end - scanned);
                scanned = end + 1;
                int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
                if (std::sscanf(line.c_str(), "reached %d/%d/%d %d:%d:%d", &y, &mo, &d, &h, &mi, &sec) == 6 &&
                    time.lessThan(DateTime(y, mo, d, h, mi, sec))) {
                    return true;
                }
            }
            pollfd readable{_out, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (poll(&readable, 1, static_cast<int>(std::max<int64_t>(left.count(), 1))) <= 0) {
                continue;
            }
            char buffer[512];
            const ssize_t n = read(_out, buffer, sizeof buffer);
            if (n <= 0) {
                return false; // the child closed its output: it ended
            }
            _output.append(buffer, static_cast<std::size_t>(n));
        }
        return false;
    }

    void killHard() {
        if (_pid > 0 && !_exited) {
            kill(_pid, SIGKILL);
        }
    }

    // The exit status (128 + signal for a signal), or -1 when the child did
    // not end before the deadline (it is killed then).
    int wait(Clock::time_point deadline) {
        while (!_exited) {
            int status = 0;
            const pid_t done = waitpid(_pid, &status, WNOHANG);
            if (done == _pid) {
                _exited = true;
                _status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            if (Clock::now() >= deadline) {
                killHard();
                waitpid(_pid, nullptr, 0);
                _exited = true;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return _status;
    }

    const std::string& output() const { return _output; }

private:
    pid_t _pid = -1;
    int _out = -1;
    bool _exited = false;
    int _status = -1;
    std::string _output;
};

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Whether the storage file's superblock lists a timeline: recording has
// moved into it. Read while another process writes the file: a superblock
// that does not load counts as not yet.
bool hasTimeline(const std::string& path) {
    try {
        DirectStorageFile file(path, DirectStorageFile::Mode::ReadOnly);
        SuperBlock superBlock;
        superBlock.load(&file, nullptr, 0, file.sectorSize());
        return superBlock.isValid() && superBlock.findTrack(PageType::Timeline).has_value();
    } catch (const Exception&) {
        return false;
    }
}

// Three hours of one video channel at 1 frame a second (a key frame every
// other second) and one audio channel, with an event every minute and a
// text-in record every two minutes: six chunks of archiving.
RecordingDescription recording() {
    RecordingDescription d;
    d.sections = {{1, at(10, 0, 0), at(12, 59, 59)}};
    d.videoChannels = 1;
    d.audioChannels = 1;
    d.frameRate = 1;
    d.gopLength = 2;
    d.keyFrameSize = 600;
    d.frameSize = 200;
    d.audioFrameSize = 40;
    d.events = {{60, 5, 0, 0, 2, 0}};
    d.textIns = {{120, 7, 0, "TILL", 0}};
    return d;
}

// The same with pauses: three seconds missing inside the second chunk, five
// minutes inside the third (the local table closes its run with a stop at
// each).
RecordingDescription recordingWithPauses() {
    RecordingDescription d = recording();
    d.sections = {{1, at(10, 0, 0), at(10, 40, 29)}, {2, at(10, 40, 33), at(11, 14, 59)}, {3, at(11, 20, 0), at(12, 29, 59)}};
    return d;
}

// Where the first run is killed. Its progress lines (its output is not a
// terminal) come at every chunk's end and every 5 s: the time between the
// first line past 10:30:00 and the first past 11:00:00 measures a chunk, and
// the kill comes `fraction` of that after the second line (0: at the line,
// as the chunk's resume record is being stored). With `onSwitch`, the kill
// comes `switchDelay` after the second member's superblock first lists a
// timeline instead: recording moved there, a new section began.
struct KillPoint {
    std::string name;
    double fraction = 0;
    bool onSwitch = false;
    std::chrono::milliseconds switchDelay{0};
};

class ArchiveKillTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/ostrel-archive-kill-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        std::ofstream(dir + "/password") << "admin\n";
    }
    void TearDown() override {
        site.reset();
        // OSTREL_KEEP_TEST_FILES keeps the group files for a look with ostrel-storage.
        if (std::getenv("OSTREL_KEEP_TEST_FILES") == nullptr) {
            std::filesystem::remove_all(dir);
        }
    }

    void startSite(const RecordingDescription& description) {
        SiteSettings settings;
        settings.recording = description;
        site = std::make_unique<SiteServer>(settings);
        port = site->start();
    }

    std::vector<std::string> archiveArgs(const std::vector<std::string>& files, bool resume) const {
        std::vector<std::string> args = {OSTREL_ARCHIVE_TOOL,
                                         "--site",
                                         "127.0.0.1:" + std::to_string(port),
                                         "--user",
                                         "admin",
                                         "--password-file",
                                         dir + "/password",
                                         "--from",
                                         "2024/01/01 09:00:00"};
        for (const std::string& file : files) {
            args.push_back("--storage");
            args.push_back(file);
        }
        if (resume) {
            args.push_back("--resume");
        }
        return args;
    }

    // `points` plus OSTREL_KILL_POINTS more at seeded random places (with
    // `switches`, some of them as recording moves to the second member).
    std::vector<KillPoint> withExtraPoints(std::vector<KillPoint> points, bool switches, uint32_t seed) const;
    void killAndResume(uint32_t pagesA, uint32_t pagesB, bool recordingMoves, const std::vector<KillPoint>& points);

    std::string dir;
    std::unique_ptr<SiteServer> site;
    uint16_t port = 0;
};

// The three seeded kill points inside a chunk the test always had.
std::vector<KillPoint> midChunkPoints() {
    std::mt19937 random(20240101);
    std::vector<KillPoint> points;
    for (int point = 0; point < 3; ++point) {
        const double fraction = 0.1 + 0.8 * static_cast<double>(random() % 1000) / 1000.0;
        points.push_back({"inside a chunk, " + std::to_string(fraction) + " of it", fraction});
    }
    return points;
}

std::vector<KillPoint> ArchiveKillTest::withExtraPoints(std::vector<KillPoint> points, bool switches,
                                                        uint32_t seed) const {
    const char* extra = std::getenv("OSTREL_KILL_POINTS");
    const long count = extra != nullptr ? std::strtol(extra, nullptr, 10) : 0;
    std::mt19937 random(seed);
    for (long i = 0; i < count; ++i) {
        const uint32_t kind = random() % (switches ? 4 : 3);
        const double fraction = static_cast<double>(random() % 1000) / 1000.0;
        if (kind == 0) {
            points.push_back({"inside a chunk, " + std::to_string(fraction) + " of it", fraction});
        } else if (kind == 1) {
            points.push_back({"at a chunk's end", 0.0});
        } else if (kind == 2) {
            points.push_back({"soon after a chunk's record, " + std::to_string(fraction / 10) + " of a chunk",
                              fraction / 10});
        } else {
            const auto delay = std::chrono::milliseconds(random() % 400);
            points.push_back({"recording moved, " + std::to_string(delay.count()) + " ms later", 0, true, delay});
        }
    }
    return points;
}

// For each kill point: a fresh group of two files of the given sizes (8 KB
// pages), a first run killed with SIGKILL there, a second run with --resume,
// then the checks and the comparisons.
void ArchiveKillTest::killAndResume(uint32_t pagesA, uint32_t pagesB, bool recordingMoves,
                                    const std::vector<KillPoint>& points) {
    const std::vector<StoredItem> want = expectedItems(*site, 0);
    ASSERT_GT(want.size(), 0u);
    const SyntheticRecording& rec = site->recording();
    const std::vector<SyntheticRecording::Span> spans = rec.spans(0);
    bool cut = false;
    const std::size_t events = rec.events(spans, spans.front().firstEpoch(), spans.back().lastEpoch(), UINT32_MAX,
                                          UINT32_MAX, UINT32_MAX, SIZE_MAX, cut)
                                   .size();
    const DateTime lastSecond = DateTime::fromEpochSeconds(spans.back().lastEpoch());
    const std::vector<Interval> siteTable = siteTimeTable(*site, at(9, 0, 0), lastSecond);
    for (std::size_t point = 0; point < points.size(); ++point) {
        const KillPoint& kill = points[point];
        SCOPED_TRACE("kill point " + std::to_string(point) + ": " + kill.name);
        const std::string sub = dir + "/" + std::to_string(point);
        std::filesystem::create_directory(sub);
        const std::vector<std::string> files = {sub + "/a.strg", sub + "/b.strg"};
        formatStorage(files[0], pagesA);
        formatStorage(files[1], pagesB);

        {
            ChildProcess first(archiveArgs(files, false), sub + "/first.err");
            ASSERT_TRUE(first.started());
            // Generous bounds: a run takes seconds, but on a machine whose cores
            // and disk are busy with other work it has been seen to take minutes.
            const auto deadline = Clock::now() + std::chrono::seconds(600);
            if (kill.onSwitch) {
                while (!hasTimeline(files[1]) && Clock::now() < deadline) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                std::this_thread::sleep_for(kill.switchDelay);
            } else {
                ASSERT_TRUE(first.waitForProgressPast(at(10, 30, 0), deadline))
                    << first.output() << fileText(sub + "/first.err");
                const auto firstChunkEnd = Clock::now();
                ASSERT_TRUE(first.waitForProgressPast(at(11, 0, 0), deadline))
                    << first.output() << fileText(sub + "/first.err");
                const auto delay = std::chrono::duration_cast<std::chrono::microseconds>(
                    (Clock::now() - firstChunkEnd) * kill.fraction);
                std::this_thread::sleep_for(delay);
            }
            first.killHard();
            const int status = first.wait(Clock::now() + std::chrono::seconds(10));
            // A run that finished before the kill proves nothing about a kill.
            ASSERT_EQ(status, 128 + SIGKILL) << first.output() << fileText(sub + "/first.err");
        }

        if (std::getenv("OSTREL_KEEP_TEST_FILES") != nullptr) {
            for (const std::string& file : files) {
                std::filesystem::copy_file(file, file + ".killed");
            }
        }
        ChildProcess second(archiveArgs(files, true), sub + "/second.err", sub + "/second.out");
        ASSERT_TRUE(second.started());
        ASSERT_EQ(second.wait(Clock::now() + std::chrono::seconds(600)), 0)
            << fileText(sub + "/second.out") << fileText(sub + "/second.err");

        for (const std::string& file : files) {
            ChildProcess check({OSTREL_STORAGE_TOOL, "check", "--full", file}, sub + "/check.err", sub + "/check.out");
            ASSERT_TRUE(check.started());
            EXPECT_EQ(check.wait(Clock::now() + std::chrono::seconds(60)), 0)
                << file << ": " << fileText(sub + "/check.out") << fileText(sub + "/check.err");
            // "ok (SIZE bytes, N bytes read at R MB/s)"
            EXPECT_EQ(fileText(sub + "/check.out").rfind("ok (", 0), 0u) << fileText(sub + "/check.out") << file;
        }

        const StoredGroup stored = readBack(files);
        ASSERT_EQ(stored.items.size(), want.size());
        expectSame(stored.items, want, 0);
        ASSERT_EQ(stored.lastSections.size(), 2u);
        if (recordingMoves) {
            // Recording moved to b, and b holds the newest sections.
            EXPECT_GT(stored.lastSections[1], stored.lastSections[0]);
        }
        // The site's events, each on its frame, none written twice.
        EXPECT_EQ(stored.events.size(), events);
        std::set<uint64_t> eventFrames;
        for (const EventElement& event : stored.events) {
            const auto frame = stored.byID.find(event.mediaID());
            ASSERT_NE(frame, stored.byID.end());
            EXPECT_EQ(frame->second.mediaType, 0);
            EXPECT_EQ(frame->second.epoch, event.dateTime().epochSeconds());
            EXPECT_TRUE(eventFrames.insert(event.mediaID()).second) << "two events on media ID " << event.mediaID();
        }
        EXPECT_EQ(stored.info.at("LastVideoTime"), lastSecond.toString());
        expectTablesDescribe(stored, siteTable);
    }
}

TEST_F(ArchiveKillTest, AResumeAfterSigkillMidChunkCompletesTheGroupWithoutLossOrDuplicate) {
    startSite(recording());
    // a holds the whole recording (about 950 pages; the margin covers pages
    // the cut back to the record leaves allocated); b stays empty.
    killAndResume(2000, 100, false, withExtraPoints(midChunkPoints(), false, 1));
}

// Recording moves from a to b half way: a, the member recording moved away
// from, is left by the kill with its recording table behind its timeline.
// One kill more as recording moves (b's first section begins).
TEST_F(ArchiveKillTest, AResumeAfterSigkillWhereRecordingMovedToAnotherMember) {
    startSite(recording());
    std::vector<KillPoint> points = midChunkPoints();
    points.push_back({"recording moved, 30 ms later", 0, true, std::chrono::milliseconds(30)});
    killAndResume(450, 800, true, withExtraPoints(points, true, 2));
}

// Pauses in the site's recording (stop entries in the table): a kill at a
// chunk's end, as its resume record is stored, and one soon after.
TEST_F(ArchiveKillTest, AResumeAfterSigkillAroundAChunksRecordOfARecordingWithPauses) {
    startSite(recordingWithPauses());
    killAndResume(2000, 100, false,
                  withExtraPoints({{"at a chunk's end", 0.0}, {"soon after a chunk's record, 0.03 of a chunk", 0.03}},
                                  false, 3));
}

} // namespace
