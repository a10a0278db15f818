#include "ostrel-storage/StorageTool.h"

#include "base/Exception.h"
#include "base/File.h"
#include "base/UniqueID.h"
#include "storage/FixedSizeFileStorage.h"
#include "storage/FreePageList.h"
#include "storage/RecordingTable.h"
#include "storage/VarnelException.h"
#include "storage/aio/DirectStorageFile.h"
#include "storage/pager/FreePageListPage.h"
#include "storage/pager/SuperBlock.h"
#include "storage/util/IntegrityChecker.h"
#include "storage/util/StorageChecker.h"
#include "storage/util/RecordingTableVerifier.h"
#include "storage/util/StorageCorrector.h"
#include "storage/util/RepairJournal.h"
#include "storage/util/StorageRepairer.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace ostrel {
namespace {

const char* const Usage =
    "usage: ostrel-storage format [--repository UUID] [--page-size N] FILE SIZE_GB\n"
    "       ostrel-storage info FILE\n"
    "       ostrel-storage log FILE\n"
    "       ostrel-storage check [--quick] [--json] FILE\n"
    "       ostrel-storage repair FILE\n";

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

std::string timeText(const DateTime& time) { return time.isSet() ? time.toString() : "-"; }

// A read-only storage whose open keeps what the check found wrong.
class CheckedStorage final : public FixedSizeFileStorage {
public:
    CheckedStorage() : FixedSizeFileStorage(Access::ReadOnly) {}
    const std::string& problem() const { return _problem; }

protected:
    bool correctAtOpen(int, std::uint64_t& nextItemID) override {
        StorageChecker checker(*this);
        if (!checker.check()) {
            _problem = checker.problem();
            return false;
        }
        nextItemID = StorageCorrector(*this).nextItemID();
        return true;
    }

private:
    std::string _problem;
};

// Opens a storage file for reading only, with a one-line reason when it
// cannot: the file is missing, holds no storage, is damaged, or waits for a
// repair that only a writable open performs.
std::unique_ptr<FixedSizeFileStorage> openForReading(const std::string& path, std::ostream& err) {
    try {
        if (!File::exists(path)) {
            err << "ostrel-storage: " << path << ": no such file\n";
            return nullptr;
        }
        DirectStorageFile file(path, DirectStorageFile::Mode::ReadOnly);
        SuperBlock superBlock;
        superBlock.load(&file, nullptr, 0, file.sectorSize());
        if (!superBlock.isValid()) {
            err << "ostrel-storage: " << path << ": not a storage file (unformatted or foreign)\n";
            return nullptr;
        }
    } catch (const VarnelException& e) {
        err << "ostrel-storage: " << path << ": damaged storage file: " << e.messageText() << "\n";
        return nullptr;
    } catch (const Exception& e) {
        err << "ostrel-storage: " << path << ": " << e.messageText() << "\n";
        return nullptr;
    }
    auto storage = std::make_unique<CheckedStorage>();
    try {
        if (!storage->open(path, false, Storage::CheckOnly)) {
            err << "ostrel-storage: " << path << ": does not pass the check at open ("
                << (storage->problem().empty() ? "not a storage file" : storage->problem())
                << ")\n";
            return nullptr;
        }
    } catch (const Exception& e) {
        err << "ostrel-storage: " << path << ": " << e.messageText() << "\n";
        return nullptr;
    }
    return storage;
}

} // namespace

std::uint64_t StorageTool::fileSizeFor(const std::string& gigabytes) {
    if (gigabytes.empty()) {
        return 0;
    }
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(gigabytes.c_str(), &end);
    if (errno != 0 || end == gigabytes.c_str() || *end != '\0' || !std::isfinite(value) || value <= 0 ||
        value > 1e9) {
        return 0;
    }
    const std::uint64_t bytes = static_cast<std::uint64_t>(value * 1000.0 * 1000.0 * 1000.0);
    return (bytes / BlockSize + 1) * BlockSize;
}

