#include "app/ui/CMainFrame.h"

#include "app/ui/CSiteListView.h"
#include "app/ui/CTidevaultDoc.h"
#include "app/ui/DialogHost.h"
#include "app/ui/MenuDialog.h"

namespace ostrel {

CMainFrame::CMainFrame(DialogHost& dialogs, CSiteListView& view, CTidevaultDoc& document,
                       std::function<void()> exitApproved)
    : _dialogs(dialogs), _view(view), _document(document), _exitApproved(std::move(exitApproved)) {}

void CMainFrame::handleMessage(const Message& message) {
    switch (message.id) {
    case Msg::Close:
        onClose();
        break;
    case Msg::TrayNotify:
        showTrayMenu(static_cast<int>(message.wParam), static_cast<int>(message.lParam));
        break;
    case Msg::Command:
        switch (static_cast<int>(message.wParam)) {
        case Command::Exit:
            _exitConfirmed = true;
            onClose();
            break;
        case Command::Open:
            break; // the page that asked is the open window
        default:
            _document.onCommand(static_cast<int>(message.wParam), _view.selected());
            break;
        }
        break;
    case Msg::ProgressText:
    case Msg::ProgressPosition:
    case Msg::ProgressFinished:
        _document.onProgressMessage(message);
        break;
    default:
        _view.handleMessage(message);
        if (message.id == Msg::LoadingFinished && _afterLoading) {
            _afterLoading();
        }
        break;
    }
}

void CMainFrame::showTrayMenu(int x, int y) {
    _dialogs.open(std::make_shared<MenuDialog>(
        "Tray", x, y,
        std::vector<MenuDialog::Item>{{Command::Open, "Open", true, true}, {Command::Exit, "Exit", true}},
        [this](int command) { handleMessage(Message{Msg::Command, command, 0}); }));
}

void CMainFrame::onClose() {
    // Closing the page (or the window's close box) only hides Ostrel: it goes
    // on in the background until "Exit" is confirmed.
    if (!_exitConfirmed || _exitAsked) {
        return;
    }
    _exitAsked = true;
    _dialogs.messageBox("Do you really want to exit Ostrel?", MessageIcon::Question, MessageButtons::YesNo,
                        [this](int answer) {
                            _exitAsked = false;
                            if (answer == Answer::Yes) {
                                if (_exitApproved) {
                                    _exitApproved();
                                }
                            } else {
                                _exitConfirmed = false;
                            }
                        });
}

} // namespace ostrel
