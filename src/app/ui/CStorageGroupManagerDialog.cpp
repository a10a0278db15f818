#include "app/ui/CStorageGroupManagerDialog.h"

#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteContainer.h"
#include "app/persistence/SiteStorage.h"
#include "app/persistence/SystemLogger.h"
#include "app/scheduling/ArchivingScheduler.h"
#include "app/scheduling/LogCodes.h"
#include "app/ui/CFloatEdit.h"
#include "app/ui/CStorageDetailDialog.h"
#include "app/ui/CStorageSizeDialog.h"
#include "app/ui/CTidevaultDoc.h"
#include "app/ui/DialogHost.h"
#include "app/ui/FileChooserDialog.h"
#include "app/ui/FreeDiskSpace.h"
#include "app/ui/Message.h"
#include "base/Exception.h"
#include "base/File.h"
#include "base/Trace.h"
#include "storage/FixedSizeFileStorage.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace ostrel {

namespace {

constexpr const char* StorageFilter = "Storage File(*.strg)|*.strg||";
constexpr const char* StorageExtension = "strg";


// Each box follows the answer to the one before, as modal boxes would.
void showInTurn(DialogHost& dialogs, std::vector<std::string> texts, MessageIcon icon, std::size_t index) {
    if (index >= texts.size()) {
        return;
    }
    const std::string text = texts[index];
    dialogs.messageBox(text, icon, MessageButtons::OK, [&dialogs, texts = std::move(texts), icon, index](int) mutable {
        showInTurn(dialogs, std::move(texts), icon, index + 1);
    });
}

int intArgument(const nlohmann::json& args, const char* key) {
    if (!args.is_object() || !args.contains(key) || !args[key].is_number_integer()) {
        throw std::invalid_argument(std::string("expected {") + key + ": integer}");
    }
    return args[key].get<int>();
}

} // namespace

CStorageGroupManagerDialog::CStorageGroupManagerDialog(Context context, int handle, ScheduleListener* relay,
                                                       std::function<void()> closed)
    : _context(std::move(context)), _relay(relay), _closed(std::move(closed)) {
    // The site combo: every active site, sorted by its name.
    for (RecordSite* s : _context.sites.sites(false)) {
        _sites.push_back({s->scheduleHandle(), s->name()});
    }
    std::stable_sort(_sites.begin(), _sites.end(), [](const SiteItem& a, const SiteItem& b) { return a.name < b.name; });
    const bool known = std::any_of(_sites.begin(), _sites.end(), [&](const SiteItem& s) { return s.handle == handle; });
    selectSite(known ? handle : -1);
}

CStorageGroupManagerDialog::~CStorageGroupManagerDialog() {
    if (_relay != nullptr) {
        _relay->detach(this);
    }
}

std::shared_ptr<CStorageGroupManagerDialog> CStorageGroupManagerDialog::open(Context context, int handle,
                                                                             ScheduleListener* relay,
                                                                             std::function<void()> closed) {
    DialogHost& dialogs = context.dialogs;
    auto dialog = std::make_shared<CStorageGroupManagerDialog>(std::move(context), handle, relay, std::move(closed));
    if (relay != nullptr) {
        relay->attach(dialog.get());
    }
    dialogs.open(dialog);
    return dialog;
}

// ---- the site and its storage ------------------------------------------------------------------

RecordSite* CStorageGroupManagerDialog::site() const {
    return _handle < 0 ? nullptr : _context.sites.findByHandle(_handle);
}

SiteStorage* CStorageGroupManagerDialog::siteStorage() const {
    return _handle < 0 ? nullptr : _context.scheduler.siteStorage(_handle);
}

bool CStorageGroupManagerDialog::readStopped() const {
    const RecordSite* s = site();
    if (s == nullptr) {
        return true;
    }
    // A stop that has been asked for but not reported as done still holds
    // the group: the schedule may be writing its last frames.
    return !s->archiving() && !_context.document.isStopPending(_handle);
}

void CStorageGroupManagerDialog::selectSite(int handle) {
    _handle = handle;
    _stopped = readStopped();
    refresh();
}

void CStorageGroupManagerDialog::refresh() {
    if (_handle < 0) {
        _groupFilePath.clear();
        _list.setEntries({});
        updateButtons();
        update();
        return;
    }
    std::map<int, StorageEntry> entries;
    if (SiteStorage* storage = siteStorage()) {
        _groupFilePath = storage->groupFile().path();
        storage->entries(entries);
    } else if (const RecordSite* s = site()) {
        _groupFilePath = s->storageGroupFile();
    }
    _list.setEntries(entries);
    updateButtons();
    update();
}

