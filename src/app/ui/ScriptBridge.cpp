#include "app/ui/ScriptBridge.h"

#include "app/ui/ControllerThread.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace ostrel {

namespace {
const char* const Functions[] = {"selected", "contextmenu", "launchInfo", "newSchedule",
                                 "startAll", "stopAll",     "storageManager", "log"};

int argument(const nlohmann::json& args, std::size_t index) {
    if (!args.is_array() || args.size() <= index) {
        return 0;
    }
    const auto& v = args[index];
    if (v.is_number()) {
        const double d = v.get<double>();
        return std::isfinite(d) && std::fabs(d) < INT_MAX ? static_cast<int>(d) : 0;
    }
    return 0;
}
} // namespace

ScriptBridge::ScriptBridge(ControllerThread& controller) : _controller(controller) {}

bool ScriptBridge::isFunction(const std::string& name) {
    for (const char* f : Functions) {
        if (name == f) {
            return true;
        }
    }
    return false;
}

int ScriptBridge::toHandle(const nlohmann::json& value) {
    if (value.is_number_integer()) {
        const auto n = value.get<int64_t>();
        return n >= INT_MIN && n <= INT_MAX ? static_cast<int>(n) : -1;
    }
    if (value.is_number_float()) {
        const double d = value.get<double>();
        return std::isfinite(d) && std::fabs(d) < INT_MAX ? static_cast<int>(d) : -1;
    }
    if (value.is_string()) {
        const std::string& s = value.get_ref<const std::string&>();
        if (s.empty()) {
            return -1;
        }
        errno = 0;
        char* end = nullptr;
        const long n = std::strtol(s.c_str(), &end, 10);
        if (errno != 0 || *end != '\0' || n < INT_MIN || n > INT_MAX) {
            return -1;
        }
        return static_cast<int>(n);
    }
    return -1;
}

bool ScriptBridge::call(const std::string& name, const nlohmann::json& args) {
    if (name == "selected") {
        const int handle = args.is_array() && !args.empty() ? toHandle(args[0]) : -1;
        return _controller.send(Message{Msg::Selected, handle, 0});
    }
    if (name == "contextmenu") {
        return _controller.post(Message{Msg::ContextMenu, argument(args, 0), argument(args, 1)});
    }
    if (name == "launchInfo") {
        return _controller.post(Message{Msg::LaunchInfo, 0, 0});
    }
    int command = 0;
    if (name == "newSchedule") {
        command = Command::NewSchedule;
    } else if (name == "startAll") {
        command = Command::StartAll;
    } else if (name == "stopAll") {
        command = Command::StopAll;
    } else if (name == "storageManager") {
        command = Command::StorageManager;
    } else if (name == "log") {
        command = Command::Log;
    } else {
        return false;
    }
    return _controller.post(Message{Msg::Command, command, 0});
}

bool ScriptBridge::trayMenu(int x, int y) { return _controller.post(Message{Msg::TrayNotify, x, y}); }

std::string ScriptBridge::tooltip(const std::string& title) {
    std::string text = title;
    if (_tooltip) {
        _controller.send([&] { text = _tooltip(title); });
    }
    return text;
}

} // namespace ostrel
