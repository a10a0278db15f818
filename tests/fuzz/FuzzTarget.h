#pragma once

// Included once by each fuzz target. The parsers refuse most inputs by
// throwing, and with AddressSanitizer's detection of stack use after return
// every throw costs a sweep of the fake stacks, which made the targets
// several times slower; the rest of the sanitizers' checks stay on.
// ASAN_OPTIONS still overrides this.
extern "C" const char* __asan_default_options() {
    return "detect_stack_use_after_return=0";
}
