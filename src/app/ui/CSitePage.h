#pragma once

#include "app/ui/CScheduleWizardPage.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace ostrel {

class SiteContainer;

// Schedule wizard page 1 "Site": how to reach the site. Name (default
// "New Site"), Address, Playback Port (default "10102"), User (a combo of
// "Administrator", "Admin" and "User" that also takes any text) and Password.
// Next is enabled when Name, Address, Port and User are not empty; it checks,
// in this order, the name's characters, a site of the same name (a question),
// the port range and the address.
class CSitePage : public CScheduleWizardPage {
public:
    static constexpr const char* Title = "Schedule Wizard : 1. Site";
    static constexpr const char* DefaultName = "New Site";
    static constexpr const char* DefaultPort = "10102";
    static constexpr int MinimumPort = 1501;
    static constexpr int MaximumPort = 32001;
    // The characters a name may not hold (it names the site's folder and files).
    static constexpr const char* ForbiddenCharacters = "\\/:*?\"<>|";
    static constexpr std::array<const char*, 3> Users{"Administrator", "Admin", "User"};

    static constexpr const char* DuplicateNameText = "There is a site with same name. Will you continue anyway?";
    static constexpr const char* PortRangeText = "Playback port must be between %d ~ %d.";
    static constexpr const char* DotNameText = "Name must not be \".\" or \"..\".";
    static constexpr const char* ControlCharacterText = "Name must not contain control characters.";
    static constexpr const char* AddressText = "Address must be a host name or an IPv4 address.";

    CSitePage(CScheduleWizard& wizard, const SiteContainer& sites);

    const char* title() const override { return Title; }
    const char* name() const override { return "site"; }
    nlohmann::json state() const override;
    // "name", "address", "port", "user", "password" (texts).
    void apply(const nlohmann::json& values) override;
    bool canGoOn() const override;
    void onWizardNext(std::function<void()> proceed) override;

    // "Name must not contain such characters : \ / : * ? " < > |"
    static std::string forbiddenCharactersText();
    // The message that refuses a name ("" when it may be used): one of the
    // nine characters, a control character, or "." or ".." (the name becomes
    // a folder and file names, which must stay inside the storages folder).
    static std::string nameError(const std::string& name);
    // The port of a text of 1 to 5 digits within 1501 to 32001.
    static std::optional<uint16_t> parsePort(const std::string& text);
    // Whether an address (already trimmed) is a host name or a dotted IPv4 address.
    static bool isAddress(const std::string& address);

    const std::string& siteName() const { return _name; }
    std::string address() const;
    uint16_t port() const { return parsePort(_port).value_or(0); }
    const std::string& user() const { return _user; }
    const std::string& password() const { return _password; }
    // Whether the values changed since the page was left before (set by
    // Next); reading it clears it.
    bool takeChanged();

private:
    void checkPortAndAddress(const std::function<void()>& proceed);

    const SiteContainer& _sites;
    std::string _name = DefaultName;
    std::string _address;
    std::string _port = DefaultPort;
    std::string _user;
    std::string _password;
    // The values when the page was last left with Next.
    std::array<std::string, 5> _held;
    bool _changed = false;
};

} // namespace ostrel
