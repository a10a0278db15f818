#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace ostrel {

class DialogHost;

// The logic of one dialog shown in the page: its state, its validation and its
// answers live here, on the controller thread; the page only draws the state
// and reports what the user did. The page draws a dialog by its kind (a
// drawing function registered in the page under that name) and calls back
// with `call(function, args)`; the controller pushes a changed state with
// update() and ends the dialog with close().
class DialogController {
public:
    virtual ~DialogController() = default;

    // The page's drawing function for this dialog ("messageBox", "menu", ...).
    virtual std::string kind() const = 0;
    // Everything the page needs to draw the dialog now (sent when it opens,
    // on update() and to pages that connect while it is open).
    virtual nlohmann::json state() const = 0;
    // A call from the page. The result goes back to the calling page as JSON.
    // Throws std::invalid_argument for arguments it cannot use (the page gets 400).
    virtual nlohmann::json call(const std::string& function, const nlohmann::json& args);
    // The user dismissed the dialog (Escape, the close box); closes it unless overridden.
    virtual void cancel();

    int id() const { return _id; }
    bool isOpen() const { return _host != nullptr; }

protected:
    // Sends state() to the pages again.
    void update();
    // Ends the dialog in every page; the host lets go of the controller after
    // the current call returns.
    void close();
    DialogHost* host() const { return _host; }

private:
    friend class DialogHost;
    DialogHost* _host = nullptr;
    int _id = 0;
};

} // namespace ostrel
