#include "app/ui/CStorageSizeDialog.h"

#include "app/ui/CFloatEdit.h"
#include "app/ui/DialogHost.h"

#include <stdexcept>

namespace ostrel {

CStorageSizeDialog::CStorageSizeDialog(DialogHost& dialogs, Continuation chosen)
    : _dialogs(dialogs), _chosen(std::move(chosen)) {}

nlohmann::json CStorageSizeDialog::state() const {
    return {{"title", Title}, {"label", "Size :"}, {"unit", "GB"}, {"text", _text}, {"focus", _focus}};
}

nlohmann::json CStorageSizeDialog::call(const std::string& function, const nlohmann::json& args) {
    if (function != "ok") {
        return DialogController::call(function, args);
    }
    if (!args.is_object() || !args.contains("text") || !args["text"].is_string()) {
        throw std::invalid_argument("ok takes {text}");
    }
    _text = args["text"].get<std::string>();
    // The page filters typing, but only this check counts.
    const CFloatEdit::Parsed parsed = CFloatEdit::parse(_text);
    if (parsed.result == CFloatEdit::Result::TooLarge) {
        refuse(TooLargeText);
        return false;
    }
    if (parsed.result != CFloatEdit::Result::Valid || parsed.bytes < MinimumBytes) {
        refuse(TooSmallText);
        return false;
    }
    close();
    if (_chosen) {
        auto chosen = std::move(_chosen);
        chosen(parsed.bytes);
    }
    return true;
}

void CStorageSizeDialog::refuse(const char* text) {
    std::weak_ptr<CStorageSizeDialog> self = weak_from_this();
    _dialogs.messageBox(text, MessageIcon::Error, MessageButtons::OK, [self](int) {
        // Back in the field: the whole text selected, ready to be typed over.
        if (auto dialog = self.lock(); dialog && dialog->isOpen()) {
            ++dialog->_focus;
            dialog->update();
        }
    });
}

} // namespace ostrel
