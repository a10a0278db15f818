#include "app/ui/MessageBoxDialog.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace ostrel {

MessageBoxDialog::MessageBoxDialog(std::string text, MessageIcon icon, MessageButtons buttons,
                                   DialogHost::CheckContinuation then)
    : _text(std::move(text)), _icon(icon), _buttons(buttons), _then(std::move(then)) {}

MessageBoxDialog::MessageBoxDialog(std::string text, std::string checkText, bool checked, MessageIcon icon,
                                   MessageButtons buttons, DialogHost::CheckContinuation then)
    : _text(std::move(text)), _icon(icon), _buttons(buttons), _hasCheck(true), _checkText(std::move(checkText)),
      _checked(checked), _then(std::move(then)) {}

const char* MessageBoxDialog::iconName(MessageIcon icon) {
    switch (icon) {
    case MessageIcon::Error:
        return "error";
    case MessageIcon::Warning:
        return "warning";
    case MessageIcon::Question:
        return "question";
    case MessageIcon::Information:
        return "information";
    case MessageIcon::None:
        break;
    }
    return "";
}

std::vector<int> MessageBoxDialog::answers() const {
    switch (_buttons) {
    case MessageButtons::OK:
        return {Answer::OK};
    case MessageButtons::OKCancel:
        return {Answer::OK, Answer::Cancel};
    case MessageButtons::YesNo:
        return {Answer::Yes, Answer::No};
    case MessageButtons::YesNoCancel:
        return {Answer::Yes, Answer::No, Answer::Cancel};
    }
    return {Answer::OK};
}

nlohmann::json MessageBoxDialog::state() const {
    static const std::map<int, const char*> labels{
        {Answer::OK, "OK"}, {Answer::Cancel, "Cancel"}, {Answer::Yes, "Yes"}, {Answer::No, "No"}};
    nlohmann::json buttons = nlohmann::json::array();
    for (int answer : answers()) {
        buttons.push_back({{"answer", answer}, {"text", labels.at(answer)}});
    }
    nlohmann::json state{{"caption", DialogHost::Caption}, {"text", _text}, {"icon", iconName(_icon)},
                         {"buttons", buttons}};
    if (_hasCheck) {
        state["checkBox"] = {{"text", _checkText}, {"checked", _checked}};
    }
    return state;
}

nlohmann::json MessageBoxDialog::call(const std::string& function, const nlohmann::json& args) {
    if (function != "answer" || !args.is_object() || !args.contains("button") || !args["button"].is_number_integer()) {
        throw std::invalid_argument("a message box takes only answer {button, checked}");
    }
    const int answer = args["button"].get<int>();
    const auto all = answers();
    if (std::find(all.begin(), all.end(), answer) == all.end()) {
        throw std::invalid_argument("no such button");
    }
    bool checked = _checked;
    if (_hasCheck && args.contains("checked") && args["checked"].is_boolean()) {
        checked = args["checked"].get<bool>();
    }
    finish(answer, checked);
    return true;
}

void MessageBoxDialog::cancel() {
    const auto all = answers();
    int answer = all.back();
    if (_buttons == MessageButtons::YesNoCancel) {
        answer = Answer::Cancel;
    }
    finish(answer, _checked);
}

void MessageBoxDialog::finish(int answer, bool checked) {
    if (!isOpen()) {
        return;
    }
    close();
    // The continuation may open the next box; this one is already gone.
    if (_then) {
        auto then = std::move(_then);
        then(answer, checked);
    }
}

} // namespace ostrel
