#pragma once

#include <source_location>

namespace ostrel {

// Log levels in their fixed numbering.
enum LogLevel : int { Fatal = 0, Error = 1, Warn = 2, Info = 3, Debug = 4 };

// "FATAL", "ERROR", "WARN", "INFO", "DEBUG", or "UNKNOWN" for any other value.
const char* logLevelName(int level);

class ILogHandler {
public:
    virtual ~ILogHandler() = default;
    virtual void log(int level, const char* text, const char* location) = 0;
};

// Formats "[%s] Log in thread \"%s\"(ID=%u): %s\tat %s\n" into the trace sink;
// FATAL then ends the process abnormally.
class DefaultLogHandler final : public ILogHandler {
public:
    void log(int level, const char* text, const char* location) override;
};

// The installed handler, else the process-wide DefaultLogHandler.
ILogHandler& logHandler();
// Installs a handler (nullptr restores the default). The caller keeps it alive.
void setLogHandler(ILogHandler* handler);

// Logs at a level through the installed handler, with the caller's location as
// "function(file:line)".
void log(int level, const char* text, std::source_location where = std::source_location::current());

} // namespace ostrel
