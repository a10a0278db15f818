// Power-loss simulation: a scripted recording workload runs once over files
// that log every write and every barrier (one storage file, or a group of two
// that switches members), with small group commits (2 to 4 pages) whose
// waiting time the test's clock drives. Then, for every write n of it, the
// files as a power loss during write n could leave them are opened with
// correction and recovery and must come up consistent, keep every frame that
// was on disk before write n (durable by a group commit or a flush), go on
// recording, and not change when opened a second time.
//
// What a power loss leaves: everything before the last barrier (the file's
// flush) before n; each durable write after it; and each deferred write
// after it, as well as write n itself, absent, complete or torn (a prefix of
// its sectors, or any subset of them), in every combination when they are
// few and in a seeded sample of the combinations above that.

#include "storage/EventElement.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/StorageGroup.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrackIterator.h"
#include "storage/TextInElement.h"
#include "storage/RecordingTableElement.h"
#include "storage/TimelineElement.h"
#include "storage/TrackIterator.h"
#include "storage/VarnelException.h"
#include "storage/IFreePageAllocator.h"
#include "storage/LogMessage.h"
#include "storage/pager/Page.h"
#include "storage/pager/SuperBlock.h"
#include "storage/support/Frames.h"
#include "storage/support/RecordingStorageFile.h"
#include "storage/support/SharedStorageFile.h"
#include "storage/support/TestClock.h"
#include "storage/util/RecordingTableVerifier.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace ostrel {
namespace {

using test::Frames;
using test::RecordingStorageFile;
using test::at;

constexpr std::uint32_t PageSize = 8192;
// Where page 1 starts: the superblock takes the first 4096 bytes.
constexpr std::uint32_t FirstPageOffset = 4096;

// One write as a file received it, or a barrier (no data); `file` is the
// member of the workload's files. A durable write is on the device when it
// returns; a deferred one only after the next barrier of its file.
struct LoggedWrite {
    enum Kind { Durable, Deferred, Barrier };
    Kind kind;
    std::size_t file;
    std::uint64_t offset;
    std::vector<std::uint8_t> data;
};

// A file handle that appends every write and barrier it passes on to a log
// shared by all the workload's files, so writes to several files keep their order.
class LoggingFile final : public IStorageFile {
public:
    LoggingFile(RecordingStorageFile& file, std::size_t index, bool writable, std::vector<LoggedWrite>& log)
        : _file(file), _index(index), _writable(writable), _log(log) {}
    std::size_t readAt(void* buffer, std::uint64_t offset, std::size_t length) override {
        return _file.readAt(buffer, offset, length);
    }
    std::size_t writeAt(const void* buffer, std::uint64_t offset, std::size_t length) override {
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        _log.push_back({LoggedWrite::Durable, _index, offset, std::vector<std::uint8_t>(bytes, bytes + length)});
        return _file.writeAt(buffer, offset, length);
    }
    std::size_t writeDeferred(const WritePiece* pieces, std::size_t count, std::uint64_t offset) override {
        LoggedWrite write{LoggedWrite::Deferred, _index, offset, {}};
        for (std::size_t i = 0; i < count; ++i) {
            const auto* bytes = static_cast<const std::uint8_t*>(pieces[i].data);
            write.data.insert(write.data.end(), bytes, bytes + pieces[i].length);
        }
        _log.push_back(write);
        return _file.writeAt(write.data.data(), offset, write.data.size());
    }
    void flush() override { _log.push_back({LoggedWrite::Barrier, _index, 0, {}}); }
    std::uint64_t size() const override { return _file.size(); }
    std::uint32_t sectorSize() const override { return _file.sectorSize(); }
    bool isWritable() const override { return _writable; }
    const std::string& path() const override { return _file.path(); }
    int handle() const override { return -1; }

private:
    RecordingStorageFile& _file;
    std::size_t _index;
    bool _writable;
    std::vector<LoggedWrite>& _log;
};

// A frame the workload wrote: its media ID and payload seed.
using FrameSet = std::map<std::uint64_t, std::uint32_t>;

// After each step of the workload: how many writes (and barriers) the files
// had seen, which frames were live (indexed by the timeline of the member
// holding them), and which of them were on disk (up to the durable media ID
// of their member).
struct Step {
    std::size_t writes;
    FrameSet live;
    FrameSet durable;
};

struct Workload {
    std::vector<std::string> paths;
    std::uint32_t pages = 0;                      // pages of every file
    std::uint32_t groupPages = 0;                 // pages of a group commit
    int multiPageRuns = 0;                        // page runs of more than one page written by a commit
    int commitsBetweenFlushes = 0;                // group commits of filled pages (size or time)
    int idleCommits = 0;                          // group commits the waiting time started in a pause
    std::vector<std::vector<std::uint8_t>> initial; // the freshly formatted files
    std::vector<LoggedWrite> writes;
    std::vector<Step> steps;
    int switches = 0; // changes of the recording member
    // Formatting keeps two superblock sizes (8192 bytes) out of the page count.
    std::uint64_t fileSize() const { return 8192 + std::uint64_t{pages} * PageSize; }
};

bool debugging() { return std::getenv("OSTREL_CRASH_DEBUG") != nullptr; }

// The media ID of a storage's oldest timeline element; the largest ID when
// its timeline is empty (nothing in it is live any more).
std::uint64_t firstTimelineID(Storage& storage) {
    TrackIterator it(storage, PageType::Timeline);
    if (!it.first()) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    TimelineElement element;
    it.read(element);
    return element.mediaID();
}

// Runs the recording script against `target` (one storage, or a group over
// `members`) and keeps track of which frames are live and on disk after
// every step. Every frame moves the test clock on by 20 ms.
class Script {
public:
    Script(Workload& w, Storage& target, std::vector<Storage*> members, std::function<Storage*()> holder,
           test::TestClock& clock)
        : _w(w), _target(target), _members(std::move(members)), _holder(std::move(holder)), _clock(clock) {}