int StorageTool::usage(std::ostream& err, const std::string& problem) {
    err << "ostrel-storage: " << problem << "\n" << Usage;
    return 2;
}

int StorageTool::run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        return usage(err, "no command");
    }
    const std::string& command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "format") {
        return format(rest, out, err);
    }
    if (command == "check") {
        std::vector<std::string> files;
        bool quick = false;
        bool json = false;
        for (const std::string& arg : rest) {
            if (arg == "--full") {
                quick = false;
            } else if (arg == "--quick") {
                quick = true;
            } else if (arg == "--json") {
                json = true;
            } else if (arg.rfind("--", 0) == 0) {
                return usage(err, "unknown option '" + arg + "'");
            } else {
                files.push_back(arg);
            }
        }
        if (files.size() != 1) {
            return usage(err, "check takes one FILE");
        }
        if (quick) {
            return json ? usage(err, "--json goes with the full check") : check(files[0], false, out, err);
        }
        return fullCheck(files[0], json, out, err);
    }
    if (command == "info" || command == "log" || command == "repair") {
        if (rest.size() != 1) {
            return usage(err, command + " takes one FILE");
        }
        if (command == "repair") {
            return repair(rest[0], out, err);
        }
        return command == "info" ? info(rest[0], out, err) : log(rest[0], out, err);
    }
    if (command == "--help" || command == "-h" || command == "help") {
        out << Usage;
        return 0;
    }
    return usage(err, "unknown command '" + command + "'");
}

int StorageTool::format(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    std::vector<std::string> positional;
    std::optional<UniqueID> repository;
    std::uint32_t pageSize = StorageFormatOptions::DefaultPageSize;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--repository" || arg == "--page-size") {
            if (i + 1 >= args.size()) {
                return usage(err, arg + " needs a value");
            }
            const std::string& value = args[++i];
            if (arg == "--repository") {
                repository = UniqueID::parse(value);
                if (!repository) {
                    return usage(err, "'" + value + "' is not a UUID");
                }
            } else {
                char* end = nullptr;
                const unsigned long size = std::strtoul(value.c_str(), &end, 10);
                if (value.empty() || *end != '\0' || size == 0 || size % 4096 != 0 || size > 0x40000000ul) {
                    return usage(err, "page size '" + value + "' is not a multiple of 4096");
                }
                pageSize = static_cast<std::uint32_t>(size);
            }
        } else if (arg.rfind("--", 0) == 0) {
            return usage(err, "unknown option '" + arg + "'");
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 2) {
        return usage(err, "format takes FILE and SIZE_GB");
    }
    const std::string& path = positional[0];
    const std::uint64_t size = fileSizeFor(positional[1]);
    if (size == 0) {
        return usage(err, "size '" + positional[1] + "' is not a positive number of gigabytes");
    }
    try {
        if (File::exists(path)) {
            err << "ostrel-storage: " << path << ": file exists\n";
            return 1;
        }
        File::create(path, static_cast<std::int64_t>(size));
    } catch (const Exception& e) {
        err << "ostrel-storage: " << path << ": " << e.messageText() << "\n";
        return 1;
    }
    StorageFormatOptions options;
    options.repositoryID = repository ? *repository : UniqueID();
    options.pageSize = pageSize;
    options.recorderType = RecorderType::Flac;
    try {
        FixedSizeFileStorage storage;
        storage.open(path, true, Storage::CorrectionAndRecovery);
        storage.format(options);
        const std::uint32_t pages = storage.pageCount();
        const std::string storageID = storage.storageID().toString();
        if (!storage.close(true)) {
            throw VarnelException(VarnelException::InvalidStorage, "the formatted file could not be closed cleanly");
        }
        out << "formatted " << path << ": " << size << " bytes, " << pages << " pages of " << pageSize
            << " bytes, repository " << options.repositoryID.toString() << ", storage " << storageID << "\n";
        return 0;
    } catch (const Exception& e) {
        err << "ostrel-storage: " << path << ": " << e.messageText() << "\n";
        try {
            File::remove(path);
        } catch (const Exception&) {
            // The error above is what counts.
        }
        return 1;
    }
}

