#include "base/Assert.h"

namespace ostrel {
namespace {
thread_local bool tAssertionsEnabled = false;
}

bool assertionsEnabled() { return tAssertionsEnabled; }

AssertionScope::AssertionScope() : _previous(tAssertionsEnabled) { tAssertionsEnabled = true; }

AssertionScope::~AssertionScope() { tAssertionsEnabled = _previous; }

} // namespace ostrel
