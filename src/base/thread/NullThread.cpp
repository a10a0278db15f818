#include "base/thread/NullThread.h"

#include "base/Exception.h"

#include <cerrno>

namespace ostrel {

NullThread& NullThread::instance() {
    static NullThread instance;
    return instance;
}

void NullThread::start() { throw SystemException(EPERM, "the \"Null\" thread is never started"); }

} // namespace ostrel
