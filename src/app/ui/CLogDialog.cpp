#include "app/ui/CLogDialog.h"

#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteContainer.h"
#include "app/persistence/SystemLog.h"
#include "app/persistence/SystemLogger.h"
#include "app/ui/CSiteListView.h"
#include "app/ui/DialogHost.h"
#include "base/DateTime.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace ostrel {

namespace {
const Date EarliestDay(1970, 1, 1);
const Date LatestDay(2100, 12, 31);

std::string lowered(const std::string& text) {
    std::string out = text;
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}
} // namespace

CLogDialog::CLogDialog(SiteContainer& sites, SystemLogger& logger, const Clock& clock)
    : _sites(sites), _logger(logger) {
    // The pickers start at today, as a date picker does.
    const DateTime now = clock.now();
    _from = Date(now.year(), now.month(), now.day());
    _to = _from;
}

void CLogDialog::initialize() {
    fillSites();
    _siteIndex = 0;
    search(0);
}

void CLogDialog::fillSites() {
    _choices.clear();
    for (const RecordSite* site : _sites.sites(true)) {
        _choices.push_back({site->name() + (site->deleted() ? Deleted : ""), site->id()});
    }
    // A sorted drop-down list: by text, letters of either case together.
    std::stable_sort(_choices.begin(), _choices.end(), [](const SiteChoice& a, const SiteChoice& b) {
        const std::string la = lowered(a.text);
        const std::string lb = lowered(b.text);
        return la != lb ? la < lb : a.text < b.text;
    });
    _choices.insert(_choices.begin(), SiteChoice{AllSites, std::nullopt});
}

std::vector<std::string> CLogDialog::siteChoices() const {
    std::vector<std::string> texts;
    for (const SiteChoice& choice : _choices) {
        texts.push_back(choice.text);
    }
    return texts;
}

std::string CLogDialog::siteText(const UniqueID& owner) const {
    const RecordSite* site = _sites.findById(owner);
    if (!site) {
        return UnknownSite;
    }
    return site->name() + (site->deleted() ? Deleted : "");
}

std::string CLogDialog::messageText(const SystemLog& entry) {
    std::string text = entry.codeText();
    if (!entry.text().empty()) {
        text += " : " + entry.text();
    }
    return text;
}

std::optional<Date> CLogDialog::parseDate(const std::string& text) {
    const auto time = DateTime::parse(text + " 00:00:00");
    if (!time || text.find(' ') != std::string::npos) {
        return std::nullopt;
    }
    return time->date();
}

void CLogDialog::search(int siteIndex) {
    if (siteIndex < 0 || siteIndex >= static_cast<int>(_choices.size())) {
        siteIndex = 0;
    }
    const Date first = _fromChecked ? _from : EarliestDay;
    const Date last = _toChecked ? _to : LatestDay;
    _logger.query(first, last, _choices.empty() ? std::nullopt : _choices[siteIndex].id);
    _entries.clear();
    const auto& loaded = _logger.entries();
    _entries.reserve(loaded.size());
    for (auto it = loaded.rbegin(); it != loaded.rend(); ++it) {
        const SystemLog& entry = it->second;
        _entries.push_back({entry.level(), CSiteListView::timeText(entry.time()), entry.owner(), messageText(entry)});
    }
    firstPage();
}

void CLogDialog::searchButton() {
    search(_siteIndex);
    if (_entries.empty() && host()) {
        host()->messageBox(NoDataFound, MessageIcon::Information);
    }
}

int CLogDialog::pageCount() const {
    const int entries = static_cast<int>(_entries.size());
    return std::max(1, (entries + PageSize - 1) / PageSize);
}

