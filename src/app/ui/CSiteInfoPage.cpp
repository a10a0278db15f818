#include "app/ui/CSiteInfoPage.h"

#include "app/persistence/RecordSite.h"
#include "app/persistence/SiteContainer.h"
#include "app/persistence/SystemLogger.h"
#include "app/scheduling/ArchivingSchedule.h"
#include "app/scheduling/ArchivingScheduler.h"
#include "app/scheduling/ConnectionInfo.h"
#include "app/scheduling/LogCodes.h"
#include "app/ui/CSiteListView.h"
#include "app/ui/CSitePage.h"
#include "app/ui/CTidevaultDoc.h"

#include <cstdio>
#include <stdexcept>

namespace ostrel {

namespace {
const char* const UserChoices[] = {"Administrator", "Admin", "User"};
} // namespace

CSiteInfoPage::CSiteInfoPage(CTidevaultDoc& document, SiteContainer& sites, ArchivingScheduler& scheduler,
                             SystemLogger& logger, int handle)
    : _document(document), _sites(sites), _scheduler(scheduler), _logger(logger), _handle(handle) {}

RecordSite* CSiteInfoPage::site() const { return _sites.findByHandle(_handle); }

void CSiteInfoPage::load() {
    if (RecordSite* s = site()) {
        _name = s->name();
        _address = s->address();
        _port = std::to_string(s->port());
        _user = s->username();
    }
    _password.clear();
    _passwordEdited = false;
    _pendingChoice = 0;
    _pendingTime = DateTime();
    refreshDisplay();
}

std::string CSiteInfoPage::sizeText(uint64_t bytes) {
    const uint64_t mb = bytes / 1000 / 1000;
    char text[64];
    if (mb < 1000) {
        std::snprintf(text, sizeof text, "%d MB", static_cast<int>(mb));
    } else {
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1e9);
    }
    return text;
}

std::string CSiteInfoPage::pendingText(int choice, const DateTime& time) {
    switch (choice) {
    case RecordSite::ArchiveFromFirst:
        return "(Scheduled from First)";
    case RecordSite::ArchiveFromLast:
        return "(Scheduled from Last)";
    case RecordSite::ArchiveFromTime:
        return "(Scheduled from " + CSiteListView::timeText(time) + ")";
    default:
        return "";
    }
}

bool CSiteInfoPage::refreshDisplay() {
    RecordSite* s = site();
    if (!s) {
        return false;
    }
    std::string period = NoData;
    if (ArchivingSchedule* schedule = _scheduler.schedule(_handle)) {
        const Interval interval = schedule->recordedInterval();
        if (interval.from().isSet() && interval.to().isSet()) {
            period = CSiteListView::timeText(interval.from()) + " ~ " + CSiteListView::timeText(interval.to());
        }
    }
    const std::string status = s->statusText();
    const std::string usage = sizeText(_scheduler.storageUsed(_handle)) + " / " +
                              sizeText(_scheduler.storageCapacity(_handle));
    const bool changed = period != _period || status != _status || usage != _usage;
    _period = period;
    _status = status;
    _usage = usage;
    return changed;
}

nlohmann::json CSiteInfoPage::state() const {
    nlohmann::json users = nlohmann::json::array();
    for (const char* user : UserChoices) {
        users.push_back(user);
    }
    // The password itself never goes to the page: an untouched edit shows the placeholder.
    return {{"title", Title},
            {"name", _name},
            {"address", _address},
            {"port", _port},
            {"user", _user},
            {"users", users},
            {"passwordEdited", _passwordEdited},
            {"passwordPlaceholder", PasswordPlaceholder},
            {"period", _period},
            {"status", _status},
            {"usage", _usage},
            {"pending", pendingText(_pendingChoice, _pendingTime)}};
}