int StorageTool::info(const std::string& path, std::ostream& out, std::ostream& err) {
    std::unique_ptr<FixedSizeFileStorage> storage = openForReading(path, err);
    if (!storage) {
        return 1;
    }
    try {
        const SuperBlock& sb = storage->superBlock();
        out << "File:             " << path << "\n";
        out << "File size:        " << storage->fileSize() << " bytes\n";
        out << "Description:      " << sb.description() << "\n";
        out << "Version:          " << sb.version() << "\n";
        out << "Repository ID:    " << sb.repositoryID().toString() << "\n";
        out << "Storage ID:       " << sb.storageID().toString() << "\n";
        out << "Recorder type:    " << sb.recorderType().toString() << "\n";
        out << "Page size:        " << sb.pageSize() << "\n";
        out << "Page count:       " << sb.pageCount() << "\n";
        out << "Page byte order:  " << (sb.pageByteOrder() == BigEndian ? "big-endian" : "little-endian") << "\n";
        out << "First page at:    " << sb.firstPageOffset() << "\n";
        out << "Formatted:        " << timeText(sb.formattedTime()) << "\n";
        out << "First item ID:    " << sb.firstItemID() << "\n";
        out << "Boot time:        " << timeText(sb.bootTime()) << "\n";
        out << "Time-stamp basis: " << sb.timeStampBasis() << "\n";
        out << "Checksum:         " << hex(sb.checksum()) << "\n";
        out << "Flags:            " << hex(sb.flags().word()) << "\n";
        out << "Tracks:\n";
        TrackListItem item;
        for (std::size_t i = 0; sb.getTrack(i, item); ++i) {
            out << "  " << item.type().toString() << "  first " << item.firstPage() << " ("
                << hex(item.firstPageChecksum()) << ")  last " << item.lastPage() << " ("
                << hex(item.lastPageChecksum()) << ")\n";
        }
        std::uint64_t free = 0;
        if (const std::optional<TrackListItem> list = storage->findTrack(PageType::FreePageList)) {
            FreePageListPage page(&storage->superBlock(), &storage->pageCache());
            page.loadVerified(list->firstPage(), PageType::FreePageList, list->firstPageChecksum(), true);
            FreePageList pages(sb.pageCount());
            pages.load(page, sb.pageCount());
            free = pages.freeCount();
        }
        out << "Pages:            " << (sb.pageCount() - free) << " used, " << free << " free of " << sb.pageCount()
            << "\n";
        out << "Last media ID:    " << storage->lastIssuedItemID() << "\n";
        Interval recorded;
        if (storage->recordingInterval(recorded)) {
            out << "Recorded:         " << recorded.toString() << "\n";
        } else {
            out << "Recorded:         nothing\n";
        }
        out << "Sections:\n";
        for (const RecordingSection& section : storage->recordingTable().sections()) {
            out << "  #" << section.sectionID() << " " << section.interval().toString() << " media IDs "
                << section.firstMediaID() << "~" << section.lastMediaID() << (section.isStopped() ? " stopped" : "")
                << "\n";
            for (const Interval& run : section.intervals()) {
                out << "    " << run.toString() << "\n";
            }
        }
        std::map<std::string, std::string> entries;
        storage->allInfo(entries);
        out << "Info:\n";
        for (const auto& [key, value] : entries) {
            out << "  " << key << " = " << value << "\n";
        }
    } catch (const Exception& e) {
        err << "ostrel-storage: " << path << ": " << e.messageText() << "\n";
        return 1;
    }
    return 0;
}

