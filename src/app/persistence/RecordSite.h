#pragma once

#include "app/scheduling/ArchivingEvent.h"
#include "base/DateTime.h"
#include "base/Time.h"
#include "base/UniqueID.h"
#include "database/AbstractDatabaseRecord.h"

#include <cstdint>
#include <string>

namespace ostrel {

class ArchivingSchedule;

// One site: how to reach it, where its storage group file lies and when and
// from where to archive it (the stored fields, one row of the table "sites"),
// plus run-time state that is never stored (its schedule, status, storage
// usage, last archived time, speed, last failure).
//
// Not synchronised: a RecordSite is changed on the user-interface thread (and
// by the loader thread while the list is being built); SiteContainer guards
// its maps, not the records.
class RecordSite : public AbstractDatabaseRecord {
public:
    // Status values.
    static constexpr int StatusConnecting = 0;
    static constexpr int StatusArchiving = 1;
    static constexpr int StatusStopped = 2;
    static constexpr int StatusFailed = 3;
    static constexpr int StatusStorageFull = 4;
    static constexpr int StatusNotArchivable = 5;

    // Why a site is not archivable.
    static constexpr int ReasonNone = 0;
    static constexpr int ReasonGroupFileNotFound = 1;
    static constexpr int ReasonGroupFileCorrupted = 2;
    static constexpr int ReasonNoStorage = 3;
    static constexpr int ReasonNoSchedule = 4;

    // Archive-from choices (the column "schedule").
    static constexpr int ArchiveFromNone = 0; // resume from the stored position
    static constexpr int ArchiveFromFirst = 1;
    static constexpr int ArchiveFromLast = 2;
    static constexpr int ArchiveFromTime = 3; // from timeToStart()

    // Speed states, as the schedule last reported.
    static constexpr int SpeedPaused = 0;
    static constexpr int SpeedBad = 1;
    static constexpr int SpeedGood = 2;

    // A new site with a fresh random identifier and the defaults.
    RecordSite();
    // A site with the given identifier and the defaults.
    explicit RecordSite(const UniqueID& id);

    // Fills the stored fields from the 16 columns of a "sites" row (table order).
    void read(const RowSet& rowSet) override;

    // Stored fields.
    const UniqueID& id() const { return _id; }
    const std::string& name() const { return _name; }
    void setName(const std::string& name) { _name = name; }
    const std::string& address() const { return _address; }
    uint16_t port() const { return _port; }
    const std::string& username() const { return _username; }
    const std::string& password() const { return _password; }
    // Address, playback port, user name and password are set together.
    void setConnection(const std::string& address, uint16_t port, const std::string& username,
                       const std::string& password);
    const std::string& storageGroupFile() const { return _storageGroupFile; }
    void setStorageGroupFile(const std::string& path) { _storageGroupFile = path; }
    // The specific start time of ArchiveFromTime (default 1970/01/01 00:00:00).
    const DateTime& timeToStart() const { return _timeToStart; }
    bool overwrite() const { return _overwrite; }
    void setOverwrite(bool overwrite) { _overwrite = overwrite; }
    bool archiving() const { return _archiving; }
    void setArchiving(bool archiving) { _archiving = archiving; }
    bool rescheduled() const { return _rescheduled; }
    // false also resets the archive-from choice to ArchiveFromNone.
    void setRescheduled(bool rescheduled);
    int archiveFrom() const { return _archiveFrom; }
    // Sets the choice; the start time only for ArchiveFromTime.
    void setArchiveFrom(int choice, const DateTime& time = DateTime());
    bool alwaysArchive() const { return _alwaysArchive; }
    void setAlwaysArchive(bool always) { _alwaysArchive = always; }
    const Time& archiveStart() const { return _archiveStart; }
    const Time& archiveStop() const { return _archiveStop; }
    void setArchivePeriod(const Time& start, const Time& stop);
    bool deleted() const { return _deleted; }
    void setDeleted(bool deleted) { _deleted = deleted; }

    // Whether archiving may run at a time of day: always with alwaysArchive;
    // else start <= time < stop, or across midnight (start later than stop)
    // time >= start or time < stop. Equal start and stop are never entered.
    bool inPeriod(const Time& time) const;

    // Run-time fields.
    ArchivingSchedule* schedule() const { return _schedule; }
    int scheduleHandle() const { return _scheduleHandle; }
    // The schedule is not owned; nullptr and -1 when it is gone.
    void setSchedule(ArchivingSchedule* schedule, int handle);

    int status() const { return _status; }
    // Re-checks archivability first; a not-archivable site keeps status 5.
    // The speed state becomes good for archiving, paused otherwise.
    void setStatus(int status);
    bool isArchivable() const { return _status != StatusNotArchivable; }
    int notArchivableReason() const { return _reason; }
    // The storage manager's buttons: false only for reasons 1 and 2.
    bool hasUsableGroupFile() const;
    // Clears archiving, sets status 5 with the reason.
    void markNotArchivable(int reason);
    // Decides archivability from the schedule's site storage and resume
    // position (nothing changes without a schedule). Returns isArchivable().
    bool checkArchivable();
    // The decision of checkArchivable() from what it reads: reason 0..4.
    static int notArchivableReasonOf(bool groupFileExists, bool repositoryMatches, bool storageOpen,
                                     bool rescheduled, bool resumeValid);
    // Applies a decided reason: markNotArchivable, or reason 0 and a
    // not-archivable site becomes stopped.
    void applyArchivability(int reason);

    uint64_t storageUsed() const { return _storageUsed; }
    uint64_t storageCapacity() const { return _storageCapacity; }
    void setStorageUsage(uint64_t used, uint64_t capacity);
    // Unset until known.
    const DateTime& lastArchivedTime() const { return _lastArchivedTime; }
    void setLastArchivedTime(const DateTime& time) { _lastArchivedTime = time; }
    int speedState() const { return _speedState; }
    void setSpeedState(int state) { _speedState = static_cast<int16_t>(state); }
    // The event that made the status failed.
    const ArchivingEvent& lastFailure() const { return _lastFailure; }
    void setLastFailure(const ArchivingEvent& event) { _lastFailure = event; }

    // "Connecting", "Archiving", "Stopped", the failure's log-code text (with
    // " : " and its text when it has one), "Record storage full. Please check
    // the storage.", the not-archivable reason's text, or "".
    std::string statusText() const;
    // "Archiving paused.", "Archiving speed is bad.", "Archiving speed is good." or "".
    const char* speedText() const;
    // "from first", "from last", the start time's text, or "".
    std::string archiveFromText() const;
    static const char* reasonText(int reason);

private:
    // Stored, in table order.
    UniqueID _id;
    std::string _name;
    std::string _address;
    uint16_t _port = 0;
    std::string _username;
    std::string _password;
    std::string _storageGroupFile;
    DateTime _timeToStart{1970, 1, 1, 0, 0, 0};
    bool _overwrite = false;
    bool _archiving = false;
    bool _rescheduled = false;
    int _archiveFrom = ArchiveFromNone;
    bool _alwaysArchive = true;
    Time _archiveStart{0, 0, 0};
    Time _archiveStop{0, 0, 0};
    bool _deleted = false;

    // Run-time.
    ArchivingSchedule* _schedule = nullptr;
    int _scheduleHandle = -1;
    int _status = StatusNotArchivable;
    int _reason = ReasonNone;
    uint64_t _storageUsed = 0;
    uint64_t _storageCapacity = 0;
    DateTime _lastArchivedTime;
    int16_t _speedState = SpeedPaused;
    ArchivingEvent _lastFailure;
};

} // namespace ostrel
