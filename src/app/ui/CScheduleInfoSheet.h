#pragma once

#include "app/scheduling/ScheduleListener.h"
#include "app/ui/CArchivingScheduleInfoPage.h"
#include "app/ui/CSiteInfoPage.h"
#include "app/ui/DialogController.h"
#include "base/Clock.h"

#include <functional>
#include <memory>
#include <string>

namespace ostrel {

class ArchivingScheduler;
class CSiteListView;
class CTidevaultDoc;
class ControllerThread;
class DialogHost;
class SiteContainer;
class SystemLogger;

// "Info": the property sheet of one site with its pages "Site" and "Archiving
// Schedule", and OK, Cancel and Apply. While it is open it hangs on the main
// view's report relay (reports reach it on the controller thread) and keeps
// the site page's status, period and usage current; it relays those reports
// on to the dialogs attached to it (the storage manager opened from it).
class CScheduleInfoSheet : public DialogController,
                           public ScheduleListener,
                           public std::enable_shared_from_this<CScheduleInfoSheet> {
public:
    static constexpr const char* Title = "Info";
    // Position reports come with every archived second; the page is refreshed
    // for them at most this often.
    static constexpr uint32_t PositionRefreshMilliseconds = 1000;

    // Opens the storage manager for the sheet's site; `attachTo` is the sheet
    // (the manager listens to it while open), `closed` runs when it has closed.
    using StorageManagerOpener =
        std::function<void(int handle, ScheduleListener& attachTo, std::function<void()> closed)>;

    struct Context {
        ControllerThread& controller;
        DialogHost& dialogs;
        CTidevaultDoc& document;
        CSiteListView& view;
        SiteContainer& sites;
        ArchivingScheduler& scheduler;
        SystemLogger& logger;
        const Clock& clock;
    };

    // Builds the sheet for the site of `handle`, attaches it to the view and
    // opens it; `opener` (when given) enables "Storage Manager...".
    static std::shared_ptr<CScheduleInfoSheet> open(const Context& context, int handle,
                                                    StorageManagerOpener opener = {});

    CScheduleInfoSheet(const Context& context, int handle);
    ~CScheduleInfoSheet() override;

    std::string kind() const override { return "infoSheet"; }
    nlohmann::json state() const override;
    // "edit" {page: "site"|"schedule", fields: {...}}, "apply", "ok",
    // "reschedule", "storageManager".
    nlohmann::json call(const std::string& function, const nlohmann::json& args) override;

    CSiteInfoPage& sitePage() { return _sitePage; }
    CArchivingScheduleInfoPage& schedulePage() { return _schedulePage; }
    int handle() const { return _handle; }

    // Validates both pages (site page first), then applies them; `closeAfter`
    // closes the sheet once everything is applied (OK).
    void applyAll(bool closeAfter);

    // ScheduleListener, on the controller thread (the view's relay).
    void scheduleConnecting(int handle) override;
    void scheduleConnected(int handle) override;
    void scheduleDisconnected(int handle, int reason) override;
    void scheduleStarting(int handle) override;
    void scheduleResuming(int handle) override;
    void scheduleRetrying(int handle) override;
    void scheduleIntervalChosen(int handle) override;
    void scheduleStopped(int handle) override;
    void scheduleFailed(int handle) override;
    void schedulePositionChanged(int handle, const DateTime& time) override;

private:
    void refresh(int handle, bool throttled);
    void refuse(const std::string& text, const std::string& page, const std::string& field, bool select);
    void openReschedule();
    // What an edit may change besides the edited text: Apply's enabling, the
    // time pickers' enabling, the password's edited mark.
    nlohmann::json derivedState() const;

    ControllerThread& _controller;
    DialogHost& _dialogs;
    CTidevaultDoc& _document;
    CSiteListView& _view;
    SiteContainer& _sites;
    ArchivingScheduler& _scheduler;
    const Clock& _clock;
    const int _handle;
    CSiteInfoPage _sitePage;
    CArchivingScheduleInfoPage _schedulePage;
    StorageManagerOpener _openStorageManager;
    bool _attached = false;
    bool _applying = false;
    uint32_t _lastRefreshTick = 0;
    // Fields the native side changed (load, Apply): the page takes them again.
    int _revision = 0;
    // A field to focus after a refusal: {page, field, select, seq}.
    nlohmann::json _focus;
    int _focusSeq = 0;
};

} // namespace ostrel
