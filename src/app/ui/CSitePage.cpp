#include "app/ui/CSitePage.h"

#include "app/persistence/SiteContainer.h"
#include "app/ui/CScheduleWizard.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace ostrel {

CSitePage::CSitePage(CScheduleWizard& wizard, const SiteContainer& sites)
    : CScheduleWizardPage(wizard), _sites(sites) {
    _held = {_name, _address, _port, _user, _password};
}

nlohmann::json CSitePage::state() const {
    // The password stays here: a page that connects later must not read it.
    return {{"name", _name},
            {"address", _address},
            {"port", _port},
            {"user", _user},
            {"users", nlohmann::json(std::vector<std::string>(Users.begin(), Users.end()))},
            {"passwordSet", !_password.empty()}};
}

void CSitePage::apply(const nlohmann::json& values) {
    takeText(values, "name", _name);
    takeText(values, "address", _address);
    takeText(values, "port", _port);
    takeText(values, "user", _user);
    takeText(values, "password", _password);
}

bool CSitePage::canGoOn() const {
    return !_name.empty() && !_address.empty() && !_port.empty() && !_user.empty();
}

std::string CSitePage::forbiddenCharactersText() {
    std::string text = "Name must not contain such characters : ";
    for (const char* c = ForbiddenCharacters; *c; ++c) {
        text += *c;
        text += ' ';
    }
    text.pop_back();
    return text;
}

std::string CSitePage::nameError(const std::string& name) {
    if (name.find_first_of(ForbiddenCharacters) != std::string::npos) {
        return forbiddenCharactersText();
    }
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f) {
            return ControlCharacterText;
        }
    }
    if (name == "." || name == "..") {
        return DotNameText;
    }
    return {};
}

std::optional<uint16_t> CSitePage::parsePort(const std::string& text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        port = port * 10 + (c - '0');
    }
    if (port < MinimumPort || port > MaximumPort) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(port);
}

bool CSitePage::isAddress(const std::string& address) {
    // Host names (letters, digits, "-", "_", dots) cover the dotted IPv4 form too.
    if (address.empty() || address.size() > 253 || address.front() == '.' || address.front() == '-') {
        return false;
    }
    for (unsigned char c : address) {
        if (!std::isalnum(c) && c != '.' && c != '-' && c != '_') {
            return false;
        }
    }
    return address.find("..") == std::string::npos;
}

std::string CSitePage::address() const {
    const auto first = _address.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = _address.find_last_not_of(" \t");
    return _address.substr(first, last - first + 1);
}

bool CSitePage::takeChanged() {
    const bool changed = _changed;
    _changed = false;
    return changed;
}

void CSitePage::onWizardNext(std::function<void()> proceed) {
    if (!canGoOn()) {
        return;
    }
    if (const std::string error = nameError(_name); !error.empty()) {
        _wizard.showError(error, "name", false);
        return;
    }
    if (_sites.findByName(_name) != nullptr) {
        _wizard.ask(DuplicateNameText, MessageIcon::Warning, [this, proceed](int answer) {
            if (answer == Answer::Yes) {
                checkPortAndAddress(proceed);
            }
        });
        return;
    }
    checkPortAndAddress(proceed);
}

void CSitePage::checkPortAndAddress(const std::function<void()>& proceed) {
    if (!parsePort(_port)) {
        char text[80];
        std::snprintf(text, sizeof text, PortRangeText, MinimumPort, MaximumPort);
        _wizard.showError(text, "port", true);
        return;
    }
    if (!isAddress(address())) {
        _wizard.showError(AddressText, "address", true);
        return;
    }
    const std::array<std::string, 5> now{_name, address(), _port, _user, _password};
    if (now != _held) {
        _changed = true;
        _held = now;
    }
    proceed();
}

} // namespace ostrel
