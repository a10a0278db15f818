#include "app/persistence/RecordSite.h"

#include "app/persistence/SiteStorage.h"
#include "app/persistence/StorageGroupFile.h"
#include "app/scheduling/ArchivingSchedule.h"
#include "app/scheduling/LogCodes.h"
#include "base/Exception.h"
#include "database/DatabaseException.h"
#include "database/RowSet.h"

#include <sqlite3.h>

#include <cstdlib>
#include <string_view>
#include <vector>

namespace ostrel {
namespace {

// The decimal numbers of `text` between any of the separators, at most
// `count`; a text that holds fewer leaves the rest of `out` as it was.
void splitNumbers(std::string_view text, std::string_view separators, int* out, std::size_t count) {
    std::size_t field = 0;
    std::size_t start = 0;
    while (field < count && start <= text.size()) {
        std::size_t end = text.find_first_of(separators, start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        if (end > start) {
            const std::string piece(text.substr(start, end - start));
            out[field++] = static_cast<int>(std::strtol(piece.c_str(), nullptr, 10));
        }
        start = end + 1;
    }
}

DateTime readDateTime(const std::string& text, const DateTime& fallback) {
    int fields[6] = {fallback.year(), fallback.month(),  fallback.day(),
                     fallback.hour(), fallback.minute(), fallback.second()};
    splitNumbers(text, " /:", fields, 6);
    return DateTime(fields[0], fields[1], fields[2], fields[3], fields[4], fields[5]);
}

Time readTime(const std::string& text) {
    int fields[3] = {0, 0, 0};
    splitNumbers(text, " :", fields, 3);
    return Time(fields[0], fields[1], fields[2]);
}

} // namespace

RecordSite::RecordSite() = default;

RecordSite::RecordSite(const UniqueID& id) : _id(id) {}

void RecordSite::read(const RowSet& rows) {
    const std::string idText = rows.getText(0);
    const std::optional<UniqueID> id = UniqueID::parse(idText);
    if (!id) {
        throw DatabaseException(SQLITE_MISMATCH, "Malformed site identifier \"" + idText + "\"");
    }
    _id = *id;
    _name = rows.getText(1);
    _address = rows.getText(2);
    _port = static_cast<uint16_t>(rows.getInt(3));
    _username = rows.getText(4);
    _password = rows.getText(5);
    _storageGroupFile = rows.getText(6);
    _timeToStart = readDateTime(rows.getText(7), DateTime(1970, 1, 1, 0, 0, 0));
    _overwrite = rows.getInt(8) != 0;
    _archiving = rows.getInt(9) != 0;
    _rescheduled = rows.getInt(10) != 0;
    _archiveFrom = rows.getInt(11);
    _alwaysArchive = rows.getInt(12) != 0;
    _archiveStart = readTime(rows.getText(13));
    _archiveStop = readTime(rows.getText(14));
    _deleted = rows.getInt(15) != 0;
}

void RecordSite::setConnection(const std::string& address, uint16_t port, const std::string& username,
                               const std::string& password) {
    _address = address;
    _port = port;
    _username = username;
    _password = password;
}

void RecordSite::setRescheduled(bool rescheduled) {
    _rescheduled = rescheduled;
    if (!rescheduled) {
        _archiveFrom = ArchiveFromNone;
    }
}

void RecordSite::setArchiveFrom(int choice, const DateTime& time) {
    _archiveFrom = choice;
    if (choice == ArchiveFromTime) {
        _timeToStart = time;
    }
}

void RecordSite::setArchivePeriod(const Time& start, const Time& stop) {
    _archiveStart = start;
    _archiveStop = stop;
}

bool RecordSite::inPeriod(const Time& time) const {
    if (_alwaysArchive) {
        return true;
    }
    if (_archiveStart <= _archiveStop) {
        return _archiveStart <= time && time < _archiveStop;
    }
    // Across midnight.
    return time >= _archiveStart || time < _archiveStop;
}

void RecordSite::setSchedule(ArchivingSchedule* schedule, int handle) {
    _schedule = schedule;
    _scheduleHandle = handle;
}

void RecordSite::setStatus(int status) {
    checkArchivable();
    if (_status != StatusNotArchivable) {
        _status = status;
    }
    // A site that stayed not archivable shows no speed.
    _speedState = static_cast<int16_t>(_status == StatusArchiving ? SpeedGood : SpeedPaused);
}

bool RecordSite::hasUsableGroupFile() const {
    return !(_status == StatusNotArchivable &&
             (_reason == ReasonGroupFileNotFound || _reason == ReasonGroupFileCorrupted));
}

void RecordSite::markNotArchivable(int reason) {
    _archiving = false;
    _status = StatusNotArchivable;
    _reason = reason;
}

int RecordSite::notArchivableReasonOf(bool groupFileExists, bool repositoryMatches, bool storageOpen,
                                      bool rescheduled, bool resumeValid) {
    if (!groupFileExists) {
        return ReasonGroupFileNotFound;
    }
    if (!repositoryMatches) {
        return ReasonGroupFileCorrupted;
    }
    if (!storageOpen) {
        return ReasonNoStorage;
    }
    if (!rescheduled && !resumeValid) {
        return ReasonNoSchedule;
    }
    return ReasonNone;
}

void RecordSite::applyArchivability(int reason) {
    if (reason != ReasonNone) {
        markNotArchivable(reason);
        return;
    }
    _reason = ReasonNone;
    if (_status == StatusNotArchivable) {
        _status = StatusStopped;
    }
}

bool RecordSite::checkArchivable() {
    if (_schedule == nullptr) {
        // Nothing to judge before the schedule (and its storage) exists.
        return isArchivable();
    }
    SiteStorage& storage = _schedule->siteStorage();
    bool exists = false;
    try {
        exists = storage.groupFileExists();
    } catch (const SystemException&) {
        exists = false;
    }
    // Each later fact is read only when the earlier ones let the decision get that far.
    const bool matches = exists && storage.groupFile().repositoryID() == _id;
    const bool open = matches && storage.isOpen();
    const bool resumeValid = open && !_rescheduled && _schedule->resumePosition().isValid();
    applyArchivability(notArchivableReasonOf(exists, matches, open, _rescheduled, resumeValid));
    return isArchivable();
}

void RecordSite::setStorageUsage(uint64_t used, uint64_t capacity) {
    _storageUsed = used;
    _storageCapacity = capacity;
}

std::string RecordSite::statusText() const {
    switch (_status) {
    case StatusConnecting:
        return "Connecting";
    case StatusArchiving:
        return "Archiving";
    case StatusStopped:
        return "Stopped";
    case StatusFailed: {
        std::string text = logCodeText(logCodeOf(_lastFailure));
        if (!_lastFailure.text.empty()) {
            text += " : " + _lastFailure.text;
        }
        return text;
    }
    case StatusStorageFull:
        return "Record storage full. Please check the storage.";
    case StatusNotArchivable:
        return reasonText(_reason);
    default:
        return "";
    }
}

const char* RecordSite::speedText() const {
    switch (_speedState) {
    case SpeedPaused:
        return "Archiving paused.";
    case SpeedBad:
        return "Archiving speed is bad.";
    case SpeedGood:
        return "Archiving speed is good.";
    default:
        return "";
    }
}

std::string RecordSite::archiveFromText() const {
    switch (_archiveFrom) {
    case ArchiveFromFirst:
        return "from first";
    case ArchiveFromLast:
        return "from last";
    case ArchiveFromTime:
        return _timeToStart.toString();
    default:
        return "";
    }
}

const char* RecordSite::reasonText(int reason) {
    switch (reason) {
    case ReasonGroupFileNotFound:
        return "Storage group file not found";
    case ReasonGroupFileCorrupted:
        return "Storage group file corrupted";
    case ReasonNoStorage:
        return "No storage to archive";
    case ReasonNoSchedule:
        return "No schedule specified";
    default:
        return "";
    }
}

} // namespace ostrel
