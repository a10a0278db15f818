#pragma once

#include "app/ui/CTidevaultDoc.h"
#include "app/ui/DialogController.h"
#include "app/ui/DialogHost.h"
#include "base/Clock.h"
#include "base/UniqueID.h"

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace ostrel {

class CArchivingSchedulePage;
class CQuickStoragePage;
class CScheduleWizardPage;
class CScheduleWizardWorker;
class CSchedulePage;
class CSitePage;
class ControllerThread;
class SiteContainer;

// The schedule wizard: four pages that collect what a new site needs (how to
// reach it, where archiving starts, when it runs, where its storage group
// lies), Back/Next on pages 1 to 3 and Back/Finish on page 4. Finish hands
// the values to the document's new-schedule path; the storage files are made
// on the wizard's own thread while page 4 shows the progress, and the wizard
// closes once the site exists.
//
// The page sends the current page's fields with each call, as
// {page: index, values: {...}}; a call for a page that is no longer shown
// (another browser, a double click) changes nothing.
class CScheduleWizard : public DialogController, public std::enable_shared_from_this<CScheduleWizard> {
public:
    static constexpr int PageCount = 4;
    static constexpr const char* CreatingText = "Creating storage files... %d / %d";
    static constexpr const char* CreatingGroupText = "Creating the storage group file...";

    CScheduleWizard(CTidevaultDoc& document, const SiteContainer& sites, ControllerThread& controller,
                    const Clock& clock = Clock::system(),
                    std::chrono::milliseconds queryTimeout = std::chrono::seconds(30));
    ~CScheduleWizard() override;

    std::string kind() const override { return "scheduleWizard"; }
    nlohmann::json state() const override;
    // "change", "next", "back", "finish", "load" (page 2) and "browse" (page 4's "..."),
    // each with {page, values}.
    nlohmann::json call(const std::string& function, const nlohmann::json& args) override;
    // Cancel: closes the wizard, except while the storages are being made.
    void cancel() override;

    int pageIndex() const { return _index; }
    CSitePage& sitePage() { return *_site; }
    CSchedulePage& schedulePage() { return *_schedule; }
    CArchivingSchedulePage& archivingSchedulePage() { return *_archiving; }
    CQuickStoragePage& storagePage() { return *_storage; }
    const UniqueID& siteId() const { return _siteId; }
    const Clock& clock() const { return _clock; }
    CTidevaultDoc& document() { return _document; }
    // Whether Finish is making the schedule and its storages.
    bool isBusy() const { return _busy; }
    // The new site's schedule handle once Finish has made it, else -1.
    int createdHandle() const { return _createdHandle; }
    // What Finish hands to the document.
    NewScheduleRequest request() const;

    // ---- for the pages ----
    // An error message box; the field gets the focus (its text selected) when it is closed.
    void showError(const std::string& text, const std::string& field, bool select);
    // A Yes/No question; `then` runs with the answer while the wizard is open.
    void ask(const std::string& text, MessageIcon icon, std::function<void(int answer)> then);
    // Where dialogs over the wizard open (the file chooser); null once closed.
    DialogHost* dialogHost() const { return host(); }
    // Runs `then` on the controller thread while the wizard is open.
    std::function<void()> whileOpen(std::function<void()> then);
    void refresh() { update(); }
    // Page 2's "Load": asks the site of page 1 through the wizard's client.
    void queryRecordings(int generation);
    // Page 4 passed its checks: begin the schedule and make its storages.
    void createSchedule();

private:
    CScheduleWizardPage& page() const { return *_pages[static_cast<std::size_t>(_index)]; }
    void goTo(int index);
    void closeWizard();
    CScheduleWizardWorker& worker();
    void showProgress(int index, int count, const std::string& path);
    void created(int handle, const NewScheduleRequest& request, const StorageGroupBuild& build);

    CTidevaultDoc& _document;
    const SiteContainer& _sites;
    ControllerThread& _controller;
    const Clock& _clock;
    const std::chrono::milliseconds _queryTimeout;
    const UniqueID _siteId;
    std::unique_ptr<CSitePage> _site;
    std::unique_ptr<CSchedulePage> _schedule;
    std::unique_ptr<CArchivingSchedulePage> _archiving;
    std::unique_ptr<CQuickStoragePage> _storage;
    std::array<CScheduleWizardPage*, PageCount> _pages{};
    int _index = 0;

    std::shared_ptr<CScheduleWizardWorker> _worker;

    bool _busy = false;
    int _progressIndex = 0;
    int _progressCount = 0;
    std::string _progressPath;
    int _createdHandle = -1;

    // A field the page focuses once (each request has a new serial).
    std::string _focusField;
    bool _focusSelect = false;
    int _focusSerial = 0;
};

} // namespace ostrel
