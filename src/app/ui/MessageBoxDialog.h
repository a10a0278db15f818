#pragma once

#include "app/ui/DialogHost.h"

namespace ostrel {

// The application's message box: caption "Ostrel", an icon, a text, optional
// check box, buttons. Its answer goes to the continuation of the code that asked.
class MessageBoxDialog : public DialogController {
public:
    MessageBoxDialog(std::string text, MessageIcon icon, MessageButtons buttons,
                     DialogHost::CheckContinuation then);
    // With a check box.
    MessageBoxDialog(std::string text, std::string checkText, bool checked, MessageIcon icon,
                     MessageButtons buttons, DialogHost::CheckContinuation then);

    std::string kind() const override { return "messageBox"; }
    nlohmann::json state() const override;
    // "answer" {button: 1|2|6|7, checked: bool}: ends the box, runs the continuation.
    nlohmann::json call(const std::string& function, const nlohmann::json& args) override;
    // Escape: Cancel when the box has it, No for Yes/No, OK for OK alone.
    void cancel() override;

    const std::string& text() const { return _text; }
    static const char* iconName(MessageIcon icon);

private:
    void finish(int answer, bool checked);
    std::vector<int> answers() const;

    std::string _text;
    MessageIcon _icon;
    MessageButtons _buttons;
    bool _hasCheck = false;
    std::string _checkText;
    bool _checked = false;
    DialogHost::CheckContinuation _then;
};

} // namespace ostrel