    // Records `count` frames of three channels (two video, one audio) in
    // second `second`, with an event on the first and a text-in record after
    // the second, then flushes when asked.
    void record(int second, int count, bool flush = true) {
        for (int k = 0; k < count; ++k) {
            _clock.advance(20);
            const int channel = k % 3;
            const std::uint32_t size = 700 + (_seed * 397) % 2600;
            MediaElement frame = channel == 2
                                     ? _frames.audio(0, static_cast<std::uint16_t>(k), at(second), 300, _seed)
                                     : _frames.video(channel, static_cast<std::uint32_t>(second + 1),
                                                     static_cast<std::uint16_t>(k), at(second), size, _seed);
            const PagePosition media = _target.writeMedia(frame);
            Storage* holder = _holder();
            if (holder != _lastHolder && _lastHolder != nullptr) {
                ++_w.switches;
            }
            _lastHolder = holder;
            const PagePosition timeline = _target.writeTimeline(frame, media);
            if (debugging()) {
                std::printf("frame %llu -> %s media %u:%u timeline %u:%u after write %zu\n",
                            static_cast<unsigned long long>(frame.mediaID()), holder->path().c_str(), media.number,
                            media.offset, timeline.number, timeline.offset, _w.writes.size());
            }
            if (!timeline.isNull()) {
                _live[frame.mediaID()] = _seed;
                _owner[frame.mediaID()] = holder;
            }
            ++_seed;
            if (k == 0) {
                EventElement event;
                event.setEventType(1);
                event.setMediaID(frame.mediaID());
                event.setTimelinePos(timeline);
                event.setChannelMask(frame.channelMask());
                event.setDateTime(at(second));
                _target.writeEvent(event, false);
            }
            if (k == 1) {
                TextInElement text;
                text.setChannelMask(BitMask32(1));
                text.setDateTime(at(second));
                text.setText("till " + std::to_string(second));
                const PagePosition textPos = _target.writeTextIn(text);
                _target.writeTimeline(text, textPos, false);
            }
            step();
        }
        if (flush) {
            _target.flush();
            step(Flushed);
        }
    }

    // The recording pauses for `milliseconds`: the group commit's timer (off
    // in these storages, so that the test decides when it fires) finds the
    // waiting pages due.
    void idle(std::uint32_t milliseconds) {
        _clock.advance(milliseconds);
        for (Storage* member : _members) {
            member->commitDuePages(true);
        }
        step(Idle);
    }

    // Resume after a cut: everything after the resume point goes.
    void truncateAfter(std::uint64_t resume) {
        _target.truncateAfter(_target.lastSectionID(), resume);
        for (auto it = _live.begin(); it != _live.end();) {
            it = it->first > resume ? _live.erase(it) : std::next(it);
        }
        step(Flushed);
        _target.flush();
        step(Flushed);
    }

    // After the close: every live frame is on disk.
    void finish() { _w.steps.push_back({_w.writes.size(), _live, _live}); }

private:
    enum StepKind { Writing, Flushed, Idle };

    void step(StepKind kind = Writing) {
        for (Storage* member : _members) {
            const std::uint64_t first = firstTimelineID(*member);
            for (auto it = _live.begin(); it != _live.end();) {
                it = _owner[it->first] == member && it->first < first ? _live.erase(it) : std::next(it);
            }
        }
        FrameSet durable;
        for (const auto& [id, seed] : _live) {
            if (id <= _owner[id]->durableMediaID()) {
                durable[id] = seed;
            }
        }
        countCommits(kind);
        _w.steps.push_back({_w.writes.size(), _live, std::move(durable)});
    }

    void countCommits(StepKind kind) {
        for (; _counted < _w.writes.size(); ++_counted) {
            const LoggedWrite& write = _w.writes[_counted];
            if (write.kind == LoggedWrite::Deferred && write.data.size() >= 2 * PageSize) {
                ++_w.multiPageRuns;
            }
        }
        for (Storage* member : _members) {
            const std::uint64_t durable = member->durableMediaID();
            if (durable > _durable[member] && kind == Writing) {
                ++_w.commitsBetweenFlushes;
            }
            if (durable > _durable[member] && kind == Idle) {
                ++_w.idleCommits;
            }
            _durable[member] = durable;
        }
    }

