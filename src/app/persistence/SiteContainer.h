#pragma once

#include "app/persistence/RecordSite.h"
#include "base/UniqueID.h"
#include "base/thread/Mutex.h"
#include "database/AbstractDatabaseTable.h"
#include "database/DataWarehouse.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ostrel {

class Exception;

// The sites (table "sites") and the in-memory authority over them: loaded
// once, then every change goes through here and is written at once. Deleting
// a site marks its row deleted; the row and the record stay (the log still
// names the site) until the application ends.
//
// Records are owned by the container and stay at the same address until
// unload(), so the pointers handed out remain valid while the application runs.
// Walks follow the identifiers' byte order.
class SiteContainer : public AbstractDatabaseTable {
public:
    // Most live sites; an add beyond it is refused, never a site dropped.
    static constexpr int RowCap = 100;
    static constexpr const char* TableName = "sites";
    // Why the last add was refused at the cap.
    static constexpr const char* FullText = "No more sites can be added: Ostrel archives at most 100 sites.";

    // The process-wide container over DataWarehouse::instance(), created on first use.
    static SiteContainer& instance();

    // Tests build containers over their own warehouse.
    explicit SiteContainer(DataWarehouse& warehouse, int rowCap = RowCap);
    ~SiteContainer() override;

    // Opens the table and loads every row, deleted sites too. Returns false
    // (after logging the failure) when the database cannot be read; the
    // container is then empty.
    bool load();
    // Deletes every record and resets the row count.
    void unload();

    // Snapshot of all sites (includeDeleted) or of the active ones, in
    // identifier order.
    std::vector<RecordSite*> sites(bool includeDeleted) const;
    // The active site with that schedule handle, or nullptr.
    RecordSite* findByHandle(int handle) const;
    // Any site, deleted ones included, or nullptr.
    RecordSite* findById(const UniqueID& id) const;
    // The first active site whose name equals `name` exactly, or nullptr.
    RecordSite* findByName(const std::string& name) const;
    // Whether the number of live sites has reached the cap.
    bool isFull() const;

    // Stores a new site and keeps a copy of it (reach it by findById). False
    // when the cap is reached (lastErrorText() is FullText), when a site with
    // that identifier exists, or when the database fails; nothing changes then.
    bool add(const RecordSite& site);
    // Rewrites the site's row, then copies every field of `site` into the kept
    // record with its identifier, the run-time ones (schedule, handle, status)
    // too: pass the kept record itself or a changed copy of it. False, with
    // nothing changed, for an unknown or deleted site or a database failure.
    bool update(const RecordSite& site);
    // The active site with the handle: checkArchivable(), then update()
    // (judged on a copy, so a failed write changes nothing).
    bool save(int handle);
    // Marks the site's row deleted, then the kept record, and takes it out of
    // the active sites. False, with nothing changed, for an unknown or already
    // deleted site or a database failure.
    bool remove(const RecordSite& site);
    bool removeByHandle(int handle);
    // Change the active site with the handle and save it.
    bool setArchiving(int handle, bool flag);
    bool setRescheduled(int handle, bool flag);
    bool setArchiveFrom(int handle, int choice, const DateTime& time);

    // Why the last add, update or remove failed ("" after a success).
    std::string lastErrorText() const;

protected:
    void createTable() override;
    void insertRow(AbstractDatabaseRecord& record) override;
    void updateRow(AbstractDatabaseRecord& record) override;
    // A soft delete: the row is rewritten with deleted = 1.
    void deleteRow(AbstractDatabaseRecord& record) override;
    int selectRows(const SqlCondition* condition) override;
    // Only live rows count towards the cap.
    int countRows() override;

private:
    using SiteMap = std::map<UniqueID, std::unique_ptr<RecordSite>>;

    void writeRow(const RecordSite& site, bool replace, bool deleted);
    RecordSite* findActiveByHandle(int handle) const;
    void failed(const char* operation, const RecordSite& site, const Exception& cause);

    mutable Mutex _mutex;
    SiteMap _all;
    std::map<UniqueID, RecordSite*> _active;
    std::string _lastError;
};

} // namespace ostrel
