#pragma once

namespace ostrel {

class Exception;
class Thread;

class IUncaughtExceptionHandler {
public:
    virtual ~IUncaughtExceptionHandler() = default;
    virtual void handle(Thread& thread, const Exception& exception) = 0;
};

// Formats "Exception in thread \"%s\"(ID=%u) %s: %s\tat %s(%s:%d)\n" into the trace sink.
class DefaultUncaughtExceptionHandler final : public IUncaughtExceptionHandler {
public:
    void handle(Thread& thread, const Exception& exception) override;
};

// The process-wide handler for exceptions that escape a thread's run(): the
// installed one, else the process-wide DefaultUncaughtExceptionHandler.
IUncaughtExceptionHandler& uncaughtExceptionHandler();
// Installs a handler (nullptr restores the default). The caller keeps it alive
// until it is replaced.
void setUncaughtExceptionHandler(IUncaughtExceptionHandler* handler);

} // namespace ostrel