    Workload& _w;
    Storage& _target;
    std::vector<Storage*> _members;
    std::function<Storage*()> _holder;
    test::TestClock& _clock;
    Frames _frames;
    FrameSet _live;
    std::map<std::uint64_t, Storage*> _owner;
    Storage* _lastHolder = nullptr;
    std::uint32_t _seed = 1;
    std::size_t _counted = 0;
    std::map<Storage*, std::uint64_t> _durable;
};

// Formats the workload's files and keeps their images; answers the files.
std::vector<std::unique_ptr<RecordingStorageFile>> formatFiles(Workload& w) {
    std::vector<std::unique_ptr<RecordingStorageFile>> files;
    for (const std::string& path : w.paths) {
        files.push_back(std::make_unique<RecordingStorageFile>(w.fileSize()));
        std::mutex mutex;
        auto storage = std::make_unique<FixedSizeFileStorage>(
            [&](const std::string&, bool writable) -> std::unique_ptr<IStorageFile> {
                return std::make_unique<test::SharedStorageFile>(*files.back(), writable, mutex);
            });
        storage->open(path, true, 2);
        StorageFormatOptions options;
        options.pageSize = PageSize;
        options.recorderType = RecorderType::Flac;
        storage->format(options);
        if (storage->superBlock().firstPageOffset() != FirstPageOffset ||
            storage->superBlock().pageCount() != w.pages) {
            throw std::runtime_error("unexpected layout");
        }
        storage->close(true);
        w.initial.push_back(files.back()->bytes());
    }
    return files;
}

// Opens member `index` over its logging file, with the workload's group size,
// the waiting time of 250 ms on `clock` and no timer thread.
std::unique_ptr<FixedSizeFileStorage> openLogged(Workload& w, RecordingStorageFile& file, std::size_t index,
                                                 const test::TestClock& clock) {
    auto storage = std::make_unique<FixedSizeFileStorage>(
        [&w, &file, index](const std::string&, bool writable) -> std::unique_ptr<IStorageFile> {
            return std::make_unique<LoggingFile>(file, index, writable, w.writes);
        });
    storage->setClockSource(&clock);
    GroupCommitOptions options;
    options.pages = w.groupPages;
    options.maxWaitMilliseconds = 250;
    options.timer = false;
    storage->setGroupCommitOptions(options);
    if (!storage->open(w.paths[index], true, 2)) {
        throw std::runtime_error("workload open failed");
    }
    return storage;
}

// One storage file with groups of 3 pages: fill it, run into the overwrite of
// the oldest data, resume after a cut, record on and close. Flushes come
// every few seconds, so that groups fill, and pauses let the waiting time
// commit a group.
const Workload& singleWorkload() {
    static const Workload result = [] {
        Workload w;
        w.paths = {"crash.strg"};
        w.pages = 36;
        w.groupPages = 3;
        auto files = formatFiles(w);
        test::TestClock clock;
        auto storage = openLogged(w, *files[0], 0, clock);
        Script script(w, *storage, {storage.get()}, [&] { return storage.get(); }, clock);
        for (int second = 0; second < 40; ++second) {
            script.record(second, 6, second % 5 == 4);
            if (second % 7 == 2) {
                script.idle(300);
            }
        }
        script.truncateAfter(storage->lastIssuedItemID() - 5);
        for (int second = 40; second < 46; ++second) {
            script.record(second, 6, second % 3 == 2);
        }
        storage->close(true);
        script.finish();
        return w;
    }();
    return result;
}

// A group of two small files: fill the first, switch to the empty second,
// fill it, switch back to the first (the member with the oldest section)
// and overwrite its oldest data, resume after a cut, record on and close.
const Workload& groupWorkload() {
    static const Workload result = [] {
        Workload w;
        w.paths = {"a.strg", "b.strg"};
        w.pages = 20;
        w.groupPages = 2;
        auto files = formatFiles(w);
        test::TestClock clock;
        StorageGroup group;
        std::vector<Storage*> members;
        for (std::size_t i = 0; i < files.size(); ++i) {
            auto member = openLogged(w, *files[i], i, clock);
            members.push_back(member.get());
            group.addStorage(std::move(member));
        }
        group.selectRecordingStorage(UniqueID::nil(), 0);
        Script script(w, group, members, [&] { return group.current(); }, clock);
        int second = 0;
        // Until the recording has left the second member again, and a little
        // further into the overwrite of the first.
        while (w.switches < 2 && second < 200) {
            script.record(second, 5, second % 4 == 3);
            if (second % 4 == 1) {
                script.idle(300);
            }
            ++second;
        }
        for (int more = 0; more < 4; ++more) {
            script.record(second++, 5, more % 2 == 1);
        }
        script.truncateAfter(group.lastIssuedItemID() - 5);
        for (int more = 0; more < 3; ++more) {
            script.record(second++, 5);
        }
        group.close(true);
        script.finish();
        return w;
    }();
    return result;
}

// The frames that must survive a power loss at write n (1-based): those on
// disk at the last step whose writes all completed, and live at every step
// after it up to the one during which write n happened.
FrameSet mustSurvive(const Workload& w, std::size_t n) {
    FrameSet result;
    std::size_t from = w.steps.size();
    for (std::size_t i = 0; i < w.steps.size(); ++i) {
        if (w.steps[i].writes <= n - 1) {
            from = i;
        }
    }
    if (from == w.steps.size()) {
        return result;
    }
    result = w.steps[from].durable;
    for (std::size_t i = from + 1; i < w.steps.size(); ++i) {
        for (auto it = result.begin(); it != result.end();) {
            it = w.steps[i].live.count(it->first) && w.steps[i].live.at(it->first) == it->second ? std::next(it)
                                                                                               : result.erase(it);
        }
        if (w.steps[i].writes >= n) {
            break;
        }
    }
    return result;
}

enum class Tear { Absent, Complete, Prefix, Subset };

const char* tearName(Tear tear) {
    static const char* names[] = {"absent", "complete", "prefix", "subset"};
    return names[static_cast<int>(tear)];
}

// The files a power loss during write n (1-based) leaves. For every file:
// everything up to its last barrier before n is there; after it, its durable
// writes are there and each of its deferred writes is there as the caller
// says (absent, complete or torn), in the order they were written; write n
// itself as the caller says.
class Images {
public:
    explicit Images(const Workload& w) : _w(w), _base(w.initial), _barrier(w.paths.size(), 0) {}

