#include "base/Log.h"

#include "base/FormatableBuffer.h"
#include "base/Trace.h"
#include "base/thread/Thread.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace ostrel {
namespace {

std::atomic<ILogHandler*> gInstalledLogHandler{nullptr};

} // namespace

const char* logLevelName(int level) {
    switch (level) {
    case Fatal:
        return "FATAL";
    case Error:
        return "ERROR";
    case Warn:
        return "WARN";
    case Info:
        return "INFO";
    case Debug:
        return "DEBUG";
    default:
        return "UNKNOWN";
    }
}

void DefaultLogHandler::log(int level, const char* text, const char* location) {
    const Thread& thread = Thread::current();
    // The calling thread's own identifier: the same as the registered Thread's,
    // and still meaningful on threads that only have the "Null" stand-in.
    FormatableBuffer<4096> line;
    line.format("[%s] Log in thread \"%s\"(ID=%u): %s\tat %s\n", logLevelName(level), thread.name(),
                Thread::currentThreadId(), text ? text : "", location ? location : "");
    trace("%s", line.c_str());
    if (level == Fatal) {
        // The process is about to end: say why where an operator can see it, since
        // the trace sink is usually silent.
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
        std::abort();
    }
}

ILogHandler& logHandler() {
    static DefaultLogHandler defaultHandler;
    ILogHandler* installed = gInstalledLogHandler.load(std::memory_order_acquire);
    return installed ? *installed : defaultHandler;
}

void setLogHandler(ILogHandler* handler) { gInstalledLogHandler.store(handler, std::memory_order_release); }

void log(int level, const char* text, std::source_location where) {
    FormatableBuffer<1024> location;
    location.format("%s(%s:%u)", where.function_name(), where.file_name(), static_cast<unsigned>(where.line()));
    logHandler().log(level, text, location.c_str());
}

} // namespace ostrel
