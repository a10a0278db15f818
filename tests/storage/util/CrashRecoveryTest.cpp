// Power-loss simulation: a scripted recording workload runs once over a file
// that logs every write; then, for every write n of it, the file as a power
// loss at write n would leave it (writes before n complete, write n absent,
// complete or torn) is opened with correction and recovery and must come up
// consistent, keep every frame committed before write n and go on recording.

#include "storage/EventElement.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/MediaElement.h"
#include "storage/MediaTrackIterator.h"
#include "storage/TextInElement.h"
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

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
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
constexpr std::uint32_t Pages = 36;
constexpr std::uint64_t FileSize = 8192 + std::uint64_t{Pages} * PageSize;

// One write as the file received it.
struct LoggedWrite {
    std::uint64_t offset;
    std::vector<std::uint8_t> data;
};

// A file handle that appends every write it passes on to a log.
class LoggingFile final : public IStorageFile {
public:
    LoggingFile(RecordingStorageFile& file, bool writable, std::vector<LoggedWrite>& log)
        : _file(file), _writable(writable), _log(log) {}
    std::size_t readAt(void* buffer, std::uint64_t offset, std::size_t length) override {
        return _file.readAt(buffer, offset, length);
    }
    std::size_t writeAt(const void* buffer, std::uint64_t offset, std::size_t length) override {
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        _log.push_back({offset, std::vector<std::uint8_t>(bytes, bytes + length)});
        return _file.writeAt(buffer, offset, length);
    }
    void flush() override {}
    std::uint64_t size() const override { return _file.size(); }
    std::uint32_t sectorSize() const override { return _file.sectorSize(); }
    bool isWritable() const override { return _writable; }
    const std::string& path() const override { return _file.path(); }
    int handle() const override { return -1; }

private:
    RecordingStorageFile& _file;
    bool _writable;
    std::vector<LoggedWrite>& _log;
};

// A frame the workload wrote: its media ID and payload seed.
using FrameSet = std::map<std::uint64_t, std::uint32_t>;

// After each step of the workload: how many writes the file had seen, which
// frames were live (indexed by the timeline), and whether the step ended with
// a save that returned (so every live frame is committed).
struct Step {
    std::size_t writes;
    FrameSet live;
    bool committed;
};

struct Workload {
    std::vector<std::uint8_t> initial; // the freshly formatted file
    std::vector<LoggedWrite> writes;
    std::vector<Step> steps;
};

std::uint64_t firstTimelineID(Storage& storage) {
    TrackIterator it(storage, PageType::Timeline);
    if (!it.first()) {
        return 0;
    }
    TimelineElement element;
    it.read(element);
    return element.mediaID();
}