    // The deferred writes before write n whose files saw no barrier since
    // (indices into the log); n never decreases.
    std::vector<std::size_t> limbo(std::size_t n) {
        advance(n);
        std::vector<std::size_t> result;
        for (std::size_t i = firstOpen(); i + 1 < n; ++i) {
            const LoggedWrite& write = _w.writes[i];
            if (write.kind == LoggedWrite::Deferred && i >= _barrier[write.file]) {
                result.push_back(i);
            }
        }
        return result;
    }

    // `tears` holds one entry per write of limbo(n), then one for write n.
    std::vector<std::vector<std::uint8_t>> at(std::size_t n, const std::vector<Tear>& tears, std::mt19937& random) {
        advance(n);
        std::vector<std::vector<std::uint8_t>> image = _base;
        std::size_t next = 0;
        for (std::size_t i = firstOpen(); i + 1 < n; ++i) {
            const LoggedWrite& write = _w.writes[i];
            if (write.kind == LoggedWrite::Barrier || i < _barrier[write.file]) {
                continue;
            }
            apply(image, write, write.kind == LoggedWrite::Durable ? Tear::Complete : tears.at(next++), random);
        }
        apply(image, _w.writes[n - 1], tears.back(), random);
        return image;
    }

private:
    // Every file's base takes its writes up to its last barrier before write n.
    void advance(std::size_t n) {
        for (std::size_t i = _scanned; i + 1 < n; ++i, _scanned = i) {
            const LoggedWrite& write = _w.writes[i];
            if (write.kind == LoggedWrite::Barrier && i + 1 > _barrier[write.file]) {
                for (std::size_t k = _barrier[write.file]; k < i; ++k) {
                    const LoggedWrite& earlier = _w.writes[k];
                    if (earlier.file == write.file && earlier.kind != LoggedWrite::Barrier) {
                        std::memcpy(_base[earlier.file].data() + earlier.offset, earlier.data.data(),
                                    earlier.data.size());
                    }
                }
                _barrier[write.file] = i + 1;
            }
        }
    }
    std::size_t firstOpen() const { return *std::min_element(_barrier.begin(), _barrier.end()); }

    static void apply(std::vector<std::vector<std::uint8_t>>& image, const LoggedWrite& write, Tear tear,
                      std::mt19937& random) {
        const std::size_t sectors = write.data.size() / 512;
        std::vector<bool> take(sectors, false);
        switch (tear) {
        case Tear::Absent:
            break;
        case Tear::Complete:
            take.assign(sectors, true);
            break;
        case Tear::Prefix: {
            const std::size_t keep = sectors > 1 ? 1 + random() % (sectors - 1) : 0;
            for (std::size_t s = 0; s < keep; ++s) take[s] = true;
            break;
        }
        case Tear::Subset:
            for (std::size_t s = 0; s < sectors; ++s) take[s] = random() % 2 == 0;
            break;
        }
        for (std::size_t s = 0; s < sectors; ++s) {
            if (take[s]) {
                std::memcpy(image[write.file].data() + write.offset + s * 512, write.data.data() + s * 512, 512);
            }
        }
    }