void CStorageGroupManagerDialog::updateButtons() {
    Buttons b; // everything disabled, "Start Archiving" shown
    const RecordSite* s = site();
    _stopped = readStopped();
    if (s == nullptr || siteStorage() == nullptr || !s->hasUsableGroupFile()) {
        _buttons = b;
        return;
    }
    if (s->archiving()) {
        b.pauseShown = true;
        b.pauseEnabled = true;
        b.startShown = false;
        _buttons = b;
        return;
    }
    if (!_stopped) {
        // Stopping: nothing until the schedule has reported the end of its stop.
        _buttons = b;
        return;
    }
    b.create = true;
    b.add = true;
    b.startEnabled = s->status() != RecordSite::StatusStorageFull && s->status() != RecordSite::StatusNotArchivable;
    const std::vector<int>& rows = _list.selection();
    if (!rows.empty()) {
        b.remove = true;
        b.format = true;
        bool good = false;
        for (int row : rows) {
            const int status = _list.entryOfRow(row).status;
            if (status == StorageEntry::Unknown || status == StorageEntry::NotFound ||
                status == StorageEntry::OpenError) {
                b.format = false;
            }
            good = good || status == StorageEntry::Good;
        }
        b.detail = rows.size() == 1 && good;
    }
    _buttons = b;
}

bool CStorageGroupManagerDialog::selectRows(const std::vector<int>& rows) {
    if (!_list.setSelection(rows)) {
        return false;
    }
    updateButtons();
    update();
    return true;
}

// ---- the page ------------------------------------------------------------------------------------

nlohmann::json CStorageGroupManagerDialog::state() const {
    nlohmann::json sites = nlohmann::json::array();
    for (const SiteItem& s : _sites) {
        sites.push_back({{"handle", s.handle}, {"name", s.name}});
    }
    const auto button = [](const char* text, bool shown, bool enabled) {
        return nlohmann::json{{"text", text}, {"shown", shown}, {"enabled", enabled}};
    };
    return {{"title", Title},
            {"siteLabel", "Site :"},
            {"groupLabel", "Storage Group File :"},
            {"sites", sites},
            {"current", _handle},
            {"groupFile", _groupFilePath},
            {"list", _list.toJson()},
            {"buttons",
             {{"create", button("Create...", true, _buttons.create)},
              {"add", button("Add...", true, _buttons.add)},
              {"remove", button("Remove", true, _buttons.remove)},
              {"format", button("Format", true, _buttons.format)},
              {"pause", button("Pause Archiving", _buttons.pauseShown, _buttons.pauseEnabled)},
              {"start", button("Start Archiving", _buttons.startShown, _buttons.startEnabled)},
              {"detail", button("Detail...", true, _buttons.detail)}}}};
}

nlohmann::json CStorageGroupManagerDialog::call(const std::string& function, const nlohmann::json& args) {
    if (function == "selectSite") {
        const int handle = intArgument(args, "handle");
        if (handle != -1 &&
            std::none_of(_sites.begin(), _sites.end(), [&](const SiteItem& s) { return s.handle == handle; })) {
            throw std::invalid_argument("no such site in the list");
        }
        selectSite(handle);
        return true;
    }
    if (function == "select") {
        if (!args.is_object() || !args.contains("rows") || !args["rows"].is_array()) {
            throw std::invalid_argument("select takes {rows: [row...]}");
        }
        std::vector<int> rows;
        for (const auto& row : args["rows"]) {
            if (!row.is_number_integer()) {
                throw std::invalid_argument("rows are integers");
            }
            rows.push_back(row.get<int>());
        }
        selectRows(rows);
        return true;
    }
    if (function == "tip") {
        return _list.tipAt(intArgument(args, "row"), intArgument(args, "column"));
    }
    if (function == "close") {
        cancel();
        return true;
    }
    // A button: only when it is enabled now (a page may show an older state).
    updateButtons();
    if (function == "create") {
        return _buttons.create && (create(), true);
    }
    if (function == "add") {
        return _buttons.add && (add(), true);
    }
    if (function == "remove") {
        return _buttons.remove && (remove(), true);
    }
    if (function == "format") {
        return _buttons.format && (format(), true);
    }
    if (function == "pause") {
        return _buttons.pauseShown && _buttons.pauseEnabled && (pauseArchiving(), true);
    }
    if (function == "start") {
        return _buttons.startShown && _buttons.startEnabled && (startArchiving(), true);
    }
    if (function == "detail") {
        return _buttons.detail && (detail(), true);
    }
    return DialogController::call(function, args);
}

