#include "app/persistence/SiteContainer.h"

#include "base/Exception.h"
#include "base/Log.h"
#include "database/Database.h"
#include "database/DatabaseException.h"
#include "database/FormatableSQL.h"
#include "database/RowSet.h"

namespace ostrel {
namespace {

// The 16 columns in table order, as every statement names them.
constexpr const char* Columns = "id, name, address, port, username, password, storageGroupFile, timeToStart, "
                                "overwrite, archiving, rescheduled, schedule, alwaysArchive, timeArchiveStart, "
                                "timeArchiveStop, deleted";

} // namespace

SiteContainer& SiteContainer::instance() {
    static SiteContainer container(DataWarehouse::instance());
    return container;
}

SiteContainer::SiteContainer(DataWarehouse& warehouse, int rowCap)
    : AbstractDatabaseTable(TableName, rowCap, CapPolicy::Refuse, warehouse) {}

SiteContainer::~SiteContainer() = default;

bool SiteContainer::load() {
    Mutex::ScopedLock lock(_mutex);
    try {
        open();
        select();
        return true;
    } catch (const Exception& failure) {
        _active.clear();
        _all.clear();
        std::string text = "Sites: cannot load the sites: ";
        text += failure.toString();
        log(LogLevel::Error, text.c_str());
        return false;
    }
}

void SiteContainer::unload() {
    Mutex::ScopedLock lock(_mutex);
    _active.clear();
    _all.clear();
    resetCount();
}

std::vector<RecordSite*> SiteContainer::sites(bool includeDeleted) const {
    Mutex::ScopedLock lock(_mutex);
    std::vector<RecordSite*> out;
    if (includeDeleted) {
        out.reserve(_all.size());
        for (const auto& [id, site] : _all) {
            out.push_back(site.get());
        }
    } else {
        out.reserve(_active.size());
        for (const auto& [id, site] : _active) {
            out.push_back(site);
        }
    }
    return out;
}

RecordSite* SiteContainer::findActiveByHandle(int handle) const {
    if (handle < 0) {
        return nullptr; // -1: no schedule, which many sites share
    }
    for (const auto& [id, site] : _active) {
        if (site->scheduleHandle() == handle) {
            return site;
        }
    }
    return nullptr;
}

RecordSite* SiteContainer::findByHandle(int handle) const {
    Mutex::ScopedLock lock(_mutex);
    return findActiveByHandle(handle);
}

RecordSite* SiteContainer::findById(const UniqueID& id) const {
    Mutex::ScopedLock lock(_mutex);
    const auto it = _all.find(id);
    return it == _all.end() ? nullptr : it->second.get();
}

RecordSite* SiteContainer::findByName(const std::string& name) const {
    Mutex::ScopedLock lock(_mutex);
    for (const auto& [id, site] : _active) {
        if (site->name() == name) {
            return site;
        }
    }
    return nullptr;
}

bool SiteContainer::isFull() const { return rowCount() >= rowCap(); }

bool SiteContainer::add(const RecordSite& site) {
    Mutex::ScopedLock lock(_mutex);
    if (_all.count(site.id()) != 0) {
        _lastError = "A site with this identifier exists already.";
        return false;
    }
    auto kept = std::make_unique<RecordSite>(site);
    kept->setDeleted(false);
    try {
        if (!insert(*kept)) {
            _lastError = FullText;
            return false;
        }
    } catch (const Exception& failure) {
        failed("add", site, failure);
        return false;
    }
    RecordSite* stored = kept.get();
    _all.emplace(stored->id(), std::move(kept));
    _active.emplace(stored->id(), stored);
    _lastError.clear();
    return true;
}

bool SiteContainer::update(const RecordSite& site) {
    Mutex::ScopedLock lock(_mutex);
    const auto it = _active.find(site.id());
    if (it == _active.end()) {
        _lastError = "The site is not in the list of sites.";
        return false;
    }
    RecordSite written(site);
    written.setDeleted(false);
    try {
        AbstractDatabaseTable::update(written);
    } catch (const Exception& failure) {
        failed("update", site, failure);
        return false;
    }
    *it->second = written;
    _lastError.clear();
    return true;
}

bool SiteContainer::save(int handle) {
    Mutex::ScopedLock lock(_mutex);
    RecordSite* site = findActiveByHandle(handle);
    if (site == nullptr) {
        return false;
    }
    // Judged on a copy, so a failed write leaves the kept record as it was.
    RecordSite changed(*site);
    changed.checkArchivable();
    return update(changed);
}

bool SiteContainer::remove(const RecordSite& site) {
    Mutex::ScopedLock lock(_mutex);
    const auto it = _active.find(site.id());
    if (it == _active.end()) {
        _lastError = "The site is not in the list of sites.";
        return false;
    }
    RecordSite written(*it->second);
    try {
        if (!AbstractDatabaseTable::remove(written)) {
            _lastError = "The site is not in the list of sites.";
            return false;
        }
    } catch (const Exception& failure) {
        failed("remove", site, failure);
        return false;
    }
    it->second->setDeleted(true);
    _active.erase(it);
    _lastError.clear();
    return true;
}

bool SiteContainer::removeByHandle(int handle) {
    Mutex::ScopedLock lock(_mutex);
    RecordSite* site = findActiveByHandle(handle);
    return site != nullptr && remove(*site);
}

bool SiteContainer::setArchiving(int handle, bool flag) {
    Mutex::ScopedLock lock(_mutex);
    RecordSite* site = findActiveByHandle(handle);
    if (site == nullptr) {
        return false;
    }
    RecordSite changed(*site);
    changed.setArchiving(flag);
    changed.checkArchivable();
    return update(changed);
}

bool SiteContainer::setRescheduled(int handle, bool flag) {
    Mutex::ScopedLock lock(_mutex);
    RecordSite* site = findActiveByHandle(handle);
    if (site == nullptr) {
        return false;
    }
    RecordSite changed(*site);
    changed.setRescheduled(flag);
    changed.checkArchivable();
    return update(changed);
}

bool SiteContainer::setArchiveFrom(int handle, int choice, const DateTime& time) {
    Mutex::ScopedLock lock(_mutex);
    RecordSite* site = findActiveByHandle(handle);
    if (site == nullptr) {
        return false;
    }
    RecordSite changed(*site);
    changed.setArchiveFrom(choice, time);
    changed.checkArchivable();
    return update(changed);
}

std::string SiteContainer::lastErrorText() const {
    Mutex::ScopedLock lock(_mutex);
    return _lastError;
}

void SiteContainer::failed(const char* operation, const RecordSite& site, const Exception& failure) {
    // The site's name and SQLite's message only: the statement's values (the
    // password among them) are bound and appear in neither.
    _lastError = std::string("Cannot ") + operation + " the site \"" + site.name() + "\": " +
                 (failure.message() ? failure.message() : "database failure");
    std::string text = "Sites: " + _lastError + " (" + failure.toString() + ")";
    log(LogLevel::Error, text.c_str());
}

void SiteContainer::createTable() {
    database().execute(
        FormatableSQL("CREATE TABLE %q (id TEXT PRIMARY KEY,name TEXT,address TEXT,port INTEGER NOT NULL,username "
                      "TEXT,password TEXT,storageGroupFile TEXT,timeToStart TEXT,overwrite INTEGER NOT "
                      "NULL,archiving INTEGER NOT NULL,rescheduled INTEGER NOT NULL,schedule INTEGER NOT "
                      "NULL,alwaysArchive INTERGER NOT NULL,timeArchiveStart TEXT,timeArchiveStop TEXT,deleted "
                      "INTEGER NOT NULL);",
                      name().c_str())
            .c_str());
    database().execute("CREATE UNIQUE INDEX sites_idx ON sites(id);");
}

void SiteContainer::writeRow(const RecordSite& site, bool replace, bool deleted) {
    RowSet rows(database(), FormatableSQL("%s INTO %q (%s) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);",
                                          replace ? "REPLACE" : "INSERT", name().c_str(), Columns)
                                .c_str());
    rows.bind(1, site.id().toString())
        .bind(2, site.name())
        .bind(3, site.address())
        .bind(4, static_cast<int>(site.port()))
        .bind(5, site.username())
        .bind(6, site.password())
        .bind(7, site.storageGroupFile())
        .bind(8, site.timeToStart().toString())
        .bind(9, site.overwrite() ? 1 : 0)
        .bind(10, site.archiving() ? 1 : 0)
        .bind(11, site.rescheduled() ? 1 : 0)
        .bind(12, site.archiveFrom())
        .bind(13, site.alwaysArchive() ? 1 : 0)
        .bind(14, site.archiveStart().toString())
        .bind(15, site.archiveStop().toString())
        .bind(16, deleted ? 1 : 0);
    rows.execute();
}

void SiteContainer::insertRow(AbstractDatabaseRecord& record) {
    writeRow(dynamic_cast<const RecordSite&>(record), false, false);
}

void SiteContainer::updateRow(AbstractDatabaseRecord& record) {
    writeRow(dynamic_cast<const RecordSite&>(record), true, false);
}

void SiteContainer::deleteRow(AbstractDatabaseRecord& record) {
    writeRow(dynamic_cast<const RecordSite&>(record), true, true);
}

int SiteContainer::selectRows(const SqlCondition* condition) {
    // Called by load(), which holds the container's mutex.
    _active.clear();
    _all.clear();
    std::string sql = FormatableSQL("SELECT %s FROM %q", Columns, name().c_str()).c_str();
    if (condition != nullptr && !condition->empty()) {
        sql += " WHERE " + condition->text();
    }
    sql += ";";
    RowSet rows(database(), sql);
    if (condition != nullptr) {
        condition->bindTo(rows);
    }
    while (rows.next()) {
        auto site = std::make_unique<RecordSite>(UniqueID::nil());
        try {
            site->read(rows);
        } catch (const Exception& failure) {
            // One damaged row costs that site, not the others.
            std::string text = "Sites: a row was skipped: ";
            text += failure.toString();
            log(LogLevel::Error, text.c_str());
            continue;
        }
        RecordSite* stored = site.get();
        if (!_all.emplace(stored->id(), std::move(site)).second) {
            continue;
        }
        if (!stored->deleted()) {
            _active.emplace(stored->id(), stored);
        }
    }
    return static_cast<int>(_all.size());
}

int SiteContainer::countRows() {
    RowSet rows(database(), FormatableSQL("SELECT COUNT(id) FROM %q WHERE deleted = 0;", name().c_str()).c_str());
    return rows.next() ? rows.getInt(0) : 0;
}

} // namespace ostrel