int StorageTool::log(const std::string& path, std::ostream& out, std::ostream& err) {
    std::unique_ptr<FixedSizeFileStorage> storage = openForReading(path, err);
    if (!storage) {
        return 1;
    }
    try {
        for (const LogMessage& message : storage->readLog()) {
            out << timeText(message.time) << " [" << message.level << "] " << message.text << "\n";
        }
    } catch (const Exception& e) {
        err << "ostrel-storage: " << path << ": " << e.messageText() << "\n";
        return 1;
    }
    return 0;
}

int StorageTool::check(const std::string& path, bool full, std::ostream& out, std::ostream& /*err*/) {
    CheckedStorage storage;
    try {
        if (!storage.open(path, false, Storage::CheckOnly)) {
            out << path << ": " << (storage.problem().empty() ? "not a storage file" : storage.problem()) << "\n";
            return 1;
        }
        RecordingTableVerifier verifier(storage);
        const bool described = verifier.verify(full ? RecordingTableVerifier::Depth::Full
                                                    : RecordingTableVerifier::Depth::Quick);
        storage.close(false);
        if (!described) {
            out << path << ": " << verifier.problem() << "\n";
            return 1;
        }
    } catch (const Exception& e) {
        out << path << ": " << e.messageText() << "\n";
        return 1;
    }
    out << "ok\n";
    return 0;
}

namespace {

std::string megabytesPerSecond(std::uint64_t bytes, double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0);
    return text;
}

} // namespace