void CStorageGroupManagerDialog::cancel() { finish(); }

void CStorageGroupManagerDialog::finish() {
    if (_relay != nullptr) {
        _relay->detach(this);
        _relay = nullptr;
    }
    if (!isOpen()) {
        return;
    }
    close();
    if (_closed) {
        auto closed = std::move(_closed);
        closed();
    }
}

// ---- schedule reports ------------------------------------------------------------------------------

void CStorageGroupManagerDialog::scheduleConnecting(int handle) {
    if (handle == _handle) {
        updateButtons();
        update();
    }
}

void CStorageGroupManagerDialog::scheduleStopped(int handle) {
    if (handle == _handle) {
        // The stop has completed: the storage may have changed under it too.
        refresh();
    }
}

void CStorageGroupManagerDialog::scheduleFailed(int handle) {
    if (handle == _handle) {
        updateButtons();
        update();
    }
}

// ---- messages and log ----------------------------------------------------------------------------------

void CStorageGroupManagerDialog::message(const std::string& text, MessageIcon icon) {
    _context.dialogs.messageBox(text, icon);
}

void CStorageGroupManagerDialog::messages(std::vector<std::string> texts, MessageIcon icon) {
    showInTurn(_context.dialogs, std::move(texts), icon, 0);
}

void CStorageGroupManagerDialog::log(int code, const std::string& text) {
    if (const RecordSite* s = site()) {
        _context.logger.log(s->id(), code, text);
    }
}

// ---- the commands --------------------------------------------------------------------------------------

bool CStorageGroupManagerDialog::withinLimits() {
    const SiteStorage* storage = siteStorage();
    if (storage == nullptr) {
        return false;
    }
    if (storage->storageCount() >= MaximumSiteStorages) {
        message(SiteLimitText, MessageIcon::Error);
        return false;
    }
    if (_context.scheduler.totalStorageCount() >= MaximumTotalStorages) {
        message(TotalLimitText, MessageIcon::Error);
        return false;
    }
    return true;
}

bool CStorageGroupManagerDialog::mayChangeStorages() {
    const RecordSite* s = site();
    if (s == nullptr || siteStorage() == nullptr) {
        return false;
    }
    if (!readStopped() || s->status() == RecordSite::StatusConnecting || s->status() == RecordSite::StatusArchiving) {
        message(StopFirstText, MessageIcon::Warning);
        updateButtons();
        update();
        return false;
    }
    // A failed site may be due to restart: it must not start into a group
    // that is changing. The user starts it again when done.
    _context.document.cancelRestart(_handle);
    return true;
}

std::string CStorageGroupManagerDialog::chooserFolder() const {
    if (!_groupFilePath.empty()) {
        const std::string folder = std::filesystem::path(_groupFilePath).parent_path().string();
        if (!folder.empty()) {
            return folder;
        }
    }
    return _context.storagesFolder;
}

void CStorageGroupManagerDialog::create() {
    if (!withinLimits()) {
        return;
    }
    const int handle = _handle;
    std::weak_ptr<CStorageGroupManagerDialog> weak = weak_from_this();
    _context.dialogs.open(std::make_shared<CStorageSizeDialog>(_context.dialogs, [weak, handle](uint64_t bytes) {
        auto self = weak.lock();
        if (!self || !self->isOpen() || self->_handle != handle) {
            return;
        }
        FileChooserDialog::Options options;
        options.filter = StorageFilter;
        options.defaultExtension = StorageExtension;
        options.initialPath = self->chooserFolder() + "/";
        options.overwritePrompt = false;
        options.places = {{"Storages", self->_context.storagesFolder}};
        self->_context.dialogs.open(std::make_shared<FileChooserDialog>(
            self->_context.dialogs, options, [weak, handle, bytes](const std::string& path) {
                auto again = weak.lock();
                if (again && again->isOpen() && again->_handle == handle) {
                    again->createAt(bytes, path);
                }
            }));
    }));
}

