#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <string>

namespace ostrel {

class ControllerThread;

// The native side of the page's script extension: the eight cef.archiver.*
// functions, reached as POST requests of the same names. Each only hands a
// message to the controller thread ("selected" is sent, the others posted),
// as the extension handler did with the main view's window.
class ScriptBridge {
public:
    explicit ScriptBridge(ControllerThread& controller);

    // The names the page may call.
    static bool isFunction(const std::string& name);
    // Runs the function; false (and nothing happens) for any other name or
    // when the application is shutting down.
    bool call(const std::string& name, const nlohmann::json& args);
    // The tray icon of the page (its application menu button) at client point x, y.
    bool trayMenu(int x, int y);

    // Replaces a tooltip text the page asks for ("indicator 3", "statusBar 3",
    // "period 3"); other texts come back unchanged. Resolved on the controller thread.
    void setTooltipResolver(std::function<std::string(const std::string&)> resolver) {
        _tooltip = std::move(resolver);
    }
    std::string tooltip(const std::string& title);

    // "3", 3 or 3.0 → 3; anything else → -1.
    static int toHandle(const nlohmann::json& value);

private:
    ControllerThread& _controller;
    std::function<std::string(const std::string&)> _tooltip;
};

} // namespace ostrel