int StorageTool::fullCheck(const std::string& path, bool json, std::ostream& out, std::ostream& err) {
    if (!File::exists(path)) {
        err << "ostrel-storage: " << path << ": no such file\n";
        return 1;
    }
    std::vector<IntegrityFinding> findings;
    std::size_t count = 0;
    std::uint64_t fileSize = 0;
    std::uint64_t bytesRead = 0;
    const auto start = std::chrono::steady_clock::now();
    try {
        DirectStorageFile file(path, DirectStorageFile::Mode::ReadOnly);
        fileSize = file.size();
        IntegrityChecker checker(file);
        const bool terminal = !json && ::isatty(STDERR_FILENO) == 1 && &err == &std::cerr;
        auto lastShown = std::chrono::steady_clock::now();
        IntegrityChecker::Progress progress;
        if (terminal) {
            progress = [&](std::uint64_t done, std::uint64_t total) {
                const auto now = std::chrono::steady_clock::now();
                if (now - lastShown < std::chrono::milliseconds(200)) {
                    return;
                }
                lastShown = now;
                err << "\rchecking " << path << ": " << done / 1000000 << " of " << total / 1000000 << " MB ("
                    << (total == 0 ? 100 : done * 100 / total) << "%)" << std::flush;
            };
        }
        checker.run(progress);
        if (terminal) {
            err << "\r\033[K" << std::flush;
        }
        findings = checker.findings();
        count = checker.findingCount();
        bytesRead = checker.bytesRead();
        // The recording table against the timeline in depth, once the pages
        // it reads are known to be sound.
        bool tableSound = checker.hasSuperBlock();
        for (const IntegrityFinding& finding : findings) {
            if (finding.damagesPage || finding.page == 0) {
                tableSound = false;
            }
        }
        if (tableSound) {
            CheckedStorage storage;
            try {
                if (!storage.open(path, false, Storage::CheckOnly)) {
                    findings.push_back(IntegrityFinding{
                        0, 0, "", storage.problem().empty() ? "not a storage file" : storage.problem(), false});
                    ++count;
                } else {
                    RecordingTableVerifier verifier(storage);
                    if (!verifier.verify(RecordingTableVerifier::Depth::Full)) {
                        findings.push_back(IntegrityFinding{0, 0, "", verifier.problem(), false});
                        ++count;
                    }
                    storage.close(false);
                }
            } catch (const Exception& e) {
                findings.push_back(IntegrityFinding{0, 0, "", "the storage does not open: " + e.messageText(), false});
                ++count;
            }
        }
    } catch (const Exception& e) {
        findings.push_back(IntegrityFinding{0, 0, "", e.messageText(), false});
        ++count;
    }
    if (File::exists(RepairJournal::pathFor(path))) {
        // What the check read is a repair half written: it says nothing yet.
        findings.insert(findings.begin(),
                        IntegrityFinding{0, 0, "", "a repair was interrupted; 'repair' or the next open for writing "
                                                   "finishes it from " + RepairJournal::pathFor(path), false});
        ++count;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string speed = megabytesPerSecond(bytesRead, seconds);
    if (json) {
        out << "{\"file\":" << IntegrityFinding::jsonString(path) << ",\"ok\":" << (count == 0 ? "true" : "false")
            << ",\"fileSize\":" << fileSize << ",\"bytesRead\":" << bytesRead << ",\"seconds\":" << seconds
            << ",\"megabytesPerSecond\":" << speed << ",\"findingCount\":" << count << ",\"findings\":[";
        for (std::size_t i = 0; i < findings.size(); ++i) {
            out << (i == 0 ? "" : ",") << findings[i].toJson();
        }
        out << "]}\n";
        return count == 0 ? 0 : 1;
    }
    for (const IntegrityFinding& finding : findings) {
        out << path << ": " << finding.toString() << "\n";
    }
    if (count > findings.size()) {
        out << path << ": " << (count - findings.size()) << " more findings not shown\n";
    }
    const std::string figures = std::to_string(fileSize) + " bytes, " + std::to_string(bytesRead) +
                                " bytes read at " + speed + " MB/s";
    if (count == 0) {
        out << "ok (" << figures << ")\n";
        return 0;
    }
    out << path << ": " << count << (count == 1 ? " finding" : " findings") << " (" << figures << ")\n";
    return 1;
}

int StorageTool::repair(const std::string& path, std::ostream& out, std::ostream& err) {
    if (!File::exists(path)) {
        err << "ostrel-storage: " << path << ": no such file\n";
        return 1;
    }
    // First the storage's own correction at open (unfinished transactions,
    // track ends); its log lines say what it did.
    {
        FixedSizeFileStorage storage;
        bool opened = false;
        try {
            opened = storage.open(path, true, Storage::CorrectionAndRecovery);
        } catch (const Exception& e) {
            out << "the correction at open stopped: " << e.messageText() << "\n";
        }
        if (opened) {
            try {
                // The lines of this open: everything after its "[OPEN] <path>" line.
                const std::vector<LogMessage> messages = storage.readLog();
                std::size_t from = 0;
                for (std::size_t i = 0; i < messages.size(); ++i) {
                    if (messages[i].text.rfind("[OPEN] " + path + " ", 0) == 0) {
                        from = i + 1;
                    }
                }
                for (std::size_t i = from; i < messages.size(); ++i) {
                    out << messages[i].text << "\n";
                }
            } catch (const Exception& e) {
                out << "the storage log cannot be read: " << e.messageText() << "\n";
            }
            storage.close(true);
        }
    }
    // Then whatever the full check still finds: damaged pages leave their
    // tracks for the bad-page track, and what they held is trimmed away.
    try {
        DirectStorageFile file(path, DirectStorageFile::Mode::ReadWrite);
        StorageRepairer repairer(file);
        const bool repaired = repairer.run();
        for (const std::string& action : repairer.actions()) {
            out << action << "\n";
        }
        for (const StorageRepairer::LostRange& range : repairer.lost()) {
            out << "lost: " << range.toString() << "\n";
        }
        if (!repaired) {
            err << "ostrel-storage: " << path << ": cannot be repaired: " << repairer.problem() << "\n";
            return 1;
        }
        if (repairer.hadFindings()) {
            out << "repaired: the full check passes\n";
        }
    } catch (const Exception& e) {
        err << "ostrel-storage: " << path << ": " << e.messageText() << "\n";
        return 1;
    }
    return 0;
}

} // namespace ostrel