const Workload& workload() {
    static const Workload result = [] {
        Workload w;
        RecordingStorageFile file(FileSize);
        std::mutex mutex;
        {
            auto storage = std::make_unique<FixedSizeFileStorage>(
                [&](const std::string&, bool writable) -> std::unique_ptr<IStorageFile> {
                    return std::make_unique<test::SharedStorageFile>(file, writable, mutex);
                });
            storage->open("crash.strg", true, 2);
            StorageFormatOptions options;
            options.pageSize = PageSize;
            options.recorderType = RecorderType::Flac;
            storage->format(options);
            storage->close(true);
        }
        w.initial = file.bytes();
        auto storage = std::make_unique<FixedSizeFileStorage>(
            [&](const std::string&, bool writable) -> std::unique_ptr<IStorageFile> {
                return std::make_unique<LoggingFile>(file, writable, w.writes);
            });
        if (!storage->open("crash.strg", true, 2)) {
            throw std::runtime_error("workload open failed");
        }
        Frames frames;
        FrameSet live;
        auto step = [&](bool committed) {
            const std::uint64_t first = firstTimelineID(*storage);
            for (auto it = live.begin(); it != live.end();) {
                it = it->first < first ? live.erase(it) : std::next(it);
            }
            w.steps.push_back({w.writes.size(), live, committed});
        };
        std::uint32_t seed = 1;
        auto record = [&](int second, int count) {
            for (int k = 0; k < count; ++k) {
                const int channel = k % 3;
                const std::uint32_t size = 700 + (seed * 397) % 2600;
                MediaElement frame = channel == 2
                                         ? frames.audio(0, static_cast<std::uint16_t>(k), at(second), 300, seed)
                                         : frames.video(channel, static_cast<std::uint32_t>(second + 1),
                                                        static_cast<std::uint16_t>(k), at(second), size, seed);
                const PagePosition media = storage->writeMedia(frame);
                const PagePosition timeline = storage->writeTimeline(frame, media);
                if (!timeline.isNull()) {
                    live[frame.mediaID()] = seed;
                }
                ++seed;
                if (k == 0) {
                    EventElement event;
                    event.setEventType(1);
                    event.setMediaID(frame.mediaID());
                    event.setTimelinePos(timeline);
                    event.setChannelMask(frame.channelMask());
                    event.setDateTime(at(second));
                    storage->writeEvent(event, false);
                }
                if (k == 1) {
                    TextInElement text;
                    text.setChannelMask(BitMask32(1));
                    text.setDateTime(at(second));
                    text.setText("till " + std::to_string(second));
                    const PagePosition textPos = storage->writeTextIn(text);
                    storage->writeTimeline(text, textPos, false);
                }
                step(false);
            }
            storage->flush();
            step(true);
        };
        // Fill the storage and run into the overwrite of the oldest data.
        for (int second = 0; second < 40; ++second) {
            record(second, 4);
        }
        // Resume after a cut: everything after the resume point goes.
        const std::uint64_t resume = storage->lastIssuedItemID() - 5;
        storage->truncateAfter(storage->lastSectionID(), resume);
        for (auto it = live.begin(); it != live.end();) {
            it = it->first > resume ? live.erase(it) : std::next(it);
        }
        step(false);
        storage->flush();
        step(true);
        for (int second = 40; second < 46; ++second) {
            record(second, 4);
        }
        storage->close(true);
        w.steps.push_back({w.writes.size(), live, true});
        return w;
    }();
    return result;
}

// The frames that must survive a power loss at write n (1-based): those live
// at the last committed step whose writes all completed, and live at every
// step after it up to the one during which write n happened.
FrameSet mustSurvive(const Workload& w, std::size_t n) {
    FrameSet result;
    std::size_t from = w.steps.size();
    for (std::size_t i = 0; i < w.steps.size(); ++i) {
        if (w.steps[i].writes <= n - 1 && w.steps[i].committed) {
            from = i;
        }
    }
    if (from == w.steps.size()) {
        return result;
    }
    result = w.steps[from].live;
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

std::vector<std::uint8_t> imageAt(const Workload& w, std::size_t n, Tear tear, std::mt19937& random) {
    std::vector<std::uint8_t> image = w.initial;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        std::memcpy(image.data() + w.writes[i].offset, w.writes[i].data.data(), w.writes[i].data.size());
    }
    const LoggedWrite& last = w.writes[n - 1];
    const std::size_t sectors = last.data.size() / 512;
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
            std::memcpy(image.data() + last.offset + s * 512, last.data.data() + s * 512, 512);
        }
    }
    return image;
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
            if (std::getenv("OSTREL_CRASH_DEBUG") != nullptr) {
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
    std::vector<std::uint8_t> result(bytes.begin() + 8192, bytes.end());
    for (std::uint32_t number : log) {
        std::fill(result.begin() + (number - 1) * PageSize, result.begin() + number * PageSize, 0);
    }
    return result;
}

struct Outcome {
    std::string problem; // empty when the image passed
};

