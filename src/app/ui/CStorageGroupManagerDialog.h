#pragma once

#include "app/scheduling/ScheduleListener.h"
#include "app/ui/CStorageListCtrl.h"
#include "app/ui/DialogController.h"
#include "app/ui/DialogHost.h"
#include "base/UniqueID.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace ostrel {

class ArchivingScheduler;
class CTidevaultDoc;
class RecordSite;
class SiteContainer;
class SiteStorage;
class SystemLogger;

// "Storage Manager": the storage group of one site at a time. The user picks
// the site, sees its storage files with their size, period and status, and
// creates, adds, removes and formats files, looks at one file's intervals, and
// pauses or starts the site's archiving.
//
// Nothing here changes a group while its schedule may still write into it:
// the storage buttons work only once the site's stop has completed (its
// scheduleStopped report), and acting on the files cancels a pending restart
// first. Files are deleted only when their superblock names this site's
// repository, and "Create..." never replaces an existing file.
//
// Open it with open(); it listens to the schedule reports of `relay` (the main
// view, or the info sheet that opened it) while it is open.
class CStorageGroupManagerDialog : public DialogController,
                                   public ScheduleListener,
                                   public std::enable_shared_from_this<CStorageGroupManagerDialog> {
public:
    struct Context {
        DialogHost& dialogs;
        CTidevaultDoc& document;
        ArchivingScheduler& scheduler;
        SiteContainer& sites;
        SystemLogger& logger;
        // Where the file chooser starts when the site's group file has no folder.
        std::string storagesFolder;
    };

    static constexpr const char* Title = "Storage Manager";
    static constexpr int MaximumSiteStorages = 99;
    static constexpr int MaximumTotalStorages = 1000;
    static constexpr uint64_t MinimumStorageBytes = 500000000ULL;

    // Messages.
    static constexpr const char* SiteLimitText = "The number of storages per site must be less than 100.";
    static constexpr const char* TotalLimitText = "The number of total storages on the program must not be more than 1000.";
    static constexpr const char* StopFirstText = "Please stop archiving before delete the schedule.";
    static constexpr const char* AlreadyListedText = "The storage already exists on the list. Remove it and try again.";
    static constexpr const char* CannotCreateText = "Cannot create the file.";
    static constexpr const char* CannotCreateBecauseText = "Cannot create the file : ";
    static constexpr const char* CannotFormatText = "Cannot format the file created. Please retry.";
    static constexpr const char* FileMissingText = "File not exists.";
    static constexpr const char* TooSmallText = "The storage file must be larger than 0.5 GB.";
    static constexpr const char* RemoveQuestion = "Do you really want to remove the storage from storage group?";
    static constexpr const char* RemoveCheckText = "delete the storage file from the system";
    static constexpr const char* CannotRemoveText = "Cannot remove a storage file : \n";
    static constexpr const char* FormatQuestion = "Do you want to format storages? You will not able to restore any more.";

    // Which buttons the page shows and enables.
    struct Buttons {
        bool create = false;
        bool add = false;
        bool remove = false;
        bool format = false;
        bool detail = false;
        bool pauseShown = false;
        bool pauseEnabled = false;
        bool startShown = true;
        bool startEnabled = false;
    };

    CStorageGroupManagerDialog(Context context, int handle, ScheduleListener* relay = nullptr,
                               std::function<void()> closed = {});
    ~CStorageGroupManagerDialog() override;

    // Makes the dialog for the site `handle` (-1: none chosen yet), attaches it
    // to `relay` and shows it. `closed` runs after it has closed.
    static std::shared_ptr<CStorageGroupManagerDialog> open(Context context, int handle,
                                                            ScheduleListener* relay = nullptr,
                                                            std::function<void()> closed = {});

    std::string kind() const override { return "storageManager"; }
    nlohmann::json state() const override;
    // "selectSite" {handle}; "select" {rows: [row...]}; "tip" {row, column} → text;
    // "create", "add", "remove", "format", "pause", "start", "detail"; "close".
    nlohmann::json call(const std::string& function, const nlohmann::json& args) override;
    void cancel() override;

    // The operations of the dialog.
    void selectSite(int handle);
    void refresh();
    void updateButtons();
    void create();
    void add();
    void remove();
    void format();
    void pauseArchiving();
    void startArchiving();
    void detail();
    bool selectRows(const std::vector<int>& rows);

    int currentSite() const { return _handle; }
    bool stopped() const { return _stopped; }
    const Buttons& buttons() const { return _buttons; }
    const CStorageListCtrl& list() const { return _list; }
    const std::string& groupFilePath() const { return _groupFilePath; }

    // ScheduleListener (controller thread, passed on by the relay).
    void scheduleConnecting(int handle) override;
    void scheduleStopped(int handle) override;
    void scheduleFailed(int handle) override;
    void scheduleConnected(int) override {}
    void scheduleDisconnected(int, int) override {}
    void scheduleStarting(int) override {}
    void scheduleResuming(int) override {}
    void scheduleRetrying(int) override {}
    void scheduleIntervalChosen(int) override {}
    void schedulePositionChanged(int, const DateTime&) override {}
    void scheduleQueryListReceived(int, const MergedTimeTable&) override {}
    void scheduleCompleted(int) override {}

    // Whether the file's superblock names `repositoryID` (read without taking the file).
    static bool storageBelongsTo(const std::string& path, const UniqueID& repositoryID);

private:
    RecordSite* site() const;
    SiteStorage* siteStorage() const;
    // The site's stop has completed and nothing is archiving.
    bool readStopped() const;
    // Create and Add: the storage limits, with their message; true when within them.
    bool withinLimits();
    // The refusal of a change while the site archives or is still stopping;
    // true when the change may go on (a pending restart is then cancelled).
    bool mayChangeStorages();
    void createAt(uint64_t bytes, const std::string& path);
    void addAt(const std::string& path);
    void removeChosen(bool deleteFiles);
    void formatChosen();
    void updateSiteUsage();
    void log(int code, const std::string& text);
    void message(const std::string& text, MessageIcon icon);
    // Shows the texts one after the other (each after the previous was answered).
    void messages(std::vector<std::string> texts, MessageIcon icon);
    std::vector<std::pair<int, StorageEntry>> chosenEntries() const;
    std::string chooserFolder() const;
    void finish();

    struct SiteItem {
        int handle;
        std::string name;
    };

    Context _context;
    // The site combo: handle and name, sorted by name.
    std::vector<SiteItem> _sites;
    int _handle = -1;
    bool _stopped = true;
    ScheduleListener* _relay = nullptr;
    std::function<void()> _closed;
    std::string _groupFilePath;
    CStorageListCtrl _list;
    Buttons _buttons;
};

} // namespace ostrel
