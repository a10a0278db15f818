#pragma once

#include "app/ui/DialogController.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostrel {

class PageHub;

// Message box icons and buttons as the application names them.
enum class MessageIcon { None, Error, Warning, Question, Information };
enum class MessageButtons { OK, OKCancel, YesNo, YesNoCancel };

// The answers of a message box (the values of the platform's dialog results).
namespace Answer {
constexpr int None = 0; // dismissed without a button (Escape on a box that has no Cancel/No)
constexpr int OK = 1;
constexpr int Cancel = 2;
constexpr int Yes = 6;
constexpr int No = 7;
} // namespace Answer

// Owns the dialogs that are open in the page, on the controller thread. Every
// open dialog is shown in every connected page (and in a page that connects
// later); the first answer ends it everywhere. Nothing here waits for a
// browser: a question takes the continuation to run with its answer.
class DialogHost {
public:
    using Continuation = std::function<void(int answer)>;
    using CheckContinuation = std::function<void(int answer, bool checked)>;

    static constexpr const char* Caption = "Ostrel";

    explicit DialogHost(PageHub& pages);
    ~DialogHost();

    // Shows the dialog; returns its id.
    int open(std::shared_ptr<DialogController> dialog);
    // Pushes the dialog's state to the pages again.
    void update(int id);
    // Ends the dialog in the pages and lets go of it.
    void close(int id);
    // A call from the page to an open dialog; nullopt when the dialog is no
    // longer open (answered in another page, or closed meanwhile).
    std::optional<nlohmann::json> call(int id, const std::string& function, const nlohmann::json& args);

    // A message box captioned "Ostrel"; `then` runs with the answer (may be empty).
    int messageBox(const std::string& text, MessageIcon icon = MessageIcon::None,
                   MessageButtons buttons = MessageButtons::OK, Continuation then = {});
    // A message box with a check box under its text.
    int checkBox(const std::string& text, const std::string& checkText, bool checked, MessageIcon icon,
                 MessageButtons buttons, CheckContinuation then);

    bool isOpen(int id) const { return _dialogs.count(id) != 0; }
    std::size_t openCount() const { return _dialogs.size(); }
    std::shared_ptr<DialogController> dialog(int id) const;
    // The open dialogs in opening order (tests, and the snapshot of a page).
    std::vector<int> openIds() const;
    // The calls that open every open dialog in a fresh page.
    std::vector<std::string> snapshot() const;
    // Ends every dialog without answering them (shut-down).
    void closeAll();

private:
    PageHub& _pages;
    int _nextId = 1;
    std::map<int, std::shared_ptr<DialogController>> _dialogs;
};

} // namespace ostrel
