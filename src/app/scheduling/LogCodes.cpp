#include "app/scheduling/LogCodes.h"

#include "app/scheduling/ArchivingEvent.h"
#include "network/session/CloseReason.h"

namespace ostrel {

namespace {

constexpr const char* Texts[] = {
    "",
    "Start archiving",
    "Archiving stopped",
    "Schedule added",
    "Schedule deleted",
    "Scheduled",
    "Site address changed",
    "Playback port changed",
    "Username changed",
    "Storage added",
    "Storage removed",
    "Storage formatted",
    "Record storage full",
    "Storage I/O Error occured",
    "Archiving speed is slow",
    "Failed to find the site",
    "Failed to login",
    "Network playback permission denied",
    "Network playback channel full",
    "Network playback protocol not supported",
    "Connection timeout",
    "Connection refused",
    "Disconnected",
    "Failed to connect",
    "Site name changed",
    "Internal exception occured",
    "Storage created",
    "No response from remote site",
    "Recording storage is bad.",
    "Overwrite enabled",
    "Overwrite disabled",
};

} // namespace

const char* logCodeText(int code) {
    if (code < 0 || code >= static_cast<int>(sizeof Texts / sizeof Texts[0])) {
        return "";
    }
    return Texts[code];
}

int logCodeOfReason(int reason) {
    switch (reason) {
    case CloseReason::TimedOut:
        return LogCode::ConnectionTimeout;
    case CloseReason::ConnectionRefused:
        return LogCode::ConnectionRefused;
    case CloseReason::DisconnectRequested:
        return LogCode::None;
    case CloseReason::ProtocolError:
    case CloseReason::NoPlaybackProfile:
    case 306:
        return LogCode::PlaybackProtocolNotSupported;
    case CloseReason::LoginRefused:
    case CloseReason::LoginRefusedCode3:
    case CloseReason::LoginRefusedCode4:
        return LogCode::FailedToLogin;
    case CloseReason::LoginRefusedCode5:
        return LogCode::PlaybackPermissionDenied;
    case CloseReason::NoResponse:
        return LogCode::NoResponse;
    case CloseReason::ChannelFull:
        return LogCode::PlaybackChannelFull;
    default:
        return LogCode::Disconnected;
    }
}

bool isErrorReason(int reason) { return logCodeOfReason(reason) != LogCode::None; }

int logCodeOf(const ArchivingEvent& event) {
    switch (event.type) {
    case ArchivingEvent::StorageFull:
        return LogCode::RecordStorageFull;
    case ArchivingEvent::StorageIOError:
        return LogCode::StorageIOError;
    case ArchivingEvent::Disconnected:
        return logCodeOfReason(event.value);
    case ArchivingEvent::ConnectFailed:
        return LogCode::FailedToConnect;
    case ArchivingEvent::InternalException:
        return LogCode::InternalException;
    case ArchivingEvent::StorageBad:
        return LogCode::RecordingStorageBad;
    default:
        return LogCode::None;
    }
}

} // namespace ostrel
