#pragma once

namespace ostrel {

class Exception;

// The diagnostic trace sink every subsystem sends its debug lines to. It writes
// nothing unless the environment variable OSTREL_TRACE names a file when the
// first line is traced; the lines are then appended to that file, so a user can
// send diagnostics. Nothing in the system depends on what it writes.
void trace(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void traceException(const Exception& exception);
// Whether lines go anywhere at all (callers may skip building costly text).
bool traceEnabled();

} // namespace ostrel
