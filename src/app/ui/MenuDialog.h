#pragma once

#include "app/ui/DialogController.h"

#include <functional>
#include <string>
#include <vector>

namespace ostrel {

// A pop-up menu in the page (the row context menu, the application menu): the
// page shows it at the point where it was asked for; choosing an enabled item
// runs its command, anything else just closes it.
class MenuDialog : public DialogController {
public:
    struct Item {
        int command;
        std::string text;
        bool enabled;
        bool isDefault = false;
    };

    MenuDialog(std::string name, int x, int y, std::vector<Item> items, std::function<void(int command)> choose);

    std::string kind() const override { return "menu"; }
    nlohmann::json state() const override;
    // "choose" {command}.
    nlohmann::json call(const std::string& function, const nlohmann::json& args) override;

    const std::vector<Item>& items() const { return _items; }

private:
    std::string _name;
    int _x;
    int _y;
    std::vector<Item> _items;
    std::function<void(int)> _choose;
};

// A dialog of a later version shown as a note that it is not there yet.
class PlaceholderDialog : public DialogController {
public:
    PlaceholderDialog(std::string title, std::string text) : _title(std::move(title)), _text(std::move(text)) {}
    std::string kind() const override { return "placeholder"; }
    nlohmann::json state() const override { return {{"title", _title}, {"text", _text}}; }

private:
    std::string _title;
    std::string _text;
};

// The modal progress dialog of a long start-up step: a text line, a "%d / %d"
// line and a bar. It cannot be dismissed; its work closes it.
class ProgressDialog : public DialogController {
public:
    explicit ProgressDialog(std::string title) : _title(std::move(title)) {}
    std::string kind() const override { return "progress"; }
    nlohmann::json state() const override;
    void cancel() override {}

    void setText(const std::string& text);
    void setPosition(int position, int total);
    void finish() { close(); }

private:
    std::string _title;
    std::string _text;
    int _position = 0;
    int _total = 0;
};

} // namespace ostrel