void CSiteInfoPage::edit(const nlohmann::json& fields) {
    if (!fields.is_object()) {
        throw std::invalid_argument("the site page's fields are an object");
    }
    for (const auto& [key, value] : fields.items()) {
        if (!value.is_string()) {
            throw std::invalid_argument("the site page's fields are texts");
        }
        if (key != "name" && key != "address" && key != "port" && key != "user" && key != "password") {
            throw std::invalid_argument("the site page has no field " + key);
        }
    }
    for (const auto& [key, value] : fields.items()) {
        const std::string text = value.get<std::string>();
        if (key == "name") {
            _name = text;
        } else if (key == "address") {
            _address = text;
        } else if (key == "port") {
            _port = text;
        } else if (key == "user") {
            _user = text;
        } else {
            _password = text;
            _passwordEdited = true;
        }
    }
}

std::string CSiteInfoPage::nameRefusal(const std::string& name) {
    // The schedule wizard's rules, so a site can be named on its sheet what
    // the wizard would have let it be named.
    return CSitePage::nameError(name);
}

std::string CSiteInfoPage::trimmedAddress() const {
    const auto first = _address.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return _address.substr(first, _address.find_last_not_of(" \t") - first + 1);
}

long CSiteInfoPage::parsePort(const std::string& text) {
    if (text.empty() || text.size() > 9) {
        return -1;
    }
    long port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return -1;
        }
        port = port * 10 + (c - '0');
    }
    return port;
}

std::optional<CSiteInfoPage::Refusal> CSiteInfoPage::validate() const {
    if (_name.empty()) {
        return Refusal{"Site Name cannot be empty.", "name", false};
    }
    if (std::string why = nameRefusal(_name); !why.empty()) {
        return Refusal{why, "name", false};
    }
    const std::string address = trimmedAddress();
    if (address.empty()) {
        return Refusal{"Address cannot be empty.", "address", false};
    }
    if (!CSitePage::isAddress(address)) {
        return Refusal{CSitePage::AddressText, "address", true};
    }
    const long port = parsePort(_port);
    if (port < MinimumPort || port > MaximumPort) {
        char text[80];
        std::snprintf(text, sizeof text, "Playback port must be between %d ~ %d.", MinimumPort, MaximumPort);
        return Refusal{text, "port", true};
    }
    if (_user.empty()) {
        return Refusal{"User cannot be empty.", "user", false};
    }
    return std::nullopt;
}

bool CSiteInfoPage::isModified() const {
    RecordSite* s = site();
    if (!s) {
        return false;
    }
    return _name != s->name() || _address != s->address() || _port != std::to_string(s->port()) ||
           _user != s->username() || _passwordEdited || _pendingChoice != 0;
}

void CSiteInfoPage::setPending(int choice, const DateTime& time) {
    _pendingChoice = choice;
    _pendingTime = time;
}

bool CSiteInfoPage::apply() {
    RecordSite* s = site();
    if (!s) {
        return false;
    }
    const uint16_t port = static_cast<uint16_t>(parsePort(_port));
    _address = trimmedAddress();
    const bool connectionChanged = _address != s->address() || port != s->port() || _user != s->username() ||
                                   (_passwordEdited && _password != s->password());

    // Each change goes to the log; the password never does.
    const UniqueID id = s->id();
    auto logChange = [&](int code, const std::string& from, const std::string& to) {
        if (from != to) {
            _logger.log(id, code, from + " -> " + to);
        }
    };
    logChange(LogCode::SiteNameChanged, s->name(), _name);
    logChange(LogCode::SiteAddressChanged, s->address(), _address);
    logChange(LogCode::UsernameChanged, s->username(), _user);
    if (port != s->port()) {
        char text[32];
        std::snprintf(text, sizeof text, "%d -> %d", static_cast<int>(s->port()), static_cast<int>(port));
        _logger.log(id, LogCode::PlaybackPortChanged, text);
    }

    const ConnectionInfo connection{_address, port, _user, _passwordEdited ? _password : s->password()};
    _document.rename(_handle, _name);
    if (connectionChanged && _pendingChoice != 0) {
        _document.updateSiteAndReschedule(_handle, connection, _pendingChoice, _pendingTime);
    } else if (connectionChanged) {
        _document.updateSite(_handle, connection);
    } else if (_pendingChoice != 0) {
        _document.reschedule(_handle, _pendingChoice, _pendingTime);
    }
    load();
    return true;
}

} // namespace ostrel
