#include "app/ui/MenuDialog.h"

#include <cstdio>
#include <stdexcept>

namespace ostrel {

MenuDialog::MenuDialog(std::string name, int x, int y, std::vector<Item> items, std::function<void(int)> choose)
    : _name(std::move(name)), _x(x), _y(y), _items(std::move(items)), _choose(std::move(choose)) {}

nlohmann::json MenuDialog::state() const {
    nlohmann::json items = nlohmann::json::array();
    for (const auto& item : _items) {
        items.push_back(
            {{"command", item.command}, {"text", item.text}, {"enabled", item.enabled}, {"default", item.isDefault}});
    }
    return {{"name", _name}, {"x", _x}, {"y", _y}, {"items", items}};
}

nlohmann::json MenuDialog::call(const std::string& function, const nlohmann::json& args) {
    if (function != "choose" || !args.is_object() || !args.contains("command") ||
        !args["command"].is_number_integer()) {
        throw std::invalid_argument("a menu takes only choose {command}");
    }
    const int command = args["command"].get<int>();
    close();
    for (const auto& item : _items) {
        if (item.command == command && item.enabled) {
            if (_choose) {
                _choose(command);
            }
            return true;
        }
    }
    return false;
}

nlohmann::json ProgressDialog::state() const {
    char counter[32] = "";
    if (_total > 0) {
        std::snprintf(counter, sizeof counter, "%d / %d", _position, _total);
    }
    return {{"title", _title}, {"text", _text}, {"position", _position}, {"total", _total}, {"counter", counter}};
}

void ProgressDialog::setText(const std::string& text) {
    _text = text;
    update();
}

void ProgressDialog::setPosition(int position, int total) {
    _position = position;
    _total = total;
    update();
}

} // namespace ostrel
