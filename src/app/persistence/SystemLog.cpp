#include "app/persistence/SystemLog.h"

#include "app/scheduling/LogCodes.h"
#include "base/Log.h"
#include "database/RowSet.h"

namespace ostrel {
namespace {

// The date and time columns hold the packed 32-bit words as signed integers.
uint32_t packedWord(const RowSet& rows, int column) {
    return static_cast<uint32_t>(rows.getInt64(column) & 0xFFFFFFFF);
}

} // namespace

SystemLog::SystemLog() : _level(LogLevel::Info), _owner(UniqueID::nil()) {}

SystemLog::SystemLog(int level, const DateTime& time, const UniqueID& owner, int code, std::string text)
    : _level(level), _time(time), _owner(owner), _code(code), _text(std::move(text)) {}

void SystemLog::read(const RowSet& rows) {
    _id = rows.getInt(0);
    _level = rows.getInt(1);
    _time = DateTime(Date(packedWord(rows, 2)), Time(packedWord(rows, 3)));
    // An entry whose owner text is damaged still shows, without a site.
    _owner = UniqueID::parse(rows.getText(4)).value_or(UniqueID::nil());
    _code = rows.getInt(5);
    _text = rows.getText(6);
}

const char* SystemLog::levelName(int level) {
    switch (level) {
    case LogLevel::Fatal:
        return "Fatal";
    case LogLevel::Error:
        return "Error";
    case LogLevel::Warn:
        return "Warn";
    case LogLevel::Info:
        return "Info";
    case LogLevel::Debug:
        return "Debug";
    default:
        return "";
    }
}

const char* SystemLog::codeText() const { return logCodeText(_code); }

} // namespace ostrel
