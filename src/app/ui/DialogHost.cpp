#include "app/ui/DialogHost.h"

#include "app/ui/MessageBoxDialog.h"
#include "app/ui/PageHub.h"

namespace ostrel {

DialogHost::DialogHost(PageHub& pages) : _pages(pages) {}

DialogHost::~DialogHost() {
    for (auto& [id, dialog] : _dialogs) {
        dialog->_host = nullptr;
    }
}

int DialogHost::open(std::shared_ptr<DialogController> dialog) {
    const int id = _nextId++;
    dialog->_host = this;
    dialog->_id = id;
    _dialogs[id] = dialog;
    _pages.run("dialog.open", nlohmann::json::array({id, dialog->kind(), dialog->state()}));
    return id;
}

void DialogHost::update(int id) {
    auto it = _dialogs.find(id);
    if (it != _dialogs.end()) {
        _pages.run("dialog.update", nlohmann::json::array({id, it->second->state()}));
    }
}

void DialogHost::close(int id) {
    auto it = _dialogs.find(id);
    if (it == _dialogs.end()) {
        return;
    }
    it->second->_host = nullptr;
    _dialogs.erase(it);
    _pages.run("dialog.close", nlohmann::json::array({id}));
}

std::optional<nlohmann::json> DialogHost::call(int id, const std::string& function, const nlohmann::json& args) {
    // Held for the call, so a dialog that closes itself lives until it returns.
    std::shared_ptr<DialogController> dialog = this->dialog(id);
    if (!dialog) {
        return std::nullopt;
    }
    if (function == "cancel") {
        dialog->cancel();
        return nlohmann::json(true);
    }
    return dialog->call(function, args);
}

int DialogHost::messageBox(const std::string& text, MessageIcon icon, MessageButtons buttons, Continuation then) {
    return open(std::make_shared<MessageBoxDialog>(text, icon, buttons, [then](int answer, bool) {
        if (then) {
            then(answer);
        }
    }));
}

int DialogHost::checkBox(const std::string& text, const std::string& checkText, bool checked, MessageIcon icon,
                         MessageButtons buttons, CheckContinuation then) {
    return open(std::make_shared<MessageBoxDialog>(text, checkText, checked, icon, buttons, std::move(then)));
}

std::shared_ptr<DialogController> DialogHost::dialog(int id) const {
    auto it = _dialogs.find(id);
    return it == _dialogs.end() ? nullptr : it->second;
}

std::vector<int> DialogHost::openIds() const {
    std::vector<int> ids;
    for (const auto& [id, dialog] : _dialogs) {
        ids.push_back(id);
    }
    return ids;
}

std::vector<std::string> DialogHost::snapshot() const {
    std::vector<std::string> events;
    for (const auto& [id, dialog] : _dialogs) {
        events.push_back(PageHub::encode("dialog.open", nlohmann::json::array({id, dialog->kind(), dialog->state()})));
    }
    return events;
}

void DialogHost::closeAll() {
    while (!_dialogs.empty()) {
        close(_dialogs.begin()->first);
    }
}

} // namespace ostrel