void CStorageGroupManagerDialog::createAt(uint64_t bytes, const std::string& path) {
    if (!mayChangeStorages()) {
        return;
    }
    SiteStorage& storage = *siteStorage();
    if (storage.containsPath(path)) {
        message(AlreadyListedText, MessageIcon::Error);
        return;
    }
    // The size is checked here whatever the page sent: never more than the disk holds.
    if (bytes < MinimumStorageBytes || bytes > CFloatEdit::MaximumBytes) {
        message(CStorageSizeDialog::TooSmallText, MessageIcon::Error);
        return;
    }
    if (const auto space = FreeDiskSpace::of(path); space && bytes > space->bytes) {
        message(space->notEnoughText(), MessageIcon::Error);
        return;
    }
    // An existing file is never replaced: it may be another site's storage.
    try {
        if (File::exists(path)) {
            message(std::string(CannotCreateBecauseText) + path + " already exists.", MessageIcon::Error);
            return;
        }
    } catch (const SystemException& e) {
        message(std::string(CannotCreateBecauseText) + e.messageText(), MessageIcon::Error);
        return;
    }
    try {
        // A failure removes what it made of the file.
        File::create(path, static_cast<int64_t>(bytes));
    } catch (const SystemException& e) {
        traceException(e);
        message(std::string(CannotCreateBecauseText) + e.messageText(), MessageIcon::Error);
        return;
    }
    if (!SiteStorage::formatStorageFile(path, storage.groupFile().repositoryID())) {
        message(CannotFormatText, MessageIcon::Warning);
    }
    storage.addStorage(path);
    updateSiteUsage();
    refresh();
    log(LogCode::StorageCreated, path);
}

void CStorageGroupManagerDialog::add() {
    if (!withinLimits()) {
        return;
    }
    const int handle = _handle;
    std::weak_ptr<CStorageGroupManagerDialog> weak = weak_from_this();
    FileChooserDialog::Options options;
    options.title = "Add Storage File";
    options.okText = "Add";
    options.filter = StorageFilter;
    options.defaultExtension = StorageExtension;
    options.initialPath = chooserFolder() + "/";
    options.places = {{"Storages", _context.storagesFolder}};
    _context.dialogs.open(
        std::make_shared<FileChooserDialog>(_context.dialogs, options, [weak, handle](const std::string& path) {
            auto self = weak.lock();
            if (self && self->isOpen() && self->_handle == handle) {
                self->addAt(path);
            }
        }));
}

void CStorageGroupManagerDialog::addAt(const std::string& path) {
    if (!mayChangeStorages()) {
        return;
    }
    SiteStorage& storage = *siteStorage();
    if (storage.containsPath(path)) {
        message(AlreadyListedText, MessageIcon::Error);
        return;
    }
    int64_t size = 0;
    try {
        if (!File::exists(path)) {
            message(FileMissingText, MessageIcon::Error);
            return;
        }
        size = File::size(path);
    } catch (const SystemException& e) {
        traceException(e);
        message(FileMissingText, MessageIcon::Error);
        return;
    }
    if (size < static_cast<int64_t>(MinimumStorageBytes)) {
        message(TooSmallText, MessageIcon::Error);
        return;
    }
    storage.addStorage(path);
    updateSiteUsage();
    refresh();
    log(LogCode::StorageAdded, path);
}

void CStorageGroupManagerDialog::remove() {
    if (_list.selection().empty()) {
        return;
    }
    const int handle = _handle;
    std::weak_ptr<CStorageGroupManagerDialog> weak = weak_from_this();
    _context.dialogs.checkBox(RemoveQuestion, RemoveCheckText, true, MessageIcon::Question, MessageButtons::YesNo,
                              [weak, handle](int answer, bool deleteFiles) {
                                  auto self = weak.lock();
                                  if (answer == Answer::Yes && self && self->isOpen() && self->_handle == handle) {
                                      self->removeChosen(deleteFiles);
                                  }
                              });
}

// The selected entries as the site storage holds them now; a selection made
// before the group was reopened by someone else names nothing any more.
std::vector<std::pair<int, StorageEntry>> CStorageGroupManagerDialog::chosenEntries() const {
    std::vector<std::pair<int, StorageEntry>> chosen;
    SiteStorage* storage = siteStorage();
    if (storage == nullptr) {
        return chosen;
    }
    std::map<int, StorageEntry> current;
    storage->entries(current);
    for (int number : _list.selectedEntries()) {
        const auto it = current.find(number);
        const auto shown = _list.entries().find(number);
        if (it != current.end() && shown != _list.entries().end() && it->second.path == shown->second.path) {
            chosen.emplace_back(number, it->second);
        }
    }
    return chosen;
}