    const Workload& _w;
    std::vector<std::vector<std::uint8_t>> _base;
    // Per file: the log index after its last barrier taken into the base.
    std::vector<std::size_t> _barrier;
    std::size_t _scanned = 0;
};

// The ways a power loss during write n may leave the `open` writes since
// their files' barriers and write n: every combination of the four tears
// when they are at most three writes, else a seeded sample that always
// holds "all complete" and "all absent" with each tear of write n.
std::vector<std::vector<Tear>> tearCombinations(std::size_t open, std::mt19937& random) {
    const std::vector<Tear> all = {Tear::Absent, Tear::Complete, Tear::Prefix, Tear::Subset};
    std::vector<std::vector<Tear>> result;
    const std::size_t k = open + 1;
    if (k <= 3) {
        std::size_t count = 1;
        for (std::size_t i = 0; i < k; ++i) count *= 4;
        for (std::size_t c = 0; c < count; ++c) {
            std::vector<Tear> tears;
            for (std::size_t i = 0, rest = c; i < k; ++i, rest /= 4) tears.push_back(all[rest % 4]);
            result.push_back(tears);
        }
        return result;
    }
    for (Tear fill : {Tear::Complete, Tear::Absent}) {
        for (Tear last : all) {
            std::vector<Tear> tears(open, fill);
            tears.push_back(last);
            result.push_back(tears);
        }
    }
    for (int sample = 0; sample < 12; ++sample) {
        std::vector<Tear> tears;
        for (std::size_t i = 0; i < k; ++i) tears.push_back(all[random() % 4]);
        result.push_back(tears);
    }
    return result;
}

// Walks every chain of the track list both ways; answers what is wrong or "".
std::string checkChains(Storage& storage) {
    std::ostringstream out;
    SuperBlock& sb = storage.superBlock();
    std::map<std::uint32_t, std::string> owner;
    for (const TrackListItem& entry : storage.tracks()) {
        const std::string type = entry.type().toString();
        Page page(&sb, &storage.pageCache());
        std::uint32_t number = entry.firstPage();
        std::uint32_t previous = 0;
        std::uint32_t previousChecksum = 0;
        std::uint64_t lastID = 0;
        for (std::uint32_t guard = 0; number != 0 && guard <= sb.pageCount(); ++guard) {
            if (!sb.isValidPageNumber(number)) {
                out << type << ": page " << number << " outside the file; ";
                break;
            }
            if (owner.count(number)) {
                out << type << ": page " << number << " also in " << owner[number] << "; ";
                break;
            }
            owner[number] = type;
            page.loadReadOnly(number);
            if (!(page.type() == entry.type())) out << type << ": page " << number << " has type " << page.type().toString() << "; ";
            if (page.previous() != previous || page.previousChecksum() != previousChecksum)
                out << type << ": page " << number << " back link " << page.previous() << " not " << previous << "; ";
            if (page.superChecksum() != sb.checksum()) out << type << ": page " << number << " super checksum; ";
            if (number == entry.firstPage() && page.checksum() != entry.firstPageChecksum())
                out << type << ": first checksum; ";
            if (debugging()) {
                std::printf("  %s page %u: count %u ids %llu..%llu first offset %u prev %u next %u\n", type.c_str(), number,
                            page.itemCount(), static_cast<unsigned long long>(page.firstItemID()),
                            static_cast<unsigned long long>(page.lastItemID()), page.firstItemOffset(), page.previous(),
                            page.next());
            }
            const bool ordered = entry.type() == PageType::Media || entry.type() == PageType::Timeline ||
                                 entry.type() == PageType::Event || entry.type() == PageType::TextIn;
            if (ordered && page.itemCount() > 0) {
                if (page.firstItemID() <= lastID && lastID != 0)
                    out << type << ": page " << number << " IDs do not increase; ";
                lastID = page.lastItemID();
            }
            if (number == entry.lastPage()) {
                if (page.checksum() != entry.lastPageChecksum()) out << type << ": last checksum; ";
                if (page.next() != 0) out << type << ": last page " << number << " has next " << page.next() << "; ";
                number = 0;
                break;
            }
            previous = number;
            previousChecksum = page.checksum();
            if (page.next() == 0) {
                out << type << ": chain ends at " << number << " before its last page " << entry.lastPage() << "; ";
            } else if (page.nextChecksum() == 0) {
                out << type << ": page " << number << " has no next checksum; ";
            }
            number = page.next();
        }
        page.release();
    }
    IFreePageAllocator& allocator = storage.freePageAllocator();
    std::uint64_t free = 0;
    for (std::uint32_t number = 1; number <= sb.pageCount(); ++number) {
        const bool isFree = allocator.isFree(number);
        free += isFree ? 1 : 0;
        if (isFree && owner.count(number)) out << "page " << number << " free and in " << owner[number] << "; ";
        if (!isFree && !owner.count(number)) out << "page " << number << " leaked; ";
    }
    if (free != allocator.freePageCount()) out << "free count " << allocator.freePageCount() << " not " << free << "; ";
    return out.str();
}

// Every timeline element names a stored frame with its media ID; answers the
// frames readable through the timeline (media ID -> payload) and problems.
std::string checkTimeline(Storage& storage, std::map<std::uint64_t, std::vector<std::uint8_t>>& frames) {
    std::ostringstream out;
    TrackIterator timeline(storage, PageType::Timeline);
    MediaTrackIterator media(storage, PageType::Media);
    std::uint64_t lastID = 0;
    for (bool more = timeline.first(); more; more = timeline.next()) {
        TimelineElement element;
        timeline.read(element);
        if (element.mediaID() <= lastID)
            out << "timeline ID " << element.mediaID() << " (type " << element.mediaType() << " at "
                << timeline.position().number << ":" << timeline.position().offset << ") after " << lastID << "; ";
        lastID = element.mediaID();
        if (element.mediaType() == 3) {
            continue;
        }
        if (!media.seek(element.mediaPosition())) {
            out << "timeline " << element.mediaID() << " names no frame; ";
            continue;
        }
        MediaElement frame;
        media.read(frame);
        if (frame.mediaID() != element.mediaID()) {
            out << "timeline " << element.mediaID() << " names frame " << frame.mediaID() << "; ";
            continue;
        }
        frames[frame.mediaID()] = media.readPayload();
    }
    return out.str();
}

// The recording table describes the timeline (RecordingTableVerifier, full),
// and each section's first entry and closing stop name frames of the media
// track with their media IDs and times; answers what is wrong or "".
std::string checkRecordingTable(Storage& storage) {
    RecordingTableVerifier verifier(storage);
    if (!verifier.verify(RecordingTableVerifier::Depth::Full)) {
        return verifier.problem() + "; ";
    }
    std::ostringstream out;
    auto namesFrame = [&](const RecordingTableElement& entry, const char* which, std::uint32_t section) {
        TrackIterator timeline(storage, PageType::Timeline);
        MediaTrackIterator media(storage, PageType::Media);
        TimelineElement element;
        MediaElement frame;
        if (!timeline.seek(entry.position())) {
            out << "section " << section << ": " << which << " entry names no timeline element; ";
            return;
        }
        timeline.read(element);
        if (!media.seek(element.mediaPosition())) {
            out << "section " << section << ": " << which << " entry's element names no frame; ";
            return;
        }
        media.read(frame);
        if (frame.mediaID() != entry.mediaID() || frame.mediaType() != 0 ||
            (!entry.channelMask().isEmpty() && !(frame.dateTime() == entry.dateTime()))) {
            out << "section " << section << ": " << which << " entry " << entry.mediaID() << " names frame "
                << frame.mediaID() << " of " << frame.dateTime().toString() << "; ";
        }
    };
    for (const RecordingTableVerifier::Section& section : verifier.sections()) {
        namesFrame(section.first, "first", section.id);
        if (section.last.channelMask().isEmpty()) {
            namesFrame(section.last, "closing", section.id);
        }
    }
    return out.str();
}

// The pages of the log track, which every open writes.
std::set<std::uint32_t> logPages(Storage& storage) {
    std::set<std::uint32_t> pages;
    for (const TrackListItem& entry : storage.tracks()) {
        if (entry.type() == PageType::Log || entry.type() == PageType::FreePageList ||
            entry.type() == PageType::Journal) {
            Page page(&storage.superBlock(), &storage.pageCache());
            std::uint32_t number = entry.firstPage();
            for (int guard = 0; number != 0 && guard < 64; ++guard) {
                pages.insert(number);
                page.loadReadOnly(number);
                number = number == entry.lastPage() ? 0 : page.next();
            }
            page.release();
        }
    }
    return pages;
}

// Everything but the superblock and the log pages.
std::vector<std::uint8_t> dataPages(const std::vector<std::uint8_t>& bytes, const std::set<std::uint32_t>& log) {
    std::vector<std::uint8_t> result(bytes.begin() + FirstPageOffset, bytes.end() - (8192 - FirstPageOffset));
    for (std::uint32_t number : log) {
        std::fill(result.begin() + (number - 1) * PageSize, result.begin() + number * PageSize, 0);
    }
    return result;
}

// Prints the page headers as the power loss left them (the page byte order
// of the files the tests format is the host's) and keeps the image in /tmp
// for the storage tool.
void dumpImage(const Workload& w, const std::string& path, const std::vector<std::uint8_t>& image) {
    auto u32 = [&](std::size_t at) {
        std::uint32_t v;
        std::memcpy(&v, image.data() + at, 4);
        return v;
    };
    auto u64 = [&](std::size_t at) {
        std::uint64_t v;
        std::memcpy(&v, image.data() + at, 8);
        return static_cast<unsigned long long>(v);
    };
    std::printf(" %s\n", path.c_str());
    for (std::uint32_t page = 1; page <= w.pages; ++page) {
        const std::size_t at = FirstPageOffset + std::size_t{page - 1} * PageSize;
        std::printf("  image %u: %.4s prev %u next %u count %u ids %llu..%llu sum %08x prev %08x next %08x\n", page,
                    reinterpret_cast<const char*>(image.data() + at), u32(at + 8), u32(at + 12), u32(at + 20),
                    u64(at + 32), u64(at + 40), u32(at + 60), u32(at + 64), u32(at + 68));
    }
    if (FILE* dump = std::fopen(("/tmp/crash-" + path).c_str(), "wb")) {
        std::fwrite(image.data(), 1, image.size(), dump);
        std::fclose(dump);
    }
}

// What differs between two snapshots of the data pages.
std::string compareDataPages(const Workload& w, const std::vector<std::uint8_t>& once,
                             const std::vector<std::uint8_t>& twice) {
    std::ostringstream out;
    for (std::uint32_t page = 0; page < w.pages; ++page) {
        const std::size_t begin = std::size_t{page} * PageSize;
        if (std::equal(once.begin() + begin, once.begin() + begin + PageSize, twice.begin() + begin)) {
            continue;
        }
        out << "second open changed page " << page + 1 << "; ";
        if (debugging()) {
            for (std::uint32_t b = 0, shown = 0; b < PageSize && shown < 16; ++b) {
                if (once[begin + b] != twice[begin + b]) {
                    std::printf("  page %u byte %u: %02x -> %02x\n", page + 1, b, once[begin + b], twice[begin + b]);
                    ++shown;
                }
            }
        }
    }
    return out.str();
}

// Opens one member image in mode 2 and checks it; adds the frames readable
// through its timeline to `frames`. Then opens it again: that open must
// change no data page, and recording must go on. Answers what is wrong or "".
// One recording section of a member as its open found it: ID and media IDs.
struct SectionSpan {
    std::size_t member;
    std::uint32_t id;
    std::uint64_t first;
    std::uint64_t last;
};

std::string runMember(const Workload& w, std::size_t index, std::vector<std::uint8_t> image,
                      std::map<std::uint64_t, std::vector<std::uint8_t>>& frames, std::vector<SectionSpan>& sections) {
    const std::string& path = w.paths[index];
    if (debugging()) {
        dumpImage(w, path, image);
    }
    RecordingStorageFile file(0);
    file.bytes() = std::move(image);
    std::mutex mutex;
    auto opener = [&](const std::string&, bool writable) -> std::unique_ptr<IStorageFile> {
        return std::make_unique<test::SharedStorageFile>(file, writable, mutex);
    };
    std::ostringstream out;
    try {
        auto storage = std::make_unique<FixedSizeFileStorage>(opener);
        if (!storage->open(path, true, 2)) {
            return "open answered false";
        }
        if (debugging()) {
            for (const LogMessage& message : storage->readLog()) std::printf("  log: %s\n", message.text.c_str());
        }
        out << checkChains(*storage);
        out << checkTimeline(*storage, frames);
        out << checkRecordingTable(*storage);
        if (!out.str().empty()) {
            return out.str();
        }
        RecordingTableVerifier verifier(*storage);
        verifier.verify(RecordingTableVerifier::Depth::Quick);
        for (const RecordingTableVerifier::Section& section : verifier.sections()) {
            sections.push_back({index, section.id, section.first.mediaID(), section.last.mediaID()});
        }
        std::set<std::uint32_t> log = logPages(*storage);
        storage->close(false);
        const std::vector<std::uint8_t> once = dataPages(file.bytes(), log);
        storage = std::make_unique<FixedSizeFileStorage>(opener);
        if (!storage->open(path, true, 2)) {
            return "second open answered false";
        }
        // What the second open itself wrote (its close would add its own).
        out << compareDataPages(w, once, dataPages(file.bytes(), logPages(*storage)));
        // Recording goes on.
        Frames more;
        MediaElement frame = more.video(0, 9999, 0, at(100000), 1234, 77777);
        const PagePosition media = storage->writeMedia(frame);
        storage->writeTimeline(frame, media);
        storage->flush();
        std::map<std::uint64_t, std::vector<std::uint8_t>> after;
        out << checkTimeline(*storage, after);
        if (!after.count(frame.mediaID()) || after[frame.mediaID()] != Frames::pattern(1234, 77777)) {
            out << "frame written after the open is not read back; ";
        }
        out << checkChains(*storage);
        out << checkRecordingTable(*storage);
        storage->close(true);
    } catch (const VarnelException& e) {
        return "VarnelException " + e.toString();
    } catch (const Exception& e) {
        return "exception " + e.toString();
    } catch (const std::exception& e) {
        return std::string("std exception ") + e.what();
    }
    return out.str();
}

// What opening one member image showed. The same image comes back often (a
// power loss at write n with the write absent leaves what write n-1 complete
// left, and a write of one sector is either absent or complete), so the
// results of a member's latest images are kept and an image is opened once.
struct MemberResult {
    std::vector<std::uint8_t> image;
    std::string problem;
    std::map<std::uint64_t, std::vector<std::uint8_t>> frames;
    std::vector<SectionSpan> sections;
};

class MemberResults {
public:
    explicit MemberResults(const Workload& w) : _w(w), _recent(w.paths.size()) {}

