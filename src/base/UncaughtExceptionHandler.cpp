#include "base/UncaughtExceptionHandler.h"

#include "base/Exception.h"
#include "base/Trace.h"
#include "base/thread/Thread.h"

#include <atomic>

namespace ostrel {
namespace {

std::atomic<IUncaughtExceptionHandler*> gInstalledUncaughtHandler{nullptr};

} // namespace

void DefaultUncaughtExceptionHandler::handle(Thread& thread, const Exception& exception) {
    const char* message = exception.message();
    trace("Exception in thread \"%s\"(ID=%u) %s: %s\tat %s(%s:%d)\n", thread.name(), thread.id(),
          exception.typeName(), message ? message : "", exception.function(), exception.file(), exception.line());
}

IUncaughtExceptionHandler& uncaughtExceptionHandler() {
    static DefaultUncaughtExceptionHandler defaultHandler;
    IUncaughtExceptionHandler* installed = gInstalledUncaughtHandler.load(std::memory_order_acquire);
    return installed ? *installed : defaultHandler;
}

void setUncaughtExceptionHandler(IUncaughtExceptionHandler* handler) {
    gInstalledUncaughtHandler.store(handler, std::memory_order_release);
}

} // namespace ostrel