void CStorageGroupManagerDialog::removeChosen(bool deleteFiles) {
    if (!mayChangeStorages()) {
        return;
    }
    SiteStorage& storage = *siteStorage();
    const UniqueID siteId = site()->id();
    std::vector<int> numbers;
    std::vector<std::string> toDelete;
    for (const auto& [number, entry] : chosenEntries()) {
        numbers.push_back(number);
        if (entry.status != StorageEntry::NotFound) {
            toDelete.push_back(entry.path);
        }
        log(LogCode::StorageRemoved, entry.path);
    }
    if (numbers.empty()) {
        refresh();
        return;
    }
    storage.removeStorages(numbers);
    std::vector<std::string> failures;
    if (deleteFiles) {
        for (const std::string& path : toDelete) {
            // Only this site's own storages are deleted; a file added from
            // elsewhere (another site's, or never formatted) stays on disk.
            if (storage.containsPath(path) || !storageBelongsTo(path, siteId)) {
                failures.push_back(std::string(CannotRemoveText) + path);
                continue;
            }
            try {
                File::remove(path);
            } catch (const SystemException& e) {
                traceException(e);
                failures.push_back(std::string(CannotRemoveText) + path);
            }
        }
    }
    messages(std::move(failures), MessageIcon::Warning);
    updateSiteUsage();
    refresh();
}

void CStorageGroupManagerDialog::format() {
    if (_list.selection().empty()) {
        return;
    }
    const int handle = _handle;
    std::weak_ptr<CStorageGroupManagerDialog> weak = weak_from_this();
    _context.dialogs.messageBox(FormatQuestion, MessageIcon::Warning, MessageButtons::YesNo, [weak, handle](int answer) {
        auto self = weak.lock();
        if (answer == Answer::Yes && self && self->isOpen() && self->_handle == handle) {
            self->formatChosen();
        }
    });
}

void CStorageGroupManagerDialog::formatChosen() {
    if (!mayChangeStorages()) {
        return;
    }
    std::vector<int> numbers;
    for (const auto& [number, entry] : chosenEntries()) {
        numbers.push_back(number);
        log(LogCode::StorageFormatted, entry.path);
    }
    if (!numbers.empty()) {
        siteStorage()->formatStorages(numbers);
        updateSiteUsage();
    }
    refresh();
}

void CStorageGroupManagerDialog::pauseArchiving() {
    _context.document.stop(_handle);
    updateButtons();
    update();
}

void CStorageGroupManagerDialog::startArchiving() {
    _context.document.start(_handle, true);
    updateButtons();
    update();
}

void CStorageGroupManagerDialog::detail() {
    const std::vector<int> numbers = _list.selectedEntries();
    SiteStorage* storage = siteStorage();
    if (numbers.empty() || storage == nullptr) {
        return;
    }
    if (const Storage* opened = storage->openedStorage(numbers.front())) {
        _context.dialogs.open(std::make_shared<CStorageDetailDialog>(*opened));
    }
}

void CStorageGroupManagerDialog::updateSiteUsage() {
    RecordSite* s = site();
    SiteStorage* storage = siteStorage();
    if (s == nullptr || storage == nullptr) {
        return;
    }
    s->setStorageUsage(storage->usedBytes(), storage->capacityBytes());
    s->checkArchivable();
    _context.document.postToViews(Message{Msg::UpdateRow, _handle, 0});
}

bool CStorageGroupManagerDialog::storageBelongsTo(const std::string& path, const UniqueID& repositoryID) {
    bool ours = false;
    try {
        if (!File::exists(path)) {
            return false;
        }
        FixedSizeFileStorage storage(FixedSizeFileStorage::Access::ReadOnly);
        try {
            ours = storage.open(path, false, Storage::CheckOnly) && storage.repositoryID() == repositoryID;
        } catch (const Exception& e) {
            traceException(e);
            ours = false;
        }
        try {
            storage.close(false);
        } catch (const Exception& e) {
            traceException(e);
        }
    } catch (const Exception& e) {
        traceException(e);
        return false;
    }
    return ours;
}

} // namespace ostrel