std::string runImage(const std::vector<std::uint8_t>& image, const FrameSet& survive) {
    RecordingStorageFile file(FileSize);
    std::memcpy(file.bytes().data(), image.data(), image.size());
    std::mutex mutex;
    auto opener = [&](const std::string&, bool writable) -> std::unique_ptr<IStorageFile> {
        return std::make_unique<test::SharedStorageFile>(file, writable, mutex);
    };
    std::ostringstream out;
    try {
        auto storage = std::make_unique<FixedSizeFileStorage>(opener);
        if (!storage->open("crash.strg", true, 2)) {
            return "open answered false";
        }
        if (std::getenv("OSTREL_CRASH_DEBUG") != nullptr) {
            for (const LogMessage& message : storage->readLog()) std::printf("  log: %s\n", message.text.c_str());
        }
        out << checkChains(*storage);
        std::map<std::uint64_t, std::vector<std::uint8_t>> frames;
        out << checkTimeline(*storage, frames);
        for (const auto& [id, seed] : survive) {
            auto it = frames.find(id);
            if (it == frames.end()) {
                out << "committed frame " << id << " lost; ";
            } else if (it->second.empty() || it->second[0] != Frames::pattern(1, seed)[0]) {
                out << "committed frame " << id << " has another payload; ";
            }
        }
        if (!out.str().empty()) {
            return out.str();
        }
        std::set<std::uint32_t> log = logPages(*storage);
        storage->close(false);
        const std::vector<std::uint8_t> once = dataPages(file.bytes(), log);
        storage = std::make_unique<FixedSizeFileStorage>(opener);
        if (!storage->open("crash.strg", true, 2)) {
            return "second open answered false";
        }
        log = logPages(*storage);
        storage->close(false);
        const std::vector<std::uint8_t> twice = dataPages(file.bytes(), log);
        if (std::getenv("OSTREL_CRASH_DEBUG") != nullptr) {
            for (const LogMessage& message : storage->readLog()) std::printf("  log: %s\n", message.text.c_str());
        }
        for (std::uint32_t page = 0; page < Pages; ++page) {
            if (!std::equal(once.begin() + page * PageSize, once.begin() + (page + 1) * PageSize,
                            twice.begin() + page * PageSize)) {
                out << "second open changed page " << page + 1 << "; ";
            }
        }
        // Recording goes on.
        storage = std::make_unique<FixedSizeFileStorage>(opener);
        if (!storage->open("crash.strg", true, 2)) {
            return "third open answered false";
        }
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

TEST(CrashRecoveryTest, WorkloadIsSmallButCrossesPagesAndOverwrites) {
    const Workload& w = workload();
    EXPECT_GT(w.writes.size(), 100u);
    EXPECT_LT(w.writes.size(), 3000u);
    std::printf("workload: %zu writes, %zu steps\n", w.writes.size(), w.steps.size());
}

TEST(CrashRecoveryTest, EveryPowerLossPointRecoversWithoutLosingCommittedFrames) {
    const Workload& w = workload();
    // OSTREL_CRASH_STRIDE lets a slow (sanitizer) build sample every k-th write.
    std::size_t stride = 1;
    if (const char* env = std::getenv("OSTREL_CRASH_STRIDE")) {
        stride = std::max<std::size_t>(1, std::strtoul(env, nullptr, 10));
    }
    std::mt19937 random(20261210);
    std::map<std::string, std::vector<std::string>> failures;
    std::size_t failed = 0;
    std::size_t from = 1;
    std::size_t to = w.writes.size();
    if (const char* env = std::getenv("OSTREL_CRASH_DEBUG")) {
        from = to = std::strtoul(env, nullptr, 10);
    }
    for (std::size_t n = from; n <= to; n += stride) {
        const FrameSet survive = mustSurvive(w, n);
        for (Tear tear : {Tear::Absent, Tear::Complete, Tear::Prefix, Tear::Subset}) {
            const std::string problem = runImage(imageAt(w, n, tear, random), survive);
            if (!problem.empty()) {
                ++failed;
                static const char* names[] = {"absent", "complete", "prefix", "subset"};
                auto& list = failures[problem.substr(0, 120)];
                if (list.size() < 5) {
                    list.push_back("write " + std::to_string(n) + " " + names[static_cast<int>(tear)]);
                }
            }
        }
    }
    for (const auto& [problem, where] : failures) {
        std::string at;
        for (const std::string& s : where) at += s + ", ";
        ADD_FAILURE() << problem << " at " << at;
    }
    EXPECT_EQ(failed, 0u);
}

} // namespace
} // namespace ostrel
