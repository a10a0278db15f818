#pragma once

namespace ostrel {

struct ArchivingEvent;

// The vocabulary of the system log: codes 0 to 30. Entries store the code and
// an optional extra text; the code's text is looked up when the entry is shown.
namespace LogCode {
constexpr int None = 0;
constexpr int StartArchiving = 1;
constexpr int ArchivingStopped = 2;
constexpr int ScheduleAdded = 3;
constexpr int ScheduleDeleted = 4;
constexpr int Scheduled = 5;
constexpr int SiteAddressChanged = 6;
constexpr int PlaybackPortChanged = 7;
constexpr int UsernameChanged = 8;
constexpr int StorageAdded = 9;
constexpr int StorageRemoved = 10;
constexpr int StorageFormatted = 11;
constexpr int RecordStorageFull = 12;
constexpr int StorageIOError = 13;
constexpr int ArchivingSpeedSlow = 14;
constexpr int FailedToFindSite = 15;
constexpr int FailedToLogin = 16;
constexpr int PlaybackPermissionDenied = 17;
constexpr int PlaybackChannelFull = 18;
constexpr int PlaybackProtocolNotSupported = 19;
constexpr int ConnectionTimeout = 20;
constexpr int ConnectionRefused = 21;
constexpr int Disconnected = 22;
constexpr int FailedToConnect = 23;
constexpr int SiteNameChanged = 24;
constexpr int InternalException = 25;
constexpr int StorageCreated = 26;
constexpr int NoResponse = 27;
constexpr int RecordingStorageBad = 28;
constexpr int OverwriteEnabled = 29;
constexpr int OverwriteDisabled = 30;
} // namespace LogCode

// The text of a log code; "" for 0 and for any code outside 0 to 30.
const char* logCodeText(int code);

// The log code of a playback client's disconnect reason; 0 for the normal end
// (301), which is not an error.
int logCodeOfReason(int reason);

// Whether a disconnect reason is an error (its log code is not 0).
bool isErrorReason(int reason);

// The log code of an event: type 4 → 12, 5 → 13, 6 → the code of its reason,
// 7 → 23, 8 → 25, 9 → 28, any other → 0. Also the status text of a failed site.
int logCodeOf(const ArchivingEvent& event);

} // namespace ostrel
