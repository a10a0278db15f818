#pragma once

#include "app/ui/DialogController.h"
#include "base/Clock.h"
#include "base/Date.h"
#include "base/UniqueID.h"

#include <optional>
#include <string>
#include <vector>

namespace ostrel {

class DialogHost;
class SiteContainer;
class SystemLog;
class SystemLogger;

// "Log": the system log, newest first, one hundred entries a page, narrowed
// to a range of days (" From :" and " To :") and to one site or "(All Sites)"
// (deleted sites included, marked "(deleted)"). Searching runs the logger's
// query; the dialog keeps its own copy of the result, so another reader of the
// log cannot change the pages under it.
class CLogDialog : public DialogController {
public:
    static constexpr const char* TitlePrefix = "Log - ";
    // The application's version text, shown in the title.
    static constexpr const char* VersionText = "Ostrel 1.0";
    static constexpr const char* AllSites = "(All Sites)";
    static constexpr const char* Deleted = "(deleted)";
    // The Site column of an entry whose site is not among the known sites.
    static constexpr const char* UnknownSite = "(unknown site)";
    static constexpr const char* NoDataFound = "No data found.";
    static constexpr int PageSize = 100;

    // One row of the list as the page shows it.
    struct Row {
        std::string level;
        std::string time;
        std::string site;
        std::string message;
    };

    CLogDialog(SiteContainer& sites, SystemLogger& logger, const Clock& clock = Clock::system());

    // Fills the site combo and shows the first page of every entry of every
    // site; call once before the dialog opens.
    void initialize();

    std::string kind() const override { return "log"; }
    nlohmann::json state() const override;
    // "edit" {fromChecked, from ("yyyy/MM/dd"), toChecked, to, site (combo index)},
    // "search", "first", "previous", "next", "last".
    nlohmann::json call(const std::string& function, const nlohmann::json& args) override;

    // Queries the log for the chosen days and the site at `siteIndex`
    // (0: all sites), then shows the first page.
    void search(int siteIndex);
    // The "Search" button: search with the chosen site, then "No data found."
    // when nothing was found.
    void searchButton();
    void firstPage();
    void previousPage();
    void nextPage();
    void lastPage();

    int currentPage() const { return _page; }
    int pageCount() const;
    std::string pageLabel() const;
    const std::vector<Row>& rows() const { return _rows; }
    std::vector<std::string> siteChoices() const;
    bool firstEnabled() const { return _page > 1; }
    bool previousEnabled() const { return _page > 1; }
    bool nextEnabled() const { return _page < pageCount(); }
    bool lastEnabled() const { return _page < pageCount(); }
    std::size_t entryCount() const { return _entries.size(); }

    // The Site column for an owner: its name, "(deleted)" appended for a
    // deleted site, UnknownSite when no site has that identifier.
    std::string siteText(const UniqueID& owner) const;
    // The Message column: the code's text, and " : " with the entry's text when it has one.
    static std::string messageText(const SystemLog& entry);
    // "yyyy/MM/dd" into a date; nullopt for anything else.
    static std::optional<Date> parseDate(const std::string& text);

private:
    struct Entry {
        int level;
        std::string time;
        UniqueID owner;
        std::string message;
    };
    struct SiteChoice {
        std::string text;
        std::optional<UniqueID> id;
    };

    void fillSites();
    void showPage(int page);

    SiteContainer& _sites;
    SystemLogger& _logger;

    bool _fromChecked = false;
    Date _from;
    bool _toChecked = false;
    Date _to;
    int _siteIndex = 0;
    std::vector<SiteChoice> _choices;

    // The last result, newest first, and the page on screen (from 1).
    std::vector<Entry> _entries;
    int _page = 0;
    std::vector<Row> _rows;
    // The pickers changed on the native side: the page takes their values again.
    int _revision = 0;
};

} // namespace ostrel
