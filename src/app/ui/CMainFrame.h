#pragma once

#include "app/ui/ControllerThread.h"

#include <functional>

namespace ostrel {

class CSiteListView;
class CTidevaultDoc;
class DialogHost;

// The main frame: the first receiver of every message on the controller
// thread. It owns the application menu of the page (the tray menu: "Open",
// "Exit") and the exit question, hands the progress messages to the document
// and everything else to the view.
class CMainFrame : public MessageHandler {
public:
    CMainFrame(DialogHost& dialogs, CSiteListView& view, CTidevaultDoc& document,
               std::function<void()> exitApproved);

    void handleMessage(const Message& message) override;
    // Runs once the view handled message 1033 (the schedules have loaded).
    void setAfterLoading(std::function<void()> afterLoading) { _afterLoading = std::move(afterLoading); }

    bool exitConfirmed() const { return _exitConfirmed; }

private:
    void showTrayMenu(int x, int y);
    void onClose();

    DialogHost& _dialogs;
    CSiteListView& _view;
    CTidevaultDoc& _document;
    std::function<void()> _exitApproved;
    std::function<void()> _afterLoading;
    bool _exitConfirmed = false;
    bool _exitAsked = false;
};

} // namespace ostrel
