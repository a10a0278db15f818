#pragma once

#include <cstdint>

namespace ostrel {

// A window message of the application, kept as a number with two parameters so
// the message loop of the controller thread reads like the main window's did.
struct Message {
    int id = 0;
    int64_t wParam = 0;
    int64_t lParam = 0;
};

// Message identifiers (WM_USER is 1024; the two system messages keep their numbers).
namespace Msg {
constexpr int Close = 16;            // a close request to the main frame
constexpr int Command = 273;         // wParam: a command identifier (below)
constexpr int UpdateRow = 1025;      // handle, add flag (1 add, 0 refresh)
constexpr int LoadingFinished = 1033;
constexpr int Selected = 1034;       // handle (-1: none); sent
constexpr int ContextMenu = 1035;    // x, y
constexpr int LaunchInfo = 1036;
constexpr int TrayNotify = 1037;
constexpr int ProgressText = 1039;
constexpr int ProgressPosition = 1040; // position, total
constexpr int ProgressFinished = 1041;
constexpr int BrowserCreated = 1042;
constexpr int StartArchiving = 1043; // handle, user flag
constexpr int StopArchiving = 1044;  // handle
constexpr int EventQueued = 1045;
constexpr int ScheduleConnecting = 1046;
constexpr int ScheduleConnected = 1047;
constexpr int ScheduleDisconnected = 1048; // handle, reason
constexpr int ScheduleStarting = 1049;
constexpr int ScheduleResuming = 1050;
constexpr int ScheduleRetrying = 1051;
constexpr int ScheduleIntervalChosen = 1052;
constexpr int ScheduleStopped = 1053;
constexpr int ScheduleFailed = 1054;
constexpr int SchedulePositionChanged = 1055;
} // namespace Msg

// Identifiers of the user-interface commands (the page, the context menu and the
// main menu of the page send them).
namespace Command {
constexpr int NewSchedule = 32774;
constexpr int Delete = 32775;
constexpr int Info = 32785;
constexpr int Start = 32786;
constexpr int Stop = 32789;
constexpr int StartAll = 32797;
constexpr int StopAll = 32799;
constexpr int Log = 32806;
constexpr int StorageManager = 32821;
constexpr int Open = 32818;
constexpr int Exit = 32819;
constexpr int About = 57664;
} // namespace Command

} // namespace ostrel
