#pragma once

#include "base/Exception.h"

namespace ostrel {

// The assertion switch. It is off unless a scope turns it on; it belongs to the
// calling thread, so a check running on one thread (the open-time correction of
// one storage) never turns assertions on for another.
bool assertionsEnabled();

// Turns assertions on for its lifetime on the current thread and restores the
// previous state when it ends, also when the checks inside it throw.
class AssertionScope {
public:
    AssertionScope();
    ~AssertionScope();
    AssertionScope(const AssertionScope&) = delete;
    AssertionScope& operator=(const AssertionScope&) = delete;

private:
    bool _previous;
};

} // namespace ostrel

// Evaluates the condition only while the switch is on; a false condition then
// throws AssertionFailException carrying the condition's text.
#define OSTREL_ASSERT(condition)                                   \
    do {                                                           \
        if (::ostrel::assertionsEnabled() && !(condition)) {       \
            throw ::ostrel::AssertionFailException(#condition);    \
        }                                                          \
    } while (false)