std::string CLogDialog::pageLabel() const {
    if (_page == 0) {
        return "/";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%d / %d", _page, pageCount());
    return text;
}

void CLogDialog::showPage(int page) {
    _page = page;
    _rows.clear();
    const std::size_t begin = static_cast<std::size_t>(page - 1) * PageSize;
    const std::size_t end = std::min(_entries.size(), begin + PageSize);
    for (std::size_t i = begin; i < end; ++i) {
        const Entry& entry = _entries[i];
        _rows.push_back({SystemLog::levelName(entry.level), entry.time, siteText(entry.owner), entry.message});
    }
}

void CLogDialog::firstPage() { showPage(1); }

void CLogDialog::nextPage() {
    if (_page >= pageCount()) {
        return; // the last page is on screen
    }
    showPage(_page + 1);
}

void CLogDialog::previousPage() {
    if (_page < 2) {
        return;
    }
    showPage(_page - 1);
}

void CLogDialog::lastPage() {
    if (_entries.empty()) {
        return;
    }
    // The oldest (entries mod 100) entries, or 100 when that is 0.
    showPage(pageCount());
}

nlohmann::json CLogDialog::state() const {
    nlohmann::json rows = nlohmann::json::array();
    for (const Row& row : _rows) {
        rows.push_back({"", row.level, row.time, row.site, row.message});
    }
    nlohmann::json columns = nlohmann::json::array();
    const std::pair<const char*, const char*> headers[] = {
        {"", "center"}, {"Level", "center"}, {"Time", "center"}, {"Site", "center"}, {"Message", "left"}};
    const int widths[] = {0, 60, 180, 180, -1};
    for (int i = 0; i < 5; ++i) {
        columns.push_back({{"header", headers[i].first}, {"width", widths[i]}, {"align", headers[i].second}});
    }
    return {{"title", std::string(TitlePrefix) + VersionText},
            {"fromChecked", _fromChecked},
            {"fromEnabled", _fromChecked},
            {"from", _from.toString()},
            {"toChecked", _toChecked},
            {"toEnabled", _toChecked},
            {"to", _to.toString()},
            {"sites", siteChoices()},
            {"site", _siteIndex},
            {"columns", columns},
            {"rows", rows},
            {"page", pageLabel()},
            {"firstEnabled", firstEnabled()},
            {"previousEnabled", previousEnabled()},
            {"nextEnabled", nextEnabled()},
            {"lastEnabled", lastEnabled()},
            {"revision", _revision}};
}

nlohmann::json CLogDialog::call(const std::string& function, const nlohmann::json& args) {
    if (function == "edit") {
        if (!args.is_object()) {
            throw std::invalid_argument("edit takes an object");
        }
        bool fromChecked = _fromChecked;
        bool toChecked = _toChecked;
        Date from = _from;
        Date to = _to;
        int site = _siteIndex;
        for (const auto& [key, value] : args.items()) {
            if (key == "fromChecked" || key == "toChecked") {
                if (!value.is_boolean()) {
                    throw std::invalid_argument(key + " is true or false");
                }
                (key == "fromChecked" ? fromChecked : toChecked) = value.get<bool>();
            } else if (key == "from" || key == "to") {
                const auto date = value.is_string() ? parseDate(value.get<std::string>()) : std::nullopt;
                if (!date) {
                    throw std::invalid_argument(key + " is written yyyy/MM/dd");
                }
                (key == "from" ? from : to) = *date;
            } else if (key == "site") {
                if (!value.is_number_integer() || value.get<int>() < 0 ||
                    value.get<int>() >= static_cast<int>(_choices.size())) {
                    throw std::invalid_argument("no such site in the list");
                }
                site = value.get<int>();
            } else {
                throw std::invalid_argument("the log has no field " + key);
            }
        }
        const bool enablingChanged = fromChecked != _fromChecked || toChecked != _toChecked;
        _fromChecked = fromChecked;
        _toChecked = toChecked;
        _from = from;
        _to = to;
        _siteIndex = site;
        if (enablingChanged) {
            update(); // the pickers' enabling follows the check boxes
        }
        return state();
    }
    if (function == "search") {
        searchButton();
    } else if (function == "first") {
        firstPage();
    } else if (function == "previous") {
        previousPage();
    } else if (function == "next") {
        nextPage();
    } else if (function == "last") {
        lastPage();
    } else {
        return DialogController::call(function, args);
    }
    update();
    return true;
}

} // namespace ostrel
