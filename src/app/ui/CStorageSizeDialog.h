#pragma once

#include "app/ui/DialogController.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ostrel {

class DialogHost;

// "Enter Storage File Size": the size of a new storage file in GB (a
// CFloatEdit field starting at "4"). OK hands the size in bytes (rounded up to
// whole 524,288-byte blocks) to the continuation when it is larger than
// 499,999,999 bytes; otherwise the user is told and the whole text is selected.
class CStorageSizeDialog : public DialogController, public std::enable_shared_from_this<CStorageSizeDialog> {
public:
    using Continuation = std::function<void(uint64_t bytes)>;

    static constexpr const char* Title = "Enter Storage File Size";
    static constexpr const char* TooSmallText = "The size must be larger than 0.5 GB.";
    static constexpr const char* TooLargeText = "The size is too large.";
    static constexpr uint64_t MinimumBytes = 500000000ULL;

    CStorageSizeDialog(DialogHost& dialogs, Continuation chosen);

    std::string kind() const override { return "storageSize"; }
    // {title, label, unit, text, focus}: `focus` grows each time the page must
    // select the whole text and focus the field.
    nlohmann::json state() const override;
    // "ok" {text}: checks and ends the dialog with the bytes.
    nlohmann::json call(const std::string& function, const nlohmann::json& args) override;

    const std::string& text() const { return _text; }

private:
    void refuse(const char* text);

    DialogHost& _dialogs;
    Continuation _chosen;
    std::string _text = "4";
    int _focus = 0;
};

} // namespace ostrel