    const MemberResult& run(std::size_t index, std::vector<std::uint8_t> image) {
        std::deque<MemberResult>& recent = _recent[index];
        for (const MemberResult& result : recent) {
            if (result.image == image) {
                ++_reused;
                return result;
            }
        }
        ++_opened;
        MemberResult result;
        result.problem = runMember(_w, index, image, result.frames, result.sections);
        result.image = std::move(image);
        recent.push_front(std::move(result));
        if (recent.size() > 4) {
            recent.pop_back();
        }
        return recent.front();
    }
    std::size_t opened() const { return _opened; }
    std::size_t reused() const { return _reused; }

private:
    const Workload& _w;
    std::vector<std::deque<MemberResult>> _recent;
    std::size_t _opened = 0;
    std::size_t _reused = 0;
};

// Checks every member of the image; every frame committed before the power
// loss must be readable through the timeline of one of them.
std::string runImage(const Workload& w, MemberResults& results, std::vector<std::vector<std::uint8_t>> image,
                     const FrameSet& survive) {
    std::ostringstream out;
    std::map<std::uint64_t, const std::vector<std::uint8_t>*> frames;
    std::vector<SectionSpan> sections;
    for (std::size_t index = 0; index < image.size(); ++index) {
        const MemberResult& result = results.run(index, std::move(image[index]));
        if (!result.problem.empty()) {
            out << (image.size() > 1 ? w.paths[index] + ": " : std::string()) << result.problem;
        }
        for (const auto& [id, payload] : result.frames) {
            frames[id] = &payload;
        }
        sections.insert(sections.end(), result.sections.begin(), result.sections.end());
    }
    // Section IDs continue across the members: in media ID order they rise.
    std::sort(sections.begin(), sections.end(),
              [](const SectionSpan& a, const SectionSpan& b) { return a.first < b.first; });
    for (std::size_t i = 1; i < sections.size(); ++i) {
        if (sections[i].id <= sections[i - 1].id) {
            out << "section " << sections[i].id << " of " << w.paths[sections[i].member] << " (media IDs "
                << sections[i].first << "~" << sections[i].last << ") follows section " << sections[i - 1].id
                << " of " << w.paths[sections[i - 1].member] << " (media IDs " << sections[i - 1].first << "~"
                << sections[i - 1].last << "); ";
        }
    }
    for (const auto& [id, seed] : survive) {
        auto it = frames.find(id);
        if (it == frames.end()) {
            out << "committed frame " << id << " lost; ";
        } else if (it->second->empty() || (*it->second)[0] != Frames::pattern(1, seed)[0]) {
            out << "committed frame " << id << " has another payload; ";
        }
    }
    return out.str();
}

// Every write n of the workload, with the tears given (OSTREL_CRASH_DEBUG=n
// runs write n alone and prints the storage logs).
void powerLossAtEveryWrite(const Workload& w) {
    std::mt19937 random(20261210);
    Images images(w);
    MemberResults results(w);
    std::map<std::string, std::vector<std::string>> failures;
    std::size_t failed = 0;
    std::size_t crashes = 0;
    std::size_t imagesRun = 0;
    std::size_t from = 1;
    std::size_t to = w.writes.size();
    if (const char* env = std::getenv("OSTREL_CRASH_DEBUG")) {
        from = to = std::strtoul(env, nullptr, 10);
        for (std::size_t i = from > 12 ? from - 12 : 1; i <= std::min(w.writes.size(), from + 3); ++i) {
            const LoggedWrite& write = w.writes[i - 1];
            static const char* kinds[] = {"durable", "deferred", "BARRIER"};
            const bool super = write.offset < FirstPageOffset;
            const std::uint64_t page = super ? 0 : (write.offset - FirstPageOffset) / PageSize + 1;
            const std::uint64_t within = super ? write.offset : (write.offset - FirstPageOffset) % PageSize;
            std::printf("write %zu: %s %s page %llu+%llu, %zu bytes\n", i, kinds[write.kind], w.paths[write.file].c_str(),
                        static_cast<unsigned long long>(page), static_cast<unsigned long long>(within),
                        write.data.size());
        }
    }
    for (std::size_t n = from; n <= to; ++n) {
        if (w.writes[n - 1].kind == LoggedWrite::Barrier) {
            continue;
        }
        ++crashes;
        const FrameSet survive = mustSurvive(w, n);
        const std::vector<std::size_t> open = images.limbo(n);
        for (const std::vector<Tear>& tears : tearCombinations(open.size(), random)) {
            const char* only = std::getenv("OSTREL_CRASH_TEAR");
            if (only != nullptr && std::strtol(only, nullptr, 10) != static_cast<int>(tears.back())) {
                continue;
            }
            ++imagesRun;
            const std::string problem = runImage(w, results, images.at(n, tears, random), survive);
            if (!problem.empty()) {
                ++failed;
                auto& list = failures[problem.substr(0, 120)];
                if (list.size() < 5) {
                    std::string where = "write " + std::to_string(n) + " " + tearName(tears.back());
                    for (std::size_t i = 0; i < open.size(); ++i) {
                        where += std::string(i == 0 ? " (" : ", ") + std::to_string(open[i] + 1) + " " +
                                 tearName(tears[i]) + (i + 1 == open.size() ? ")" : "");
                    }
                    list.push_back(where);
                }
            }
        }
    }
    std::printf("%zu power-loss points, %zu images: %zu member images opened, %zu seen before\n", crashes, imagesRun,
                results.opened(), results.reused());
    for (const auto& [problem, where] : failures) {
        std::string at;
        for (const std::string& s : where) at += s + ", ";
        ADD_FAILURE() << problem << " at " << at;
    }
    EXPECT_EQ(failed, 0u);
}

TEST(CrashRecoveryTest, WorkloadsAreSmallButCrossPagesOverwriteAndSwitchMembers) {
    const Workload& single = singleWorkload();
    EXPECT_GT(single.writes.size(), 100u);
    EXPECT_LT(single.writes.size(), 3000u);
    std::printf("single file: %zu writes, %zu steps, %d multi-page runs, %d group commits between flushes, %d in "
                "pauses\n",
                single.writes.size(), single.steps.size(), single.multiPageRuns, single.commitsBetweenFlushes,
                single.idleCommits);
    EXPECT_GT(single.multiPageRuns, 0);
    EXPECT_GT(single.commitsBetweenFlushes, 0);
    EXPECT_GT(single.idleCommits, 0);
    const Workload& group = groupWorkload();
    std::size_t second = 0;
    for (const LoggedWrite& write : group.writes) second += write.file == 1 ? 1 : 0;
    std::printf("group: %zu writes (%zu to the second member), %zu steps, %d switches, %d multi-page runs, %d group "
                "commits between flushes, %d in pauses\n",
                group.writes.size(), second, group.steps.size(), group.switches, group.multiPageRuns,
                group.commitsBetweenFlushes, group.idleCommits);
    EXPECT_GT(group.commitsBetweenFlushes, 0);
    EXPECT_GT(group.idleCommits, 0);
    EXPECT_GE(group.switches, 2);
    // Back in the first member, its overwrite dropped its oldest frames.
    EXPECT_EQ(group.steps.back().live.count(1), 0u);
    EXPECT_FALSE(group.steps.back().live.empty());
    EXPECT_GT(second, 50u);
    EXPECT_LT(group.writes.size(), 3000u);
}

TEST(CrashRecoveryTest, EveryPowerLossPointRecoversWithoutLosingCommittedFrames) {
    powerLossAtEveryWrite(singleWorkload());
}

TEST(CrashRecoveryTest, EveryPowerLossPointOfAGroupRecoversBothMembersWithoutLosingCommittedFrames) {
    powerLossAtEveryWrite(groupWorkload());
}

} // namespace
} // namespace ostrel
